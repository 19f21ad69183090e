#include "tests/support/QuilletFixture.h"

#include "Platform/LoginItemService.h"
#include "Platform/Menu.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/Views/QuilletBarView.h"

using namespace quillet;
using platform::LoginItemStatus;

namespace {

class StatusMenuTest : public quillet::test::QuilletFixture {
protected:
    // Opens the status menu with a right click; `whileOpen` sees it and picks an item.
    void openMenu(std::function<std::optional<std::size_t>(platform::Menu&)> whileOpen = nullptr) {
        sim.menuTracker = std::move(whileOpen);
        rightClickChevron();
    }
    static std::optional<std::size_t> indexOf(platform::Menu& menu, const std::string& title) {
        for (std::size_t i = 0; i < menu.items().size(); ++i)
            if (menu.items()[i].title == title)
                return i;
        return std::nullopt;
    }
    std::shared_ptr<QuilletBarHostingView> panelView() {
        return manager().hasPanelController() ? manager().panelController()->hostingView()
                                              : nullptr;
    }
    bool panelVisible() {
        return manager().hasPanelController() && manager().panelController()->isPanelVisible();
    }
};

TEST_F(StatusMenuTest, RightClickShowsTheMenuInOrderWithTheLoginItemsRealState) {
    sim.simLoginItems().setStatus(LoginItemStatus::enabled); // changed in the system's settings
    launch();
    std::vector<platform::MenuItem> seen;
    openMenu([&](platform::Menu& menu) {
        seen = menu.items();
        return std::nullopt;
    });
    ASSERT_EQ(seen.size(), 7u);
    EXPECT_EQ(seen[0].title, "Show Hidden Items");
    EXPECT_TRUE(seen[1].isSeparator);
    EXPECT_EQ(seen[2].title, "Settings…");
    EXPECT_EQ(seen[2].keyEquivalent, ",");
    EXPECT_TRUE(seen[3].isSeparator);
    EXPECT_EQ(seen[4].title, "Launch at Login");
    EXPECT_EQ(seen[4].state, platform::ControlState::on);
    EXPECT_TRUE(seen[5].isSeparator);
    EXPECT_EQ(seen[6].title, "Quit Quillet");
    EXPECT_EQ(seen[6].keyEquivalent, "q");
    EXPECT_FALSE(manager().isCollapsed().get());

    sim.simLoginItems().setStatus(LoginItemStatus::requiresApproval);
    openMenu([&](platform::Menu& menu) {
        seen = menu.items();
        return std::nullopt;
    });
    EXPECT_EQ(seen[4].state, platform::ControlState::off);
}

TEST_F(StatusMenuTest, AfterTheMenuClosesALeftClickTogglesAgain) {
    launch();
    openMenu();
    EXPECT_EQ(sim.menusShown, 1);
    EXPECT_EQ(toggle()->menu(), nullptr) << "detached once closed";
    leftClickChevron();
    EXPECT_TRUE(manager().isCollapsed().get());
    EXPECT_EQ(sim.menusShown, 1);
}

TEST_F(StatusMenuTest, QuitTerminates) {
    launch();
    openMenu([](platform::Menu& m) { return indexOf(m, "Quit Quillet"); });
    EXPECT_TRUE(sim.simApplication().terminated());
}

TEST_F(StatusMenuTest, TheOpenMenuHoldsTheRehideAndItsCloseRestartsTheFullDelay) {
    sim.userDefaults().set("quillet.autoRehideSeconds", 5);
    launch();
    sim.advance(3);
    openMenu([&](platform::Menu&) {
        EXPECT_FALSE(manager().isRehideArmed());
        sim.advance(10); // the menu stays open for a while
        EXPECT_FALSE(manager().isCollapsed().get());
        return std::nullopt;
    });
    EXPECT_TRUE(manager().rehideSuppressors().empty());
    sim.advance(4.9);
    EXPECT_FALSE(manager().isCollapsed().get());
    sim.advance(0.2);
    EXPECT_TRUE(manager().isCollapsed().get());
}

TEST_F(StatusMenuTest, LaunchAtLoginRegistersAndUnregisters) {
    launch();
    openMenu([](platform::Menu& m) { return indexOf(m, "Launch at Login"); });
    EXPECT_TRUE(manager().launchAtLogin().get());
    EXPECT_EQ(sim.loginItemService().status(), LoginItemStatus::enabled);
    openMenu([](platform::Menu& m) { return indexOf(m, "Launch at Login"); });
    EXPECT_FALSE(manager().launchAtLogin().get());
    EXPECT_EQ(sim.loginItemService().status(), LoginItemStatus::notRegistered);

    relaunch(); // never stored: read back from the system
    EXPECT_FALSE(manager().launchAtLogin().get());
    sim.simLoginItems().setStatus(LoginItemStatus::enabled);
    relaunch();
    EXPECT_TRUE(manager().launchAtLogin().get());
}

TEST_F(StatusMenuTest, ARegistrationNeedingApprovalStaysOffAndLogsOnce) {
    sim.simLoginItems().requiresApproval = true;
    launch();
    openMenu([](platform::Menu& m) { return indexOf(m, "Launch at Login"); });
    EXPECT_FALSE(manager().launchAtLogin().get());
    auto lines = sim.simLog().matching("Launch at Login toggle failed");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].message, "Launch at Login toggle failed: Operation not permitted");
    EXPECT_EQ(lines[0].category, "MenuBarManager");
    EXPECT_EQ(lines[0].level, platform::LogLevel::error);
    EXPECT_TRUE(sim.simAlerts().shown.empty()) << "no dialog";

    // A failed unregistration falls back to what the system says.
    sim.simLoginItems().requiresApproval = false;
    sim.simLoginItems().setStatus(LoginItemStatus::enabled);
    sim.simLoginItems().failNext = "The operation couldn’t be completed.";
    manager().setLaunchAtLogin(false);
    EXPECT_TRUE(manager().launchAtLogin().get());
}

