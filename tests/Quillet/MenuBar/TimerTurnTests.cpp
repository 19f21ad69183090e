// The manager's timers hand their work to a later main-thread turn. Whatever happens between a
// timer's fire and that turn (an invalidation, a newer timer) must win over the stale work.
#include "tests/support/QuilletFixture.h"

#include "Platform/Menu.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/Views/QuilletBarView.h"

#include <cstdint>
#include <limits>

using namespace quillet;

namespace {

class TimerTurnTest : public quillet::test::QuilletFixture {
protected:
    bool panelVisible() {
        return manager().hasPanelController() && manager().panelController()->isPanelVisible();
    }
    // Opens the status menu; `whileOpen` runs while it is open (a nested loop on a real Mac).
    void whileMenuOpen(std::function<void()> whileOpen) {
        sim.menuTracker = [whileOpen](platform::Menu&) -> std::optional<std::size_t> {
            whileOpen();
            return std::nullopt;
        };
        rightClickChevron();
        sim.menuTracker = nullptr;
    }
    void collapseWithHiddenItems() {
        addOtherItem("Wi-Fi Menu", 201);
        launch();
        leftClickChevron();
        ASSERT_TRUE(manager().isCollapsed().get());
    }
};

TEST_F(TimerTurnTest, AMenuOpenedBetweenTheRehideFireAndItsTurnKeepsTheBarOpen) {
    sim.userDefaults().set("quillet.autoRehideSeconds", 5);
    launch();
    ASSERT_EQ(sim.fireTimersOnly(5), 1u); // the rehide fired; its collapse waits for a turn
    ASSERT_FALSE(manager().isCollapsed().get());

    whileMenuOpen([&] {
        sim.runUntilIdle(); // the menu's own loop runs the waiting turn
        EXPECT_FALSE(manager().isCollapsed().get()) << "collapsed under the open menu";
    });
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_TRUE(manager().isRehideArmed()) << "the menu's close re-arms the full delay";
    sim.advance(4.9);
    EXPECT_FALSE(manager().isCollapsed().get());
    sim.advance(0.2);
    EXPECT_TRUE(manager().isCollapsed().get());

    // Switching the rehide off between the fire and the turn wins as well.
    leftClickChevron();
    sim.fireTimersOnly(5);
    manager().setAutoRehide(0);
    sim.runUntilIdle();
    EXPECT_FALSE(manager().isCollapsed().get());
}

TEST_F(TimerTurnTest, AHoverOpenRestartedAfterTheFireWaitsItsFullDelay) {
    collapseWithHiddenItems();
    sim.hover(toggle(), true);
    sim.fireTimersOnly(MenuBarManager::hoverOpenSeconds);
    // The pointer leaves and comes back before the turn: a fresh 0.35 s starts.
    sim.hover(toggle(), false);
    sim.hover(toggle(), true);
    sim.runUntilIdle();
    EXPECT_FALSE(panelVisible()) << "opened by the cancelled timer";
    sim.advance(0.34);
    EXPECT_FALSE(panelVisible());
    sim.advance(0.02);
    EXPECT_TRUE(panelVisible()) << "the newer timer was orphaned";
}

TEST_F(TimerTurnTest, AHoverCloseRestartedAfterTheFireWaitsItsFullDelay) {
    collapseWithHiddenItems();
    sim.hover(toggle(), true);
    sim.advance(0.4);
    ASSERT_TRUE(panelVisible());
    sim.hover(toggle(), false);
    sim.fireTimersOnly(MenuBarManager::hoverCloseSeconds);
    // Back on the chevron and out again before the turn: the close starts over.
    sim.hover(toggle(), true);
    sim.hover(toggle(), false);
    sim.runUntilIdle();
    EXPECT_TRUE(panelVisible()) << "closed by the cancelled timer";
    sim.advance(0.45);
    EXPECT_TRUE(panelVisible());
    sim.advance(0.1);
    EXPECT_FALSE(panelVisible()) << "the newer timer was orphaned";

    // Entering the panel between the fire and the turn keeps it open.
    sim.hover(toggle(), true);
    sim.advance(0.4);
    ASSERT_TRUE(panelVisible());
    sim.hover(toggle(), false);
    sim.fireTimersOnly(MenuBarManager::hoverCloseSeconds);
    manager().panelController()->hostingView()->pointerEnteredView();
    manager().panelController()->hostingView()->pointerExitedView();
    sim.runUntilIdle();
    EXPECT_TRUE(panelVisible());
}

TEST_F(TimerTurnTest, AWarningRestartedAfterTheFireStaysItsFullTwoSeconds) {
    launch();
    dragDotToWrongSide();
    leftClickChevron();
    ASSERT_EQ(chevronSymbol(), "exclamationmark.triangle");
    sim.fireTimersOnly(MenuBarManager::positionWarningSeconds);
    leftClickChevron(); // refused again before the turn: the warning restarts
    sim.runUntilIdle();
    EXPECT_EQ(chevronSymbol(), "exclamationmark.triangle") << "cleared by the replaced timer";
    EXPECT_TRUE(manager().isPositionWarningShown());
    sim.advance(1.9);
    EXPECT_EQ(chevronSymbol(), "exclamationmark.triangle");
    sim.advance(0.2);
    EXPECT_EQ(chevronSymbol(), "chevron.right") << "the newer timer was orphaned";
    EXPECT_FALSE(manager().isPositionWarningShown());
}

// --- the stored delay is any 64-bit value ---

TEST_F(TimerTurnTest, AnyStoredDelayReadsBackWholeAndArmsWithoutOverflow) {
    const std::int64_t beyond32Bits = (std::int64_t{1} << 32) + 5;
    sim.userDefaults().set("quillet.autoRehideSeconds", beyond32Bits);
    launch();
    EXPECT_EQ(manager().autoRehideSeconds().get(), beyond32Bits);
    EXPECT_TRUE(manager().isRehideArmed());
    sim.advance(3600);
    EXPECT_FALSE(manager().isCollapsed().get()) << "a huge delay is a long wait, not 5 s";

    // Negative values keep meaning off, however wide.
    sim.userDefaults().set("quillet.autoRehideSeconds", -(std::int64_t{1} << 32) + 5);
    relaunch();
    EXPECT_LT(manager().autoRehideSeconds().get(), 0);
    EXPECT_FALSE(manager().isRehideArmed());
    sim.advance(60);
    EXPECT_FALSE(manager().isCollapsed().get());

    // The extremes arm (or not) without overflowing anywhere.
    manager().setAutoRehide(std::numeric_limits<std::int64_t>::max());
    EXPECT_TRUE(manager().isRehideArmed());
    EXPECT_EQ(sim.userDefaults().object("quillet.autoRehideSeconds"),
              platform::Value(std::numeric_limits<std::int64_t>::max()));
    manager().setAutoRehide(std::numeric_limits<std::int64_t>::min());
    EXPECT_FALSE(manager().isRehideArmed());
    sim.advance(1e6);
    EXPECT_FALSE(manager().isCollapsed().get());

    // A wide value set now comes back whole after a relaunch.
    manager().setAutoRehide(beyond32Bits);
    relaunch();
    EXPECT_EQ(manager().autoRehideSeconds().get(), beyond32Bits);
}

} // namespace
