#include "Platform/Sim/SimHost.h"
#include "Platform/Window.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

TEST(SimStatusBar, ItemsSitLeftOfTheSystemItemsInCocoaCoordinates) {
    sim::SimHost sim;
    auto item = sim.statusBar().statusItem(squareStatusItemLength);
    auto frame = sim.simStatusBar().windowOf(item)->frame();
    // The clock (110) and Control Center (28) are rightmost on the 1440 x 900 screen.
    EXPECT_EQ(frame, makeRect(1440 - 138 - 24, 876, 24, 24));
    ASSERT_TRUE(item->button());
    EXPECT_EQ(item->button()->window(), sim.simStatusBar().windowOf(item));
}

TEST(SimStatusBar, DraggingAnItemPersistsOurPositionsInDefaults) {
    sim::SimHost sim;
    auto a = sim.statusBar().statusItem(squareStatusItemLength);
    a->setAutosaveName("a");
    auto b = sim.statusBar().statusItem(squareStatusItemLength);
    b->setAutosaveName("b");
    EXPECT_LT(*sim.simStatusBar().slotOf(a), *sim.simStatusBar().slotOf(b));
    sim.simStatusBar().drag(b, 0);
    EXPECT_EQ(*sim.simStatusBar().slotOf(b), 0u);
    EXPECT_TRUE(sim.userDefaults().object(preferredPositionKey("a")));
    EXPECT_TRUE(sim.userDefaults().object(preferredPositionKey("b")));

    // Our items leave with the process; their positions stay for the next one.
    sim.relaunch();
    EXPECT_TRUE(sim.simStatusBar().ownItems().empty());
    auto a2 = sim.statusBar().statusItem(squareStatusItemLength);
    a2->setAutosaveName("a");
    auto b2 = sim.statusBar().statusItem(squareStatusItemLength);
    b2->setAutosaveName("b");
    EXPECT_LT(*sim.simStatusBar().slotOf(b2), *sim.simStatusBar().slotOf(a2));
}

TEST(SimStatusBar, ClicksSetTheCurrentEventAndHonourTheMask) {
    sim::SimHost sim;
    auto item = sim.statusBar().statusItem(squareStatusItemLength);
    std::vector<EventType> seen;
    item->button()->setAction([&] { seen.push_back(sim.application().currentEvent()->type); });
    sim.click(item, sim::MouseButton::right);
    EXPECT_TRUE(seen.empty()) << "default mask: left mouse-up only";
    item->button()->sendActionOn(eventMask(EventType::leftMouseUp) |
                                 eventMask(EventType::rightMouseUp));
    sim.click(item, sim::MouseButton::right);
    sim.click(item, sim::MouseButton::left);
    EXPECT_EQ(seen, (std::vector<EventType>{EventType::rightMouseUp, EventType::leftMouseUp}));
    EXPECT_FALSE(sim.application().currentEvent()) << "only for the duration of the click";
}

TEST(SimStatusBar, ItemsWithoutScreensAreOrderedOut) {
    sim::SimHost sim;
    auto item = sim.statusBar().statusItem(squareStatusItemLength);
    sim.setScreens({});
    EXPECT_FALSE(sim.simStatusBar().windowOf(item)->isVisible());
    sim.setScreens({sim::SimHost::makeScreen(0, 0, 800, 600)});
    EXPECT_TRUE(sim.simStatusBar().windowOf(item)->isVisible());
    EXPECT_EQ(sim.simStatusBar().windowOf(item)->frame().maxY(), 600);
}

} // namespace
