// Key sequences as the user types or records them, and the simulated host's hotkeys.
#include "Platform/Hotkeys.h"
#include "Platform/Sim/SimHotkeys.h"

#include <gtest/gtest.h>

namespace {

using platform::canonicalKeySequence;

TEST(KeySequence, ModifiersAreNamedAndOrderedOneWay) {
    EXPECT_EQ(canonicalKeySequence("alt+ctrl+h"), "Ctrl+Alt+H");
    EXPECT_EQ(canonicalKeySequence("Meta + Shift + F5"), "Shift+Meta+F5");
    EXPECT_EQ(canonicalKeySequence("control+option+super+shift+k"), "Ctrl+Alt+Shift+Meta+K");
    EXPECT_EQ(canonicalKeySequence("F12"), "F12");
    EXPECT_EQ(canonicalKeySequence("Ctrl++"), "Ctrl++") << "the plus key itself";
    EXPECT_EQ(canonicalKeySequence("Ctrl+Space"), "Ctrl+Space");
}

TEST(KeySequence, AnythingButOneKeyWithModifiersIsRefused) {
    for (const char* text : {"", "Ctrl+", "Ctrl+A+B", "Ctrl+Ctrl+A", "Shift", "Ctrl+Alt", "Hyper+A",
                             "Ctrl+\x01", "Ctrl+\x7f"})
        EXPECT_FALSE(canonicalKeySequence(text)) << "'" << text << "'";
    EXPECT_FALSE(canonicalKeySequence(std::string(100, 'A')));
}

TEST(SimHotkeys, PressesReachOnlyTheRegisteredKeyAndTakenKeysAreRefused) {
    platform::sim::SimHotkeys hotkeys;
    EXPECT_EQ(&platform::hotkeys(), &hotkeys) << "installed while it lives";
    int presses = 0;
    platform::Hotkeys::Token token = 0;
    EXPECT_EQ(hotkeys.registerHotkey(
                  "ctrl+alt+h", [&] { ++presses; }, token),
              platform::Hotkeys::Result::registered);
    EXPECT_FALSE(hotkeys.press("Ctrl+H"));
    EXPECT_TRUE(hotkeys.press("Alt+Ctrl+H"));
    EXPECT_EQ(presses, 1);
    platform::Hotkeys::Token other = 0;
    EXPECT_EQ(hotkeys.registerHotkey(
                  "Ctrl+Alt+H", [] {}, other),
              platform::Hotkeys::Result::taken);
    hotkeys.takenByOthers.insert("Meta+T");
    EXPECT_EQ(hotkeys.registerHotkey(
                  "meta+t", [] {}, other),
              platform::Hotkeys::Result::taken);
    EXPECT_EQ(hotkeys.registerHotkey(
                  "Ctrl+", [] {}, other),
              platform::Hotkeys::Result::invalid);
    hotkeys.unregisterHotkey(token);
    EXPECT_FALSE(hotkeys.press("Ctrl+Alt+H"));
    EXPECT_EQ(presses, 1);
    // A host without global shortcuts says so.
    platform::NoHotkeys none;
    EXPECT_EQ(none.registerHotkey(
                  "Ctrl+A", [] {}, other),
              platform::Hotkeys::Result::unavailable);
}

TEST(SimHotkeys, TheProcessHasThemOnlyWhileTheyLive) {
    {
        platform::sim::SimHotkeys hotkeys;
        EXPECT_EQ(&platform::hotkeys(), &hotkeys);
    }
    platform::Hotkeys::Token token = 0;
    EXPECT_EQ(platform::hotkeys().registerHotkey(
                  "Ctrl+A", [] {}, token),
              platform::Hotkeys::Result::unavailable);
}

} // namespace