TEST_F(StatusMenuTest, ShowHiddenItemsOpensThePanelEvenWhenNothingIsHidden) {
    launch();
    openMenu([](platform::Menu& m) { return indexOf(m, "Show Hidden Items"); });
    ASSERT_TRUE(panelVisible());
    EXPECT_TRUE(panelView()->rootView().showsEmptyState());
    EXPECT_DOUBLE_EQ(manager().panelController()->panel()->frame().width(), 170);
}

TEST_F(StatusMenuTest, AVisiblePanelHoldsTheRehideUntilItCloses) {
    sim.userDefaults().set("quillet.autoRehideSeconds", 5);
    launch();
    openMenu([](platform::Menu& m) { return indexOf(m, "Show Hidden Items"); });
    sim.advance(30);
    EXPECT_FALSE(manager().isCollapsed().get());
    sim.mouseDownInOtherApplication();
    sim.runUntilIdle();
    EXPECT_FALSE(panelVisible());
    sim.advance(5.1);
    EXPECT_TRUE(manager().isCollapsed().get());
}

// --- hover preview ---

class HoverPreviewTest : public StatusMenuTest {
protected:
    void SetUp() override {
        addOtherItem("Wi-Fi Menu", 201);
        addOtherItem("Battery Menu", 202);
        launch();
        leftClickChevron();
        ASSERT_TRUE(manager().isCollapsed().get());
    }
};

TEST_F(HoverPreviewTest, RestingOnTheChevronOpensThePanelWithTheHiddenItems) {
    sim.hover(toggle(), true);
    sim.advance(0.34);
    EXPECT_FALSE(panelVisible());
    sim.advance(0.02);
    ASSERT_TRUE(panelVisible());
    EXPECT_EQ(panelView()->rootView().items.size(), 2u);
    EXPECT_DOUBLE_EQ(manager().panelController()->panel()->frame().width(), 72);
    EXPECT_EQ(manager().rehideSuppressors().count(RehideSuppressor::hiddenItemsPanel), 1u);
}

TEST_F(HoverPreviewTest, LeavingEarlyOpensNothing) {
    sim.hover(toggle(), true);
    sim.advance(0.3);
    sim.hover(toggle(), false);
    sim.advance(2);
    EXPECT_FALSE(manager().hasPanelController());
}

TEST_F(HoverPreviewTest, ThePanelClosesHalfASecondAfterThePointerLeavesBoth) {
    sim.hover(toggle(), true);
    sim.advance(0.4);
    sim.hover(toggle(), false);
    sim.advance(0.3);
    panelView()->pointerEnteredView(); // moved from the chevron into the panel in time
    sim.advance(2);
    EXPECT_TRUE(panelVisible());
    panelView()->pointerExitedView();
    sim.advance(0.45);
    EXPECT_TRUE(panelVisible());
    sim.advance(0.1);
    EXPECT_FALSE(panelVisible());
    EXPECT_TRUE(manager().rehideSuppressors().empty());
}

TEST_F(HoverPreviewTest, ReturningToTheChevronCancelsTheClose) {
    sim.hover(toggle(), true);
    sim.advance(0.4);
    sim.hover(toggle(), false);
    sim.advance(0.4);
    sim.hover(toggle(), true);
    sim.advance(5);
    EXPECT_TRUE(panelVisible());
}

TEST_F(HoverPreviewTest, OffMeansNothingAndSwitchingOffCancelsAPendingOpen) {
    sim.hover(toggle(), true);
    sim.advance(0.2);
    manager().setHoverPreviewEnabled(false);
    sim.advance(1);
    EXPECT_FALSE(manager().hasPanelController());
    sim.hover(toggle(), false);
    sim.hover(toggle(), true);
    sim.advance(1);
    EXPECT_FALSE(manager().hasPanelController());
}

TEST_F(HoverPreviewTest, AnExpandedBarNeverPreviews) {
    leftClickChevron();
    sim.hover(toggle(), true);
    sim.advance(2);
    EXPECT_FALSE(manager().hasPanelController());
}

TEST_F(HoverPreviewTest, ClickingAnIconClosesThePanelAndExpandsTheBar) {
    manager().setAutoRehide(10);
    sim.hover(toggle(), true);
    sim.advance(0.4);
    auto view = panelView();
    ASSERT_TRUE(view);
    view->tapCell(view->rootView().items[0].windowID);
    EXPECT_FALSE(panelVisible());
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_TRUE(manager().isRehideArmed()) << "armed from the expansion";
    sim.advance(10.1);
    EXPECT_TRUE(manager().isCollapsed().get());
}

TEST_F(HoverPreviewTest, APanelOpenedFromTheMenuStaysUntilThePointerPassesThrough) {
    openMenu([](platform::Menu& m) { return indexOf(m, "Show Hidden Items"); });
    sim.advance(5);
    EXPECT_TRUE(panelVisible());
    sim.hover(toggle(), true);
    sim.hover(toggle(), false);
    sim.advance(0.6);
    EXPECT_FALSE(panelVisible());
}

} // namespace
