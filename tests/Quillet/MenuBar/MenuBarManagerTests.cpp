#include "tests/support/QuilletFixture.h"

#include "Platform/NotificationCenter.h"

using namespace quillet;
using platform::sim::MouseButton;
using platform::sim::SimHost;

namespace {

class MenuBarManagerTest : public quillet::test::QuilletFixture {};

constexpr const char* togglePositionKey = "NSStatusItem Preferred Position quillet.toggle";
constexpr const char* separatorPositionKey = "NSStatusItem Preferred Position quillet.separator";

TEST_F(MenuBarManagerTest, CollapsingPushesItemsBeyondTheDotOffScreenAndExpandingBringsThemBack) {
    auto wifi = addOtherItem("Wi-Fi Menu", 201);
    auto battery = addOtherItem("Battery Menu", 202, 30);
    auto notes = addOtherItem("Notes Helper", 203, 26);
    // One item of another application stays between the chevron and the clock.
    platform::sim::ForeignStatusItemSpec near{"Near Item", 204, "near.item", 22, -5.0};
    auto nearItem = sim.simStatusBar().addForeignItem(near);
    launch();
    const auto screen = sim.screens().mainScreen()->frame;

    for (auto& item : {wifi, battery, notes})
        EXPECT_TRUE(frameOf(item).minX() >= screen.minX()) << "visible before collapsing";

    leftClickChevron();
    ASSERT_TRUE(manager().isCollapsed().get());
    for (auto& item : {wifi, battery, notes})
        EXPECT_LE(frameOf(item).maxX(), screen.minX()) << "wholly left of the main screen";
    EXPECT_GE(frameOf(toggle()).minX(), screen.minX());
    EXPECT_LE(frameOf(toggle()).maxX(), screen.maxX());
    EXPECT_GE(frameOf(nearItem).minX(), screen.minX()) << "items right of the dot stay";

    leftClickChevron();
    ASSERT_FALSE(manager().isCollapsed().get());
    for (auto& item : {wifi, battery, notes}) {
        EXPECT_GE(frameOf(item).minX(), screen.minX());
        EXPECT_LE(frameOf(item).maxX(), screen.maxX());
    }
}

TEST_F(MenuBarManagerTest, FirstLaunchStartsExpandedWithDefaultsAndWritesPositionsOnce) {
    launch();
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_EQ(manager().autoRehideSeconds().get(), 0);
    EXPECT_TRUE(manager().hoverPreviewEnabled().get());
    EXPECT_EQ(sim.userDefaults().object(togglePositionKey), platform::Value(0.0));
    EXPECT_EQ(sim.userDefaults().object(separatorPositionKey), platform::Value(1.0));
    // The dot sits just beyond the chevron: collapsing is allowed at once.
    EXPECT_LT(frameOf(separator()).minX(), frameOf(toggle()).minX());

    relaunch();
    EXPECT_EQ(sim.simDefaults().writeCount(togglePositionKey), 1);
    EXPECT_EQ(sim.simDefaults().writeCount(separatorPositionKey), 1);
}

TEST_F(MenuBarManagerTest, OnePositionKeyPresentWritesNeither) {
    sim.userDefaults().set(separatorPositionKey, 40.0);
    launch();
    EXPECT_FALSE(sim.userDefaults().object(togglePositionKey).has_value());
    EXPECT_EQ(sim.simDefaults().writeCount(separatorPositionKey), 1);
}

TEST_F(MenuBarManagerTest, HoverPreviewReadsTheKeysPresenceNotJustItsValue) {
    sim.userDefaults().set("quillet.hoverPreviewEnabled", false);
    sim.userDefaults().set("quillet.autoRehideSeconds", 20);
    launch();
    EXPECT_FALSE(manager().hoverPreviewEnabled().get());
    EXPECT_EQ(manager().autoRehideSeconds().get(), 20);

    manager().setHoverPreviewEnabled(true);
    relaunch();
    EXPECT_TRUE(manager().hoverPreviewEnabled().get());
}

TEST_F(MenuBarManagerTest, ItemsAreConfiguredAsTheMenuBarExpects) {
    launch();
    auto* chevron = toggle()->button();
    auto* dot = separator()->button();
    EXPECT_EQ(toggle()->length(), platform::squareStatusItemLength);
    EXPECT_EQ(toggle()->autosaveName(), "quillet.toggle");
    EXPECT_EQ(separator()->autosaveName(), "quillet.separator");
    EXPECT_EQ(chevron->toolTip(), "Quillet: click to hide or show menu bar items");
    EXPECT_EQ(chevron->sendActionMask(), 0x14u);
    ASSERT_EQ(chevron->trackingAreas().size(), 1u);
    EXPECT_EQ(chevron->trackingAreas()[0].options, 0x281u);
    EXPECT_DOUBLE_EQ(dot->alphaValue(), 0.55);
    EXPECT_FALSE(dot->hasAction());

    ASSERT_TRUE(chevron->image());
    EXPECT_EQ(chevron->image()->symbolName, "chevron.right");
    EXPECT_EQ(chevron->image()->accessibilityDescription, "Hide menu bar items");
    EXPECT_TRUE(chevron->image()->isTemplate);
    EXPECT_EQ(chevron->image()->configuration,
              (platform::SymbolConfiguration{12, platform::SymbolWeight::medium,
                                             platform::SymbolScale::medium}));
    ASSERT_TRUE(dot->image());
    EXPECT_EQ(dot->image()->symbolName, "circle.fill");
    EXPECT_EQ(dot->image()->accessibilityDescription, "Quillet separator");
    EXPECT_EQ(dot->image()->configuration,
              (platform::SymbolConfiguration{6, platform::SymbolWeight::regular,
                                             platform::SymbolScale::small}));
    EXPECT_DOUBLE_EQ(separator()->length(), 12.0);

    leftClickChevron();
    EXPECT_FALSE(dot->image()) << "the dot disappears while collapsed";
    EXPECT_EQ(chevron->image()->symbolName, "chevron.left");
    EXPECT_EQ(chevron->image()->accessibilityDescription, "Show hidden menu bar items");
    leftClickChevron();
    EXPECT_DOUBLE_EQ(separator()->length(), 12.0);
    ASSERT_TRUE(dot->image());
}

TEST_F(MenuBarManagerTest, RightClickNeverTogglesAndAClickWithoutEventDoes) {
    launch();
    rightClickChevron();
    EXPECT_FALSE(manager().isCollapsed().get());
    leftClickChevron();
    rightClickChevron();
    EXPECT_TRUE(manager().isCollapsed().get());
    // performClick arrives with no current event: it toggles.
    toggle()->button()->performClick();
    EXPECT_FALSE(manager().isCollapsed().get());
}

TEST_F(MenuBarManagerTest, SettingTheSameStateDoesNothingNotEvenPersisting) {
    launch();
    manager().setCollapsed(true);
    ASSERT_EQ(sim.simDefaults().writeCount("quillet.isCollapsed"), 1);
    manager().setCollapsed(true);
    EXPECT_EQ(sim.simDefaults().writeCount("quillet.isCollapsed"), 1);
    manager().setCollapsed(false);
    EXPECT_EQ(sim.userDefaults().object("quillet.isCollapsed"), platform::Value(false));
}

TEST_F(MenuBarManagerTest, PublishedPropertiesAnnounceBeforeChanging) {
    launch();
    std::vector<std::pair<bool, bool>> seen; // (old, new)
    auto connection = manager().isCollapsed().willChange.connect(
        [&](const bool& next) { seen.emplace_back(manager().isCollapsed().get(), next); });
    leftClickChevron();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0], std::make_pair(false, true));
}

