// The always-hidden section, the global hotkeys and the search in the hidden-items panel: all
// off by default, and each a second way into what the chevron and the panel already do.
#include "tests/support/QuilletFixture.h"

#include "Platform/EventMonitors.h"
#include "Platform/Menu.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Sim/SimHotkeys.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/Settings/SettingsView.h"
#include "Quillet/Settings/SettingsWindowController.h"
#include "Quillet/Views/QuilletBarView.h"

using namespace quillet;

namespace {

constexpr const char* alwaysHiddenPositionKey =
    "NSStatusItem Preferred Position quillet.alwaysHidden";

class AlwaysHiddenTest : public quillet::test::QuilletFixture {
protected:
    // The desktop's global shortcuts, pressed as the user would.
    platform::sim::SimHotkeys hotkeys;
    // The application goes while the hotkeys it registered are still installed.
    ~AlwaysHiddenTest() override { quit(); }

    std::shared_ptr<platform::StatusItem> a, b, c;
    platform::Rect screen;

    // Three other applications' items beyond the dot, each with a running application.
    void addThree() {
        a = addOtherItem("Alpha", 301);
        b = addOtherItem("Bravo", 302);
        c = addOtherItem("Café Crème", 303);
        sim.simWorkspace().addApplication(301, "com.example.alpha", "Alpha");
        sim.simWorkspace().addApplication(302, "com.example.bravo", "Bravo");
        sim.simWorkspace().addApplication(303, "com.example.cafe", "Café Crème");
    }
    void launchWithThree() {
        addThree();
        launch();
        screen = sim.screens().mainScreen()->frame;
    }
    bool onScreen(const std::shared_ptr<platform::StatusItem>& item) {
        auto f = frameOf(item);
        return f.minX() >= screen.minX() && f.maxX() <= screen.maxX();
    }
    std::shared_ptr<platform::StatusItem> alwaysHidden() { return manager().alwaysHiddenItem(); }
    // Drags the double bar just beyond Alpha: Bravo and Café Crème lie beyond it.
    void dragDoubleBarBeyondAlpha() {
        auto slot = sim.simStatusBar().slotOf(a);
        ASSERT_TRUE(slot.has_value());
        sim.simStatusBar().drag(alwaysHidden(), *slot + 1);
    }
    std::shared_ptr<QuilletBarHostingView> panelView() {
        return manager().hasPanelController() ? manager().panelController()->hostingView()
                                              : nullptr;
    }
    bool panelVisible() {
        return manager().hasPanelController() && manager().panelController()->isPanelVisible();
    }
    std::vector<std::string> panelNames(bool visibleOnly = true) {
        std::vector<std::string> out;
        auto view = panelView();
        if (!view)
            return out;
        for (const auto& cell : visibleOnly ? view->visibleCells() : view->rootView().cells())
            out.push_back((cell.alwaysHidden ? "|" : "") + cell.toolTip());
        return out;
    }
};

TEST_F(AlwaysHiddenTest, OffByDefaultNothingChanges) {
    launchWithThree();
    EXPECT_FALSE(manager().alwaysHiddenEnabled().get());
    EXPECT_FALSE(alwaysHidden());
    EXPECT_TRUE(hotkeys.registered().empty());
    leftClickChevron();
    manager().setAlwaysHiddenShown(true); // nothing to show
    EXPECT_TRUE(manager().isCollapsed().get());
    EXPECT_FALSE(manager().isAlwaysHiddenShown().get());
    sim.hover(toggle(), true);
    sim.advance(0.4);
    ASSERT_TRUE(panelVisible());
    EXPECT_EQ(panelNames(), (std::vector<std::string>{"Café Crème", "Bravo", "Alpha"}));
    EXPECT_FALSE(panelView()->showsDivider());
    EXPECT_DOUBLE_EQ(manager().panelController()->panel()->frame().width(), 3 * 22 + 20 + 2 * 8);
}

TEST_F(AlwaysHiddenTest, ItemsBeyondTheDoubleBarStayHiddenWhileExpandedUntilShown) {
    launchWithThree();
    manager().setAlwaysHiddenEnabled(true);
    ASSERT_TRUE(alwaysHidden());
    EXPECT_EQ(alwaysHidden()->autosaveName(), "quillet.alwaysHidden");
    // Switched on, it shows its faint double bar at the far end: nothing is always hidden yet.
    EXPECT_TRUE(manager().isAlwaysHiddenShown().get());
    ASSERT_TRUE(alwaysHidden()->button()->image());
    EXPECT_EQ(alwaysHidden()->button()->image()->symbolName, "pause");
    EXPECT_DOUBLE_EQ(alwaysHidden()->button()->alphaValue(), 0.35);
    EXPECT_LT(frameOf(alwaysHidden()).minX(), frameOf(c).minX());
    for (auto& item : {a, b, c})
        EXPECT_TRUE(onScreen(item));

    dragDoubleBarBeyondAlpha();
    EXPECT_TRUE(sim.userDefaults().object(alwaysHiddenPositionKey)) << "the drag is kept";
    leftClickChevron(); // collapse: everything beyond the dot goes, the showing ends
    EXPECT_TRUE(manager().isCollapsed().get());
    EXPECT_FALSE(manager().isAlwaysHiddenShown().get());
    for (auto& item : {a, b, c})
        EXPECT_FALSE(onScreen(item));

    leftClickChevron(); // expand: only the ordinary hidden section comes back
    EXPECT_TRUE(onScreen(a));
    EXPECT_FALSE(onScreen(b));
    EXPECT_FALSE(onScreen(c));
    EXPECT_FALSE(alwaysHidden()->button()->image()) << "no double bar while it hides";
    EXPECT_DOUBLE_EQ(alwaysHidden()->length(), 1640);

    // The panel lists them after a divider; a click there shows the section.
    leftClickChevron();
    ASSERT_TRUE(manager().isCollapsed().get());
    // Hover opens the panel on a collapsed bar.
    sim.hover(toggle(), true);
    sim.advance(0.4);
    ASSERT_TRUE(panelVisible());
    EXPECT_EQ(panelNames(), (std::vector<std::string>{"Alpha", "|Café Crème", "|Bravo"}));
    EXPECT_TRUE(panelView()->showsDivider());
    EXPECT_DOUBLE_EQ(manager().panelController()->panel()->frame().width(),
                     QuilletBarPanelController::width(3) + 1 + 8);
    panelView()->tapCell(panelView()->rootView().alwaysHiddenItems.front().windowID);
    EXPECT_FALSE(panelVisible());
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_TRUE(manager().isAlwaysHiddenShown().get());
    for (auto& item : {a, b, c})
        EXPECT_TRUE(onScreen(item));

    // Until the next collapse, here by the auto-rehide.
    manager().setAutoRehide(5);
    sim.advance(5.1);
    EXPECT_TRUE(manager().isCollapsed().get());
    EXPECT_FALSE(manager().isAlwaysHiddenShown().get());
    leftClickChevron();
    EXPECT_TRUE(onScreen(a));
    EXPECT_FALSE(onScreen(b));
}

TEST_F(AlwaysHiddenTest, TurningItOffLosesNoItemAndItsPositionIsKept) {
    launchWithThree();
    manager().setAlwaysHiddenEnabled(true);
    dragDoubleBarBeyondAlpha();
    leftClickChevron();
    leftClickChevron();
    ASSERT_FALSE(onScreen(b));
    const auto position = sim.userDefaults().object(alwaysHiddenPositionKey);
    ASSERT_TRUE(position);

    manager().setAlwaysHiddenEnabled(false);
    EXPECT_FALSE(alwaysHidden());
    EXPECT_FALSE(sim.userDefaults().boolForKey("quillet.alwaysHiddenEnabled"));
    for (auto& item : {a, b, c})
        EXPECT_TRUE(onScreen(item)) << "back in the hidden section, shown while expanded";
    leftClickChevron();
    for (auto& item : {a, b, c})
        EXPECT_FALSE(onScreen(item)) << "and hidden with it";
    leftClickChevron();
    EXPECT_EQ(sim.userDefaults().object(alwaysHiddenPositionKey), position);

    // Switched on again, the double bar returns where the user left it.
    manager().setAlwaysHiddenEnabled(true);
    leftClickChevron();
    leftClickChevron();
    EXPECT_TRUE(onScreen(a));
    EXPECT_FALSE(onScreen(b));
    EXPECT_FALSE(onScreen(c));
}

TEST_F(AlwaysHiddenTest, ARestartKeepsItsItemsHidden) {
    launchWithThree();
    manager().setAlwaysHiddenEnabled(true);
    dragDoubleBarBeyondAlpha();
    leftClickChevron();
    leftClickChevron();
    relaunch();
    ASSERT_TRUE(alwaysHidden());
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_FALSE(manager().isAlwaysHiddenShown().get());
    EXPECT_TRUE(onScreen(a));
    EXPECT_FALSE(onScreen(b));
    EXPECT_FALSE(onScreen(c));
    // The command line's --toggle-always-hidden shows the section, and hides it again.
    sim.notificationCenter().post(MenuBarManager::toggleAlwaysHiddenNotification);
    EXPECT_TRUE(onScreen(b));
    sim.notificationCenter().post(MenuBarManager::toggleAlwaysHiddenNotification);
    EXPECT_FALSE(onScreen(b));
    EXPECT_FALSE(manager().isCollapsed().get());
}

TEST_F(AlwaysHiddenTest, TheDoubleBarBetweenTheChevronAndTheDotIsNeverLengthenedAndBlocksCollapse) {
    launchWithThree();
    manager().setAlwaysHiddenEnabled(true);
    // Dragged nearer the edge than the dot, then a restart: not shown, yet never lengthened,
    // since it would push the dot and the whole hidden section away.
    auto dotSlot = sim.simStatusBar().slotOf(separator());
    ASSERT_TRUE(dotSlot.has_value());
    sim.simStatusBar().drag(alwaysHidden(), *dotSlot);
    relaunch();
    ASSERT_GT(frameOf(alwaysHidden()).minX(), frameOf(separator()).minX());
    EXPECT_FALSE(manager().isAlwaysHiddenShown().get());
    EXPECT_DOUBLE_EQ(alwaysHidden()->length(), 12);
    for (auto& item : {a, b, c})
        EXPECT_TRUE(onScreen(item));
    EXPECT_TRUE(onScreen(separator()));

    leftClickChevron();
    EXPECT_FALSE(manager().isCollapsed().get()) << "collapse refused";
    EXPECT_TRUE(manager().isPositionWarningShown());
    EXPECT_EQ(toggle()->button()->toolTip(), "Drag the double bar to the left of the dot first.");
    EXPECT_DOUBLE_EQ(alwaysHidden()->length(), 12);
    sim.advance(2.1);
    EXPECT_EQ(chevronSymbol(), "chevron.right");

    // Dragged back beyond the dot, collapsing works, and after it the double bar hides again.
    auto farSlot = sim.simStatusBar().slotOf(c);
    ASSERT_TRUE(farSlot.has_value());
    sim.simStatusBar().drag(alwaysHidden(), *farSlot);
    leftClickChevron();
    EXPECT_TRUE(manager().isCollapsed().get());
    leftClickChevron();
    EXPECT_DOUBLE_EQ(alwaysHidden()->length(), 1640);
}

TEST_F(AlwaysHiddenTest, HotkeysToggleTheBarAndRefuseKeysTakenElsewhere) {
    sim.userDefaults().set("quillet.toggleHotkey", "alt+ctrl+h");
    launchWithThree();
    EXPECT_EQ(manager().toggleHotkey().get(), "Ctrl+Alt+H");
    EXPECT_EQ(hotkeys.registered(), std::vector<std::string>{"Ctrl+Alt+H"});
    EXPECT_TRUE(hotkeys.press("Ctrl+Alt+H"));
    EXPECT_TRUE(manager().isCollapsed().get());
    EXPECT_TRUE(hotkeys.press("ctrl+alt+H"));
    EXPECT_FALSE(manager().isCollapsed().get());

    // A key another program holds is reported and not stored; the old one keeps working.
    hotkeys.takenByOthers.insert("Meta+T");
    EXPECT_EQ(manager().setToggleHotkey("Meta+T"), MenuBarManager::HotkeyChange::taken);
    EXPECT_EQ(manager().toggleHotkey().get(), "Ctrl+Alt+H");
    EXPECT_EQ(*sim.userDefaults().object("quillet.toggleHotkey")->asString(), "alt+ctrl+h");
    EXPECT_TRUE(hotkeys.press("Ctrl+Alt+H"));
    EXPECT_TRUE(manager().isCollapsed().get());
    // The other hotkey cannot take the same key; nonsense is refused.
    EXPECT_EQ(manager().setAlwaysHiddenHotkey("Ctrl+Alt+H"), MenuBarManager::HotkeyChange::taken);
    EXPECT_EQ(manager().setAlwaysHiddenHotkey("Ctrl+"), MenuBarManager::HotkeyChange::invalid);
    EXPECT_TRUE(manager().alwaysHiddenHotkey().get().empty());

    // A new key replaces the old one; clearing lets it go.
    EXPECT_EQ(manager().setToggleHotkey("Ctrl+Shift+K"), MenuBarManager::HotkeyChange::stored);
    EXPECT_FALSE(hotkeys.press("Ctrl+Alt+H"));
    EXPECT_TRUE(hotkeys.press("Ctrl+Shift+K"));
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_EQ(manager().setToggleHotkey(""), MenuBarManager::HotkeyChange::cleared);
    EXPECT_TRUE(hotkeys.registered().empty());
    EXPECT_EQ(*sim.userDefaults().object("quillet.toggleHotkey")->asString(), "");
    relaunch();
    EXPECT_TRUE(hotkeys.registered().empty());
}

TEST_F(AlwaysHiddenTest, HotkeysWhileTheStatusMenuIsOpenLeaveTheBarAsItIs) {
    sim.userDefaults().set("quillet.toggleHotkey", "Ctrl+Alt+H");
    sim.userDefaults().set("quillet.alwaysHiddenHotkey", "Ctrl+Alt+J");
    launchWithThree();
    bool pressed = false;
    sim.menuTracker = [&](platform::Menu&) -> std::optional<std::size_t> {
        pressed = hotkeys.press("Ctrl+Alt+H") && hotkeys.press("Ctrl+Alt+J");
        return std::nullopt;
    };
    rightClickChevron();
    EXPECT_TRUE(pressed);
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_FALSE(panelVisible());
    // Closed, the keys work again.
    EXPECT_TRUE(hotkeys.press("Ctrl+Alt+H"));
    EXPECT_TRUE(manager().isCollapsed().get());
}

TEST_F(AlwaysHiddenTest, TheAlwaysHiddenHotkeyShowsTheSectionUntilTheNextCollapse) {
    launchWithThree();
    manager().setAlwaysHiddenEnabled(true);
    dragDoubleBarBeyondAlpha();
    EXPECT_EQ(manager().setAlwaysHiddenHotkey("Ctrl+Alt+J"), MenuBarManager::HotkeyChange::stored);
    leftClickChevron();
    ASSERT_TRUE(manager().isCollapsed().get());
    EXPECT_TRUE(hotkeys.press("Ctrl+Alt+J"));
    EXPECT_FALSE(manager().isCollapsed().get());
    for (auto& item : {a, b, c})
        EXPECT_TRUE(onScreen(item));
    leftClickChevron();
    leftClickChevron();
    EXPECT_TRUE(onScreen(a));
    EXPECT_FALSE(onScreen(b));
    // Pressed while the bar is expanded, it shows the section without collapsing anything.
    EXPECT_TRUE(hotkeys.press("Ctrl+Alt+J"));
    EXPECT_TRUE(onScreen(b));
    EXPECT_FALSE(manager().isCollapsed().get());
}

TEST_F(AlwaysHiddenTest, APanelOpenedByTheHotkeyTakesTheFocusAndSearchesByName) {
    sim.userDefaults().set("quillet.alwaysHiddenHotkey", "Ctrl+Alt+J");
    launchWithThree();
    leftClickChevron();
    ASSERT_TRUE(manager().isCollapsed().get());
    // Opened by hover it is not made key.
    sim.hover(toggle(), true);
    sim.advance(0.4);
    ASSERT_TRUE(panelVisible());
    EXPECT_FALSE(manager().panelController()->panel()->isKeyWindow());
    sim.hover(toggle(), false);
    sim.advance(0.6);
    ASSERT_FALSE(panelVisible());

    // Without the always-hidden section, its hotkey opens the panel for search.
    EXPECT_TRUE(hotkeys.press("Ctrl+Alt+J"));
    ASSERT_TRUE(panelVisible());
    EXPECT_TRUE(manager().panelController()->panel()->isKeyWindow());
    auto view = panelView();
    const auto panel = manager().panelController()->panel();
    const auto full = panel->frame();
    ASSERT_DOUBLE_EQ(full.size.width, QuilletBarPanelController::width(3));
    view->typeText("CAFE");
    EXPECT_EQ(view->searchText(), "CAFE");
    EXPECT_EQ(panelNames(), std::vector<std::string>{"Café Crème"}) << "case and accents ignored";
    // The panel narrows to what the search leaves, still right-aligned under the chevron.
    EXPECT_DOUBLE_EQ(panel->frame().size.width, QuilletBarPanelController::width(1));
    EXPECT_DOUBLE_EQ(panel->frame().maxX(), full.maxX());
    EXPECT_DOUBLE_EQ(panel->frame().origin.y, full.origin.y);
    view->setSearchText("a");
    EXPECT_EQ(panelNames(), (std::vector<std::string>{"Café Crème", "Bravo", "Alpha"}));
    EXPECT_DOUBLE_EQ(panel->frame().size.width, full.size.width);
    view->setSearchText("zz");
    EXPECT_TRUE(panelNames().empty());
    EXPECT_DOUBLE_EQ(panel->frame().size.width, QuilletBarPanelController::emptyWidth);
    EXPECT_DOUBLE_EQ(panel->frame().maxX(), full.maxX());
    EXPECT_FALSE(view->pressReturn()) << "nothing shown, nothing clicked";
    EXPECT_TRUE(panelVisible());

    // Escape clears the text first, then closes.
    view->typeText("q");
    sim.keyDown(platform::keyCodeEscape);
    EXPECT_TRUE(view->searchText().empty());
    EXPECT_TRUE(panelVisible());
    sim.keyDown(platform::keyCodeEscape);
    EXPECT_FALSE(panelVisible());

    // Opened again, the search starts afresh; Return clicks the first shown.
    EXPECT_TRUE(hotkeys.press("Ctrl+Alt+J"));
    ASSERT_TRUE(panelVisible());
    EXPECT_TRUE(panelView()->searchText().empty());
    panelView()->typeText("bra");
    EXPECT_TRUE(panelView()->pressReturn());
    EXPECT_FALSE(panelVisible());
    EXPECT_FALSE(manager().isCollapsed().get());
}

TEST(HiddenItemSearch, MatchesIgnoringCaseAndAccentsInAnyScript) {
    EXPECT_TRUE(matchesSearch("Café Crème", "creme"));
    EXPECT_TRUE(matchesSearch("ÉCLAIR", "eclair"));
    EXPECT_TRUE(matchesSearch("Straße", "STRASSE"));
    EXPECT_TRUE(matchesSearch("Ångström", "angs"));
    EXPECT_TRUE(matchesSearch("Ελληνικά", "ΕΛΛ"));
    EXPECT_TRUE(matchesSearch("anything", ""));
    EXPECT_FALSE(matchesSearch("Bravo", "brave"));
    EXPECT_FALSE(matchesSearch("", "a"));
}

} // namespace

