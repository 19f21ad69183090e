#include "Platform/Screens.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Window.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

// The main screen and, to its right, a shorter one whose top is 300 points lower.
const Screen mainScreen = sim::SimHost::makeScreen(0, 0, 1440, 900);
const Screen rightScreen = sim::SimHost::makeScreen(1440, 0, 1000, 600);

TEST(ScreenHolding, TheScreenWithTheLargestPartWinsNotTheOneWithTheCentre) {
    const std::vector<Screen> screens{mainScreen, rightScreen};
    // 10 × 340 points on the main screen, 14 × 200 on the right one, whose frame holds the
    // centre (1442, 570).
    const Rect straddling = makeRect(1430, 400, 24, 340);
    EXPECT_EQ(screenHolding(straddling, screens), mainScreen);
    // Mostly on the right screen.
    EXPECT_EQ(screenHolding(makeRect(1420, 100, 100, 100), screens), rightScreen);
    // Wholly inside one.
    EXPECT_EQ(screenHolding(makeRect(2000, 10, 50, 50), screens), rightScreen);
}

TEST(ScreenHolding, ATieGoesToTheFirstScreenInOrder) {
    const Rect even = makeRect(1428, 100, 24, 24); // 12 points on each side
    EXPECT_EQ(screenHolding(even, {mainScreen, rightScreen}), mainScreen);
    EXPECT_EQ(screenHolding(even, {rightScreen, mainScreen}), rightScreen);
}

TEST(ScreenHolding, NoScreenHoldsAWindowBeyondEveryScreen) {
    EXPECT_EQ(screenHolding(makeRect(-300, 876, 22, 24), {mainScreen, rightScreen}), std::nullopt);
    EXPECT_EQ(screenHolding(makeRect(1440, 900, 30, 30), {mainScreen}), std::nullopt)
        << "touching a corner is not holding";
    EXPECT_EQ(screenHolding(makeRect(10, 10, 20, 20), {}), std::nullopt);
    // A frame without area belongs to the screen holding its centre.
    EXPECT_EQ(screenHolding(makeRect(1500, 10, 0, 0), {mainScreen, rightScreen}), rightScreen);
}

TEST(ScreenHolding, AWindowKnowsItsScreenFromTheHostsScreens) {
    sim::SimHost sim;
    sim.setScreens({mainScreen, rightScreen});
    auto window = sim.addWindow(/*panel=*/false, /*visible=*/true);
    window->setFrame(makeRect(1430, 400, 24, 340));
    EXPECT_EQ(window->screen(), mainScreen);
    window->setFrame(makeRect(1460, 400, 24, 100));
    EXPECT_EQ(window->screen(), rightScreen);
    sim.setScreens({});
    EXPECT_EQ(window->screen(), std::nullopt);
}

} // namespace