struct LengthCase {
    std::vector<double> widths;
    double expected;
};

class CollapsedLengthTest : public quillet::test::QuilletFixture,
                            public ::testing::WithParamInterface<LengthCase> {};

TEST_P(CollapsedLengthTest, FollowsTheWidestScreenWithinBounds) {
    std::vector<platform::Screen> screens;
    double x = 0;
    for (double w : GetParam().widths) {
        screens.push_back(SimHost::makeScreen(x, 0, w, 900));
        x += w;
    }
    sim.setScreens(screens);
    launch();
    leftClickChevron();
    ASSERT_TRUE(manager().isCollapsed().get());
    EXPECT_DOUBLE_EQ(separator()->length(), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Screens, CollapsedLengthTest,
                         ::testing::Values(LengthCase{{1440}, 1640},
                                           // The widest counts even when the menu bar is on
                                           // the narrower one.
                                           LengthCase{{1512, 2560}, 2760}, LengthCase{{3840}, 4000},
                                           LengthCase{{5120}, 4000}, LengthCase{{250}, 500},
                                           LengthCase{{}, 2120}));

TEST_F(MenuBarManagerTest, ScreenChangesLengthenACollapsedSeparatorOnly) {
    launch();
    sim.setScreens(
        {SimHost::makeScreen(0, 0, 1440, 900), SimHost::makeScreen(1440, 0, 2560, 1440)});
    EXPECT_DOUBLE_EQ(separator()->length(), 12.0) << "expanded: nothing changes";

    leftClickChevron();
    EXPECT_DOUBLE_EQ(separator()->length(), 2760);
    sim.setScreens({SimHost::makeScreen(0, 0, 1440, 900)});
    EXPECT_DOUBLE_EQ(separator()->length(), 1640);
    sim.setScreens({SimHost::makeScreen(0, 0, 3440, 1440)});
    EXPECT_DOUBLE_EQ(separator()->length(), 3640);
}

TEST_F(MenuBarManagerTest, CollapsedStateComesBackAfterRelaunchWithTheCurrentScreensLength) {
    launch();
    leftClickChevron();
    sim.setScreens({SimHost::makeScreen(0, 0, 2560, 1440)});
    relaunch();
    EXPECT_TRUE(manager().isCollapsed().get());
    EXPECT_DOUBLE_EQ(separator()->length(), 2760);
    EXPECT_EQ(chevronSymbol(), "chevron.left");
    EXPECT_FALSE(separator()->button()->image());
}

TEST_F(MenuBarManagerTest, PersistedCollapseIsRestoredWithoutThePositionCheck) {
    launch();
    leftClickChevron();
    dragDotToWrongSide();
    relaunch();
    EXPECT_TRUE(manager().isCollapsed().get());
    EXPECT_FALSE(manager().isPositionWarningShown());
}

TEST_F(MenuBarManagerTest, DotOnTheWrongSideShowsTheWarningForTwoSeconds) {
    launch();
    dragDotToWrongSide();
    ASSERT_GT(frameOf(separator()).minX(), frameOf(toggle()).minX());

    leftClickChevron();
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_EQ(sim.simDefaults().writeCount("quillet.isCollapsed"), 0) << "nothing persisted";
    EXPECT_EQ(chevronSymbol(), "exclamationmark.triangle");
    EXPECT_EQ(toggle()->button()->image()->accessibilityDescription,
              "The dot is on the wrong side of the chevron");
    EXPECT_EQ(toggle()->button()->toolTip(), "Drag the dot to the left of the chevron first.");
    EXPECT_DOUBLE_EQ(separator()->length(), 12.0);

    sim.advance(1.9);
    EXPECT_EQ(chevronSymbol(), "exclamationmark.triangle");
    sim.advance(0.2);
    EXPECT_EQ(chevronSymbol(), "chevron.right");
    EXPECT_EQ(toggle()->button()->toolTip(), "Quillet: click to hide or show menu bar items");
}

TEST_F(MenuBarManagerTest, ASecondRefusalRestartsTheWarning) {
    launch();
    dragDotToWrongSide();
    leftClickChevron();
    sim.advance(1.5);
    leftClickChevron();
    sim.advance(1.9); // 3.4 s after the first refusal, 1.9 s after the second
    EXPECT_EQ(chevronSymbol(), "exclamationmark.triangle");
    sim.advance(0.2);
    EXPECT_EQ(chevronSymbol(), "chevron.right");
}

TEST_F(MenuBarManagerTest, ACollapseDuringTheWarningEndsIt) {
    launch();
    dragDotToWrongSide();
    leftClickChevron();
    ASSERT_TRUE(manager().isPositionWarningShown());
    // The user fixes the order and clicks again while the triangle is still up.
    sim.simStatusBar().drag(separator(), *sim.simStatusBar().slotOf(toggle()) + 1);
    leftClickChevron();
    EXPECT_TRUE(manager().isCollapsed().get());
    EXPECT_FALSE(manager().isPositionWarningShown());
    EXPECT_EQ(chevronSymbol(), "chevron.left");
    EXPECT_EQ(toggle()->button()->toolTip(), "Quillet: click to hide or show menu bar items");
    sim.advance(3);
    EXPECT_EQ(chevronSymbol(), "chevron.left");
}

TEST_F(MenuBarManagerTest, EqualPositionsCountAsTheWrongSide) {
    launch();
    auto toggleWindow = sim.simStatusBar().windowOf(toggle());
    auto separatorWindow = sim.simStatusBar().windowOf(separator());
    auto frame = separatorWindow->frame();
    frame.origin.x = toggleWindow->frame().origin.x;
    separatorWindow->setFrame(frame);
    leftClickChevron();
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_EQ(chevronSymbol(), "exclamationmark.triangle");
}

TEST_F(MenuBarManagerTest, RightToLeftLayoutWantsTheDotRightOfTheChevron) {
    sim.simApplication().setLayoutDirection(platform::LayoutDirection::rightToLeft);
    auto other = addOtherItem("Wi-Fi Menu", 201);
    launch();
    const auto screen = sim.screens().mainScreen()->frame;
    ASSERT_LT(frameOf(toggle()).minX(), frameOf(separator()).minX());

    leftClickChevron();
    ASSERT_TRUE(manager().isCollapsed().get());
    EXPECT_GE(frameOf(other).minX(), screen.maxX()) << "pushed past the right edge";
    leftClickChevron();

    dragDotToWrongSide();
    ASSERT_GT(frameOf(toggle()).minX(), frameOf(separator()).minX());
    leftClickChevron();
    EXPECT_FALSE(manager().isCollapsed().get());
    EXPECT_EQ(toggle()->button()->toolTip(), "Drag the dot to the left of the chevron first.");
}

TEST_F(MenuBarManagerTest, MissingButtonsAndSymbolsNeitherBlockNorCrash) {
    sim.statusItemsHaveButtons = false;
    sim.simSymbols().remove("chevron.right");
    launch();
    leftClickChevron(); // no button: nothing to click
    manager().setCollapsed(true);
    EXPECT_TRUE(manager().isCollapsed().get()) << "without windows the position check passes";
    EXPECT_EQ(sim.userDefaults().object("quillet.isCollapsed"), platform::Value(true));
    EXPECT_DOUBLE_EQ(separator()->length(), 1640);
}

TEST_F(MenuBarManagerTest, UnknownChevronSymbolLeavesTheButtonWithoutImage) {
    sim.simSymbols().remove("chevron.right");
    launch();
    EXPECT_FALSE(toggle()->button()->image());
    leftClickChevron();
    EXPECT_EQ(chevronSymbol(), "chevron.left");
}

TEST_F(MenuBarManagerTest, CallbacksDoNothingOnceTheManagerIsGone) {
    launch();
    dragDotToWrongSide();
    leftClickChevron(); // leaves a warning timer pending
    auto toggleItem = toggle();
    delegate().menuBarManager.reset();
    sim.setScreens({SimHost::makeScreen(0, 0, 2560, 1440)});
    sim.advance(5);
    toggleItem->button()->performClick();
    EXPECT_EQ(sim.notificationCenter().observerCount(
                  platform::applicationDidChangeScreenParametersNotification),
              0u);
}

// --- auto-rehide ---

TEST_F(MenuBarManagerTest, AutoRehideCollapsesAfterTheDelay) {
    sim.userDefaults().set("quillet.autoRehideSeconds", 5);
    launch();
    EXPECT_TRUE(manager().isRehideArmed()) << "armed at launch when expanded";
    sim.advance(4.9);
    EXPECT_FALSE(manager().isCollapsed().get());
    sim.advance(0.2);
    EXPECT_TRUE(manager().isCollapsed().get());

    leftClickChevron(); // expanding re-arms from the full delay
    sim.advance(4.9);
    EXPECT_FALSE(manager().isCollapsed().get());
    sim.advance(0.2);
    EXPECT_TRUE(manager().isCollapsed().get());
}

TEST_F(MenuBarManagerTest, ChangingTheDelayRestartsOrCancelsTheRehide) {
    launch();
    manager().setAutoRehide(60);
    sim.advance(30);
    manager().setAutoRehide(5);
    EXPECT_EQ(sim.userDefaults().object("quillet.autoRehideSeconds"), platform::Value(5));
    sim.advance(4.9);
    EXPECT_FALSE(manager().isCollapsed().get());
    sim.advance(0.2);
    EXPECT_TRUE(manager().isCollapsed().get());

    leftClickChevron();
    manager().setAutoRehide(0);
    EXPECT_FALSE(manager().isRehideArmed());
    sim.advance(120);
    EXPECT_FALSE(manager().isCollapsed().get());
}

TEST_F(MenuBarManagerTest, AutoRehideWithTheDotOnTheWrongSideWarnsAgainEachDelay) {
    launch();
    dragDotToWrongSide();
    const double start = sim.runLoop().monotonicNow();
    auto advanceTo = [&](double t) { sim.advance(start + t - sim.runLoop().monotonicNow()); };
    manager().setAutoRehide(10);
    for (int round = 1; round <= 3; ++round) {
        const double attempt = 10.0 * round;
        advanceTo(attempt - 0.1);
        EXPECT_EQ(chevronSymbol(), "chevron.right") << "round " << round;
        advanceTo(attempt + 0.1);
        EXPECT_EQ(chevronSymbol(), "exclamationmark.triangle") << "round " << round;
        EXPECT_FALSE(manager().isCollapsed().get());
        advanceTo(attempt + 2.1);
        EXPECT_EQ(chevronSymbol(), "chevron.right") << "round " << round;
    }
    // Once the order is fixed the next attempt collapses.
    sim.simStatusBar().drag(separator(), *sim.simStatusBar().slotOf(toggle()) + 1);
    advanceTo(40.1);
    EXPECT_TRUE(manager().isCollapsed().get());
}

} // namespace