namespace {

TEST_F(AlwaysHiddenTest, TheSettingsWindowSwitchesTheSectionAndRecordsShortcuts) {
    launchWithThree();
    manager().openSettings();
    sim.runUntilIdle();
    auto window = manager().settingsWindowController()->window;
    ASSERT_TRUE(window);
    auto view = std::dynamic_pointer_cast<SettingsView>(window->contentView());
    ASSERT_TRUE(view);
    int renders = 0;
    auto connection = view->changed.connect([&] { ++renders; });

    EXPECT_FALSE(view->alwaysHiddenEnabled());
    view->setAlwaysHiddenEnabled(true);
    sim.runUntilIdle();
    EXPECT_TRUE(view->alwaysHiddenEnabled());
    EXPECT_TRUE(manager().alwaysHiddenItem());
    EXPECT_GE(renders, 1);

    view->recordToggleHotkey("shift+ctrl+q");
    EXPECT_EQ(view->toggleHotkey(), "Ctrl+Shift+Q");
    EXPECT_TRUE(view->toggleHotkeyMessage().empty());
    // Taken elsewhere: said in the field, and the stored one stays.
    hotkeys.takenByOthers.insert("Ctrl+Alt+Delete");
    view->recordToggleHotkey("Ctrl+Alt+Delete");
    EXPECT_EQ(view->toggleHotkeyMessage(), "Another program uses this shortcut.");
    EXPECT_EQ(view->toggleHotkey(), "Ctrl+Shift+Q");
    view->recordAlwaysHiddenHotkey("Ctrl+Shift+Q");
    EXPECT_EQ(view->alwaysHiddenHotkeyMessage(), "Another program uses this shortcut.");
    EXPECT_TRUE(view->alwaysHiddenHotkey().empty());
    // Cleared with the field's button.
    view->recordToggleHotkey("");
    EXPECT_TRUE(view->toggleHotkey().empty());
    EXPECT_TRUE(view->toggleHotkeyMessage().empty());
    EXPECT_TRUE(hotkeys.registered().empty());
}

} // namespace
