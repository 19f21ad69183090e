#include "Platform/EventMonitors.h"
#include "Platform/Sim/SimHost.h"
#include "Quillet/HiddenItems/QuilletBarPanelController.h"
#include "Quillet/Views/QuilletBarView.h"

#include <gtest/gtest.h>

using namespace quillet;
using platform::sim::SimHost;

namespace {

class QuilletBarPanelControllerTest : public ::testing::Test {
protected:
    SimHost sim;
    std::shared_ptr<platform::StatusItem> chevron = sim.statusBar().statusItem(-2);
    std::shared_ptr<QuilletBarPanelController> controller = QuilletBarPanelController::create();
    std::vector<bool> visibility;
    int clicks = 0;
    std::vector<bool> hovers;

    void SetUp() override {
        controller->onVisibilityChange = [this](bool v) { visibility.push_back(v); };
        controller->onItemClicked = [this] { ++clicks; };
        controller->onHoverChange = [this](bool h) { hovers.push_back(h); };
    }

    static std::vector<HiddenItem> items(std::size_t n) {
        std::vector<HiddenItem> out;
        for (std::size_t i = 0; i < n; ++i)
            out.push_back(HiddenItem{700, static_cast<std::uint32_t>(900 + i),
                                     platform::makeRect(-300.0 + 22 * i, 0, 22, 24), nullptr});
        return out;
    }
    void show(std::size_t n) { controller->show(items(n), chevron->button()); }
    platform::Rect panelFrame() { return controller->panel()->frame(); }
    // Places the chevron's window with its right edge at `maxX`.
    void moveChevronTo(double maxX) {
        auto w = sim.simStatusBar().windowOf(chevron);
        w->setFrame(platform::makeRect(maxX - 24, 876, 24, 24));
    }
};

TEST_F(QuilletBarPanelControllerTest, WidthFollowsTheItemCount) {
    const std::pair<std::size_t, double> cases[] = {{0, 170}, {1, 42}, {2, 72}, {5, 162}, {6, 192}};
    for (auto [n, width] : cases) {
        show(n);
        EXPECT_DOUBLE_EQ(panelFrame().width(), width) << n << " items";
        EXPECT_DOUBLE_EQ(panelFrame().height(), 42);
    }
}

TEST_F(QuilletBarPanelControllerTest, HangsRightAlignedSixPointsBelowTheMenuBar) {
    show(2);
    const auto chevronFrame = sim.simStatusBar().windowOf(chevron)->frame();
    EXPECT_DOUBLE_EQ(panelFrame().maxX(), chevronFrame.maxX());
    EXPECT_DOUBLE_EQ(panelFrame().maxY(), 900 - 24 - 6);
}

TEST_F(QuilletBarPanelControllerTest, StaysInsideTheScreen) {
    moveChevronTo(30);
    show(5);
    EXPECT_DOUBLE_EQ(panelFrame().minX(), 0) << "moved right to the left edge";

    sim.setScreens({SimHost::makeScreen(0, 0, 100, 600)});
    moveChevronTo(100);
    show(6); // wider than the screen: the right edge wins
    EXPECT_DOUBLE_EQ(panelFrame().maxX(), 100);
    EXPECT_DOUBLE_EQ(panelFrame().maxY(), 600 - 24 - 6);
}

TEST_F(QuilletBarPanelControllerTest, HangsOnTheScreenHoldingMostOfTheChevron) {
    // A shorter screen to the right of the main one.
    sim.setScreens({SimHost::makeScreen(0, 0, 1440, 900), SimHost::makeScreen(1440, 0, 1000, 600)});
    auto chevronWindow = sim.simStatusBar().windowOf(chevron);
    // 10 × 340 points on the main screen, 14 × 200 on the right one, which holds the centre.
    chevronWindow->setFrame(platform::makeRect(1430, 400, 24, 340));
    show(1);
    EXPECT_DOUBLE_EQ(panelFrame().maxY(), 900 - 24 - 6) << "under the main screen's menu bar";
    EXPECT_DOUBLE_EQ(panelFrame().maxX(), 1440) << "inside the main screen";

    // Half on each: the first screen in order wins.
    chevronWindow->setFrame(platform::makeRect(1428, 576, 24, 24));
    show(1);
    EXPECT_DOUBLE_EQ(panelFrame().maxY(), 900 - 24 - 6);

    // Mostly on the right screen.
    chevronWindow->setFrame(platform::makeRect(1436, 576, 24, 24));
    show(1);
    EXPECT_DOUBLE_EQ(panelFrame().maxY(), 600 - 24 - 6);
    EXPECT_DOUBLE_EQ(panelFrame().minX(), 1440) << "moved right, inside the right screen";
}

TEST_F(QuilletBarPanelControllerTest, ThePanelIsANonActivatingStatusLevelPanel) {
    show(1);
    auto a = controller->panel()->attributes();
    EXPECT_TRUE(controller->panel()->isPanel());
    EXPECT_EQ(a.styleMask, 0x8080u);
    EXPECT_EQ(a.level, 25);
    EXPECT_EQ(a.collectionBehavior, 0x142u);
    EXPECT_TRUE(a.isFloatingPanel);
    EXPECT_TRUE(a.becomesKeyOnlyIfNeeded);
    EXPECT_FALSE(a.isOpaque);
    EXPECT_FALSE(a.hidesOnDeactivate);
    EXPECT_FALSE(a.isReleasedWhenClosed);
    EXPECT_TRUE(a.canBecomeKey);
    EXPECT_FALSE(a.canBecomeMain);
    EXPECT_EQ(a.appearance, "darkAqua");
    EXPECT_FALSE(controller->panel()->isKeyWindow()) << "shown without being made key";
}

TEST_F(QuilletBarPanelControllerTest, ShowingTwiceReportsAndMonitorsOnce) {
    show(1);
    show(3);
    EXPECT_EQ(visibility, std::vector<bool>{true});
    EXPECT_EQ(sim.eventMonitors().count(), 3u);
    EXPECT_EQ(controller->hostingView()->rootView().items.size(), 3u) << "content refreshed";
    controller->hide();
    controller->hide();
    EXPECT_EQ(visibility, (std::vector<bool>{true, false}));
    EXPECT_EQ(sim.eventMonitors().count(), 0u);
    EXPECT_FALSE(controller->panel()->isVisible());
}

TEST_F(QuilletBarPanelControllerTest, ClicksInsideKeepItAndClicksElsewhereCloseIt) {
    show(1);
    EXPECT_TRUE(sim.mouseDown(controller->panel()->windowNumber()));
    EXPECT_TRUE(controller->isPanelVisible());

    auto settings = sim.addWindow(/*panel=*/false, /*visible=*/true);
    EXPECT_TRUE(sim.mouseDown(settings->windowNumber(), platform::EventType::rightMouseDown))
        << "the click still reaches its window";
    EXPECT_FALSE(controller->isPanelVisible());

    show(1);
    sim.mouseDownInOtherApplication();
    EXPECT_TRUE(controller->isPanelVisible()) << "hidden from a main-thread task";
    sim.runUntilIdle();
    EXPECT_FALSE(controller->isPanelVisible());
    EXPECT_EQ(visibility, (std::vector<bool>{true, false, true, false}));
}

TEST_F(QuilletBarPanelControllerTest, AClickElsewhereConcernsOnlyTheShowingItHappenedIn) {
    show(1);
    sim.mouseDownInOtherApplication(); // its hide waits for a main-thread turn
    // Before that turn the panel is closed and opened again (a new showing).
    controller->hide();
    show(2);
    sim.runUntilIdle();
    EXPECT_TRUE(controller->isPanelVisible()) << "the earlier click closed the new showing";
    EXPECT_EQ(visibility, (std::vector<bool>{true, false, true}));

    sim.mouseDownInOtherApplication(); // a click during this showing still closes it
    sim.runUntilIdle();
    EXPECT_FALSE(controller->isPanelVisible());
}

TEST_F(QuilletBarPanelControllerTest, EscapeClosesOnlyAKeyPanel) {
    show(1);
    EXPECT_TRUE(sim.keyDown(platform::keyCodeEscape)) << "not key: passed on";
    EXPECT_TRUE(controller->isPanelVisible());

    auto panel = std::dynamic_pointer_cast<platform::sim::SimWindow>(controller->panel());
    panel->makeKey();
    EXPECT_TRUE(sim.keyDown(12)) << "other keys pass";
    EXPECT_TRUE(controller->isPanelVisible());
    EXPECT_FALSE(sim.keyDown(platform::keyCodeEscape)) << "Escape is swallowed";
    EXPECT_FALSE(controller->isPanelVisible());
}

TEST_F(QuilletBarPanelControllerTest, NoAnchorNoWindowOrNoScreenShowsNothing) {
    controller->show(items(1), nullptr);
    EXPECT_EQ(controller->panel(), nullptr);
    auto stray = std::make_shared<platform::StatusItem>(-2);
    controller->show(items(1), stray->button()); // a button without a window
    EXPECT_EQ(controller->panel(), nullptr);
    sim.setScreens({});
    show(1);
    EXPECT_EQ(controller->panel(), nullptr);
    EXPECT_TRUE(visibility.empty());
}

TEST_F(QuilletBarPanelControllerTest, ContentReportsTapsAndHoverAndKeepsCellState) {
    show(0);
    auto view = controller->hostingView();
    ASSERT_TRUE(view);
    EXPECT_EQ(view->viewName(), "QuilletBarView");
    EXPECT_TRUE(view->rootView().showsEmptyState());

    show(3);
    EXPECT_EQ(controller->hostingView(), view) << "the same hosting view gets a new root";
    view->pointerEnteredCell(901);
    EXPECT_TRUE(view->isHovered(901));
    EXPECT_FALSE(view->isHovered(900)) << "only that icon";
    EXPECT_DOUBLE_EQ(view->highlightOpacity(901), 0.16);
    show(2); // 901 is still listed: it keeps its hover state
    EXPECT_TRUE(view->isHovered(901));
    view->pointerExitedCell(901);
    EXPECT_DOUBLE_EQ(view->highlightOpacity(901), 0.0);

    view->tapCell(900);
    view->tapCell(12345); // not an icon of this panel
    EXPECT_EQ(clicks, 1);
    view->pointerEnteredView();
    view->pointerExitedView();
    EXPECT_EQ(hovers, (std::vector<bool>{true, false}));
}

TEST_F(QuilletBarPanelControllerTest, CallbacksDoNothingOnceTheControllerIsGone) {
    show(1);
    auto view = controller->hostingView();
    controller.reset();
    view->tapCell(900);
    view->pointerEnteredView();
    sim.mouseDownInOtherApplication();
    sim.runUntilIdle();
    EXPECT_EQ(clicks, 0);
    EXPECT_TRUE(hovers.empty());
    EXPECT_EQ(sim.eventMonitors().count(), 0u) << "monitors go with the controller";
}

TEST(HiddenItemIconCell, ShowsTheAppIconOrAPlaceholderAndItsName) {
    SimHost sim;
    auto named = sim.simWorkspace().addApplication(701, "com.example.a", "Notes Helper");
    auto withIcon = sim.simWorkspace().addApplication(702, "com.example.b", "Dropbox");
    withIcon->iconImage = platform::Image{};
    withIcon->iconImage->resourceName = "dropbox";
    auto nameless = sim.simWorkspace().addApplication(703, "com.example.c", std::nullopt);

    HiddenItemIconCell none{HiddenItem{1, 1, {}, nullptr}, nullptr};
    EXPECT_TRUE(none.showsPlaceholder());
    EXPECT_EQ(none.toolTip(), "Unknown app");
    HiddenItemIconCell noIcon{HiddenItem{701, 2, {}, named}, nullptr};
    EXPECT_TRUE(noIcon.showsPlaceholder());
    EXPECT_EQ(noIcon.toolTip(), "Notes Helper");
    HiddenItemIconCell icon{HiddenItem{702, 3, {}, withIcon}, nullptr};
    EXPECT_FALSE(icon.showsPlaceholder());
    EXPECT_EQ(icon.iconImage()->resourceName, "dropbox");
    HiddenItemIconCell noName{HiddenItem{703, 4, {}, nameless}, nullptr};
    EXPECT_EQ(noName.toolTip(), "Unknown app");
}

} // namespace
