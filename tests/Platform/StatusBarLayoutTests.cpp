#include "Platform/StatusBarLayout.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

const Rect screen = makeRect(0, 0, 1000, 800);

StatusBarLayoutEntry entry(double width, std::optional<double> position, std::uint64_t seq,
                           bool system = false, int systemOrder = 0) {
    StatusBarLayoutEntry e;
    e.width = width;
    e.preferredPosition = position;
    e.sequence = seq;
    e.isSystem = system;
    e.systemOrder = systemOrder;
    return e;
}

TEST(StatusBarLayout, SystemItemsFirstThenByPositionThenNewcomersFurthestOut) {
    std::vector<StatusBarLayoutEntry> entries{
        entry(20, std::nullopt, 0), // a newcomer without a position
        entry(30, 5.0, 1),
        entry(100, std::nullopt, 2, true, 0), // the clock
        entry(10, 1.0, 3),
        entry(25, std::nullopt, 4), // a later newcomer enters further out
    };
    auto r = layoutStatusBar(entries, screen, 24, LayoutDirection::leftToRight);
    EXPECT_EQ(r.order, (std::vector<std::size_t>{2, 3, 1, 0, 4}));
    EXPECT_EQ(r.frames[2], makeRect(900, 776, 100, 24));
    EXPECT_EQ(r.frames[3], makeRect(890, 776, 10, 24));
    EXPECT_EQ(r.frames[1], makeRect(860, 776, 30, 24));
    EXPECT_EQ(r.frames[0], makeRect(840, 776, 20, 24));
    EXPECT_EQ(r.frames[4], makeRect(815, 776, 25, 24));
}

TEST(StatusBarLayout, RightToLeftMirrorsFromTheLeftEdge) {
    std::vector<StatusBarLayoutEntry> entries{entry(100, std::nullopt, 0, true), entry(10, 0.0, 1),
                                              entry(2000, 1.0, 2), entry(20, std::nullopt, 3)};
    auto r = layoutStatusBar(entries, screen, 24, LayoutDirection::rightToLeft);
    EXPECT_EQ(r.frames[0].minX(), 0);
    EXPECT_EQ(r.frames[1].minX(), 100);
    EXPECT_EQ(r.frames[2].minX(), 110);
    // A long item pushes whatever lies beyond it past the right edge.
    EXPECT_GE(r.frames[3].minX(), screen.maxX());
}

TEST(StatusBarLayout, HiddenItemsTakeNoRoom) {
    std::vector<StatusBarLayoutEntry> entries{entry(10, 0.0, 0), entry(40, 1.0, 1),
                                              entry(10, 2.0, 2)};
    entries[1].visible = false;
    auto r = layoutStatusBar(entries, screen, 24, LayoutDirection::leftToRight);
    EXPECT_TRUE(r.frames[1].isEmpty());
    EXPECT_EQ(r.frames[2].maxX(), r.frames[0].minX());
}

TEST(StatusBarLayout, EqualPositionsKeepTheirOrderOfAppearance) {
    std::vector<StatusBarLayoutEntry> entries{entry(10, 3.0, 7), entry(10, 3.0, 2)};
    auto r = layoutStatusBar(entries, screen, 24, LayoutDirection::leftToRight);
    EXPECT_EQ(r.order, (std::vector<std::size_t>{1, 0}));
}

TEST(StatusBarLayout, DraggingRewritesPositionsToKeepTheNewOrder) {
    std::vector<StatusBarLayoutEntry> entries{entry(100, std::nullopt, 0, true), entry(24, 0.0, 1),
                                              entry(12, 1.0, 2), entry(22, std::nullopt, 3),
                                              entry(30, std::nullopt, 4)};
    // Move the last newcomer between the first two positioned items.
    auto positions = positionsAfterMove(entries, 4, 1);
    EXPECT_FALSE(positions[0].has_value()) << "system items keep no position";
    for (std::size_t i = 1; i < entries.size(); ++i) {
        ASSERT_TRUE(positions[i].has_value());
        entries[i].preferredPosition = positions[i];
    }
    auto r = layoutStatusBar(entries, screen, 24, LayoutDirection::leftToRight);
    EXPECT_EQ(r.order, (std::vector<std::size_t>{0, 1, 4, 2, 3}));

    // Moving past the end clamps to the far end.
    positions = positionsAfterMove(entries, 1, 99);
    for (std::size_t i = 1; i < entries.size(); ++i)
        entries[i].preferredPosition = positions[i];
    r = layoutStatusBar(entries, screen, 24, LayoutDirection::leftToRight);
    EXPECT_EQ(r.order.back(), 1u);
}

TEST(StatusBarLayout, ItemsPushedOffTheMainScreenGoBeyondEveryOtherScreen) {
    // Four 100-point items on a 250-point-wide main screen: the third straddles its left edge,
    // the fourth is wholly off it.
    const Rect main = makeRect(0, 0, 250, 800);
    std::vector<StatusBarLayoutEntry> entries{entry(100, 1.0, 0), entry(100, 2.0, 1),
                                              entry(100, 3.0, 2), entry(100, 4.0, 3),
                                              entry(100, 5.0, 4)};
    entries[4].visible = false;
    auto r = layoutStatusBar(entries, main, 24, LayoutDirection::leftToRight);
    ASSERT_EQ(r.frames[3], makeRect(-150, 776, 100, 24));

    // A monitor 1920 points wide to the left: the item off the main screen moves past it,
    // keeping its distance from the straddling one; the others stay, and so does the hidden
    // entry's empty frame.
    const std::vector<Rect> screens{main, makeRect(-1920, 0, 1920, 1080),
                                    makeRect(250, 0, 800, 600)};
    auto placed = r;
    placePushedOffItemsBeyondScreens(placed, main, screens, LayoutDirection::leftToRight);
    EXPECT_EQ(placed.frames[3], makeRect(-150 - 1920, 776, 100, 24));
    for (std::size_t i : {0u, 1u, 2u, 4u})
        EXPECT_EQ(placed.frames[i], r.frames[i]) << "entry " << i;
    for (const auto& s : screens)
        EXPECT_FALSE(placed.frames[3].intersects(s));

    // Only screens to the right: nothing on the left side to avoid.
    auto unchanged = r;
    placePushedOffItemsBeyondScreens(unchanged, main, {main, makeRect(250, 0, 800, 600)},
                                     LayoutDirection::leftToRight);
    EXPECT_EQ(unchanged.frames, r.frames);
}

TEST(StatusBarLayout, RightToLeftItemsPushedOffGoBeyondAScreenOnTheRight) {
    const Rect main = makeRect(0, 0, 250, 800);
    std::vector<StatusBarLayoutEntry> entries{entry(100, 1.0, 0), entry(100, 2.0, 1),
                                              entry(100, 3.0, 2), entry(100, 4.0, 3)};
    auto r = layoutStatusBar(entries, main, 24, LayoutDirection::rightToLeft);
    ASSERT_EQ(r.frames[3], makeRect(300, 776, 100, 24));
    placePushedOffItemsBeyondScreens(r, main, {main, makeRect(250, -200, 1000, 1200)},
                                     LayoutDirection::rightToLeft);
    EXPECT_EQ(r.frames[3], makeRect(1300, 776, 100, 24));
    EXPECT_EQ(r.frames[2], makeRect(200, 776, 100, 24)) << "the straddling item stays";
}

} // namespace
