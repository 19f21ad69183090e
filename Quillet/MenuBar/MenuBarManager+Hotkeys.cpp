// Global hotkeys: one acts as a click on the chevron, the other shows the always-hidden section
// (or, while that section is switched off, opens the hidden-items panel with the keyboard focus
// so that its items can be searched). Both are stored as key sequences in the user defaults and
// watched for through the host; a key another program holds is refused and not stored.
#include "Quillet/MenuBar/MenuBarManager.h"

#include "Platform/Host.h"
#include "Platform/Hotkeys.h"
#include "Platform/Log.h"
#include "Platform/UserDefaults.h"

namespace quillet {

using platform::host;

void MenuBarManager::registerHotkeys() {
    auto& defaults = host().userDefaults();
    auto stored = [&](const char* key) {
        auto value = defaults.object(key);
        auto* text = value ? value->asString() : nullptr;
        if (!text || text->empty())
            return std::string();
        if (auto canonical = platform::canonicalKeySequence(*text))
            return *canonical;
        log_->error(std::string("ignoring the unreadable hotkey stored under ") + key);
        return std::string();
    };
    toggleHotkey_.set(stored(toggleHotkeyKey));
    alwaysHiddenHotkey_.set(stored(alwaysHiddenHotkeyKey));
    // At launch a key taken meanwhile stays stored (the other program may let it go) but is
    // not watched for; the log says so.
    HotkeyChange outcome{};
    if (!toggleHotkey_.get().empty() && !watchHotkey(toggleHotkey_.get(), toggleHotkeyToken_,
                                                     &MenuBarManager::toggleHotkeyPressed, outcome))
        log_->error("the toggle hotkey could not be registered");
    if (!alwaysHiddenHotkey_.get().empty() &&
        !watchHotkey(alwaysHiddenHotkey_.get(), alwaysHiddenHotkeyToken_,
                     &MenuBarManager::alwaysHiddenHotkeyPressed, outcome))
        log_->error("the always-hidden hotkey could not be registered");
}

bool MenuBarManager::watchHotkey(const std::string& sequence, std::optional<std::uint64_t>& token,
                                 void (MenuBarManager::*pressed)(), HotkeyChange& outcome) {
    std::weak_ptr<MenuBarManager> weak = weak_from_this();
    platform::Hotkeys::Token made = 0;
    const auto result = platform::hotkeys().registerHotkey(
        sequence,
        [weak, pressed] {
            if (auto self = weak.lock())
                ((*self).*pressed)();
        },
        made);
    switch (result) {
    case platform::Hotkeys::Result::registered:
        token = made;
        outcome = HotkeyChange::stored;
        return true;
    case platform::Hotkeys::Result::taken:
        outcome = HotkeyChange::taken;
        return false;
    case platform::Hotkeys::Result::invalid:
        outcome = HotkeyChange::invalid;
        return false;
    case platform::Hotkeys::Result::unavailable:
        outcome = HotkeyChange::unavailable;
        return false;
    }
    outcome = HotkeyChange::invalid;
    return false;
}

MenuBarManager::HotkeyChange
MenuBarManager::changeHotkey(const char* key, platform::Published<std::string>& stored,
                             std::optional<std::uint64_t>& token, const std::string& otherSequence,
                             const std::string& sequence, void (MenuBarManager::*pressed)()) {
    auto& defaults = host().userDefaults();
    if (sequence.empty()) {
        if (token)
            platform::hotkeys().unregisterHotkey(*token);
        token.reset();
        stored.set(std::string());
        defaults.set(key, std::string());
        return HotkeyChange::cleared;
    }
    auto canonical = platform::canonicalKeySequence(sequence);
    if (!canonical)
        return HotkeyChange::invalid;
    if (*canonical == stored.get() && token)
        return HotkeyChange::stored;
    // One key cannot do both things.
    if (*canonical == otherSequence)
        return HotkeyChange::taken;
    // The old key is let go only once the new one is held, so a refusal changes nothing.
    std::optional<std::uint64_t> made;
    HotkeyChange outcome{};
    if (!watchHotkey(*canonical, made, pressed, outcome))
        return outcome;
    if (token)
        platform::hotkeys().unregisterHotkey(*token);
    token = made;
    stored.set(*canonical);
    defaults.set(key, *canonical);
    return HotkeyChange::stored;
}

MenuBarManager::HotkeyChange MenuBarManager::setToggleHotkey(const std::string& sequence) {
    return changeHotkey(toggleHotkeyKey, toggleHotkey_, toggleHotkeyToken_,
                        alwaysHiddenHotkey_.get(), sequence, &MenuBarManager::toggleHotkeyPressed);
}

MenuBarManager::HotkeyChange MenuBarManager::setAlwaysHiddenHotkey(const std::string& sequence) {
    return changeHotkey(alwaysHiddenHotkeyKey, alwaysHiddenHotkey_, alwaysHiddenHotkeyToken_,
                        toggleHotkey_.get(), sequence, &MenuBarManager::alwaysHiddenHotkeyPressed);
}

void MenuBarManager::toggleHotkeyPressed() {
    // While the status menu is open the bar under it stays as it is.
    if (rehideSuppressors_.count(RehideSuppressor::contextMenu))
        return;
    // As a left click on the chevron.
    setCollapsed(!isCollapsed_.get());
}

void MenuBarManager::alwaysHiddenHotkeyPressed() {
    if (rehideSuppressors_.count(RehideSuppressor::contextMenu))
        return;
    if (alwaysHiddenEnabled_.get()) {
        setAlwaysHiddenShown(true);
        return;
    }
    // Without the section, the key brings up the hidden items to search and pick from.
    showHiddenItemsPanel(/*takesFocus=*/true);
}

} // namespace quillet
