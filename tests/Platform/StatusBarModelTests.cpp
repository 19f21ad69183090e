#include "Platform/StatusBarModel.h"

#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimWindow.h"
#include "Platform/StatusBar.h"
#include "Platform/UserDefaults.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {

// A model of its own on a simulated host (1440 x 900 main screen, left to right), beside the
// host's status bar: its windows are numbered from 500.
struct ModelFixture {
    sim::SimHost sim;
    std::uint32_t nextWindow = 500;
    StatusBarModel model{sim, 24,
                         [this] { return std::make_shared<sim::SimWindow>(nextWindow++, false); }};

    std::shared_ptr<StatusItem> own(const std::string& autosaveName, double length = 24) {
        auto item = std::make_shared<StatusItem>(length);
        item->setAutosaveName(autosaveName);
        model.addOwnItem(item);
        return item;
    }
    std::shared_ptr<StatusItem> foreign(const std::string& autosaveName, double width,
                                        std::optional<double> position = std::nullopt) {
        ForeignItemPlacement p;
        p.autosaveName = autosaveName;
        p.width = width;
        p.preferredPosition = position;
        return model.addForeignItem(p);
    }
    std::shared_ptr<StatusItem> clock() {
        ForeignItemPlacement p;
        p.autosaveName = "com.apple.clock";
        p.width = 110;
        p.isSystem = true;
        return model.addForeignItem(p);
    }
    std::optional<double> ownPosition(const std::string& autosaveName) {
        auto v = sim.userDefaults().object(preferredPositionKey(autosaveName));
        return v ? v->asNumber() : std::nullopt;
    }
};

TEST(StatusBarModel, DragRewritesEachMovableItemsPositionAsItsDistanceFromTheEdge) {
    ModelFixture f;
    auto clock = f.clock();
    auto a = f.own("a");
    auto b = f.own("b", 30);
    auto other = f.foreign("other", 40);
    auto c = f.own("c");
    std::vector<std::pair<std::string, double>> moved;
    f.model.onForeignItemMoved = [&](const std::shared_ptr<StatusItem>& item, double position) {
        moved.emplace_back(item->autosaveName(), position);
    };

    // Without positions they stand in the order they came: a, b, other, c.
    ASSERT_TRUE(f.model.drag(c, 1));

    // a, c, b, other: each position is the width of the items nearer the edge.
    EXPECT_EQ(f.ownPosition("a"), 0.0);
    EXPECT_EQ(f.ownPosition("c"), 24.0);
    EXPECT_EQ(f.ownPosition("b"), 48.0);
    EXPECT_EQ(f.model.foreignPosition("other"), 78.0);
    EXPECT_FALSE(f.ownPosition("other")) << "another application's position is not ours to keep";
    EXPECT_FALSE(f.model.foreignPosition("com.apple.clock")) << "system items keep none";
    EXPECT_EQ(moved, (std::vector<std::pair<std::string, double>>{{"other", 78.0}}));
    EXPECT_EQ(f.model.itemsFromEdge(),
              (std::vector<std::shared_ptr<StatusItem>>{clock, a, c, b, other}));
    EXPECT_EQ(f.model.slotOf(c), 1u);
    EXPECT_EQ(f.model.slotOf(clock), std::nullopt);
}

TEST(StatusBarModel, DragOfASystemItemOrOfAnItemNotInTheBarChangesNothing) {
    ModelFixture f;
    auto clock = f.clock();
    auto a = f.own("a");
    auto stranger = std::make_shared<StatusItem>(24);
    stranger->setAutosaveName("stranger");

    EXPECT_FALSE(f.model.drag(clock, 1));
    EXPECT_FALSE(f.model.drag(stranger, 0));
    EXPECT_FALSE(f.ownPosition("a"));
    EXPECT_FALSE(f.ownPosition("stranger"));
    EXPECT_EQ(f.model.itemsFromEdge(), (std::vector<std::shared_ptr<StatusItem>>{clock, a}));
}

TEST(StatusBarModel, PruningForgetsExactlyTheItemsTheirOwnersDropped) {
    ModelFixture f;
    auto a = f.own("a");
    auto b = f.own("b");
    auto other = f.foreign("other", 40);
    auto c = f.own("c");
    f.model.layout();
    const auto windowOfC = f.model.windowOf(c);

    b.reset();
    // Gone already for every lookup, before the bar prunes.
    EXPECT_EQ(f.model.slotOf(c), 2u);
    EXPECT_EQ(f.model.itemsFromEdge(), (std::vector<std::shared_ptr<StatusItem>>{a, other, c}));
    EXPECT_EQ(f.model.entries().size(), 4u);

    f.model.prune();
    ASSERT_EQ(f.model.entries().size(), 3u);
    EXPECT_EQ(f.model.ownItems(), (std::vector<std::shared_ptr<StatusItem>>{a, c}));
    EXPECT_EQ(f.model.entries()[1].foreign, other) << "others' items are held, never pruned";
    EXPECT_EQ(f.model.windowOf(c), windowOfC) << "the items that stay keep their windows";
}

TEST(StatusBarModel, ARemovedItemHasNoSlotNoWindowAndNoHooksIntoTheBar) {
    ModelFixture f;
    auto a = f.own("a");
    auto b = f.own("b");
    int layouts = 0;
    f.model.onLayoutNeeded = [&] { ++layouts; };
    std::shared_ptr<StatusItem> clicked;
    f.model.onPerformClick = [&](const std::shared_ptr<StatusItem>& item) { clicked = item; };

    a->setLength(30);
    EXPECT_EQ(layouts, 1);
    a->button()->performClick();
    EXPECT_EQ(clicked, a);

    f.model.removeItem(a);
    EXPECT_EQ(f.model.slotOf(a), std::nullopt);
    EXPECT_EQ(f.model.windowOf(a), nullptr);
    EXPECT_EQ(f.model.slotOf(b), 0u);
    a->setLength(40);
    a->button()->setToolTip("gone");
    EXPECT_EQ(layouts, 1) << "a removed item no longer asks the bar to lay out";
    clicked = nullptr;
    a->button()->performClick();
    EXPECT_EQ(clicked, nullptr);
}

TEST(StatusBarModel, AForeignItemComingBackKeepsThePositionItWasDraggedTo) {
    ModelFixture f;
    auto a = f.own("a");
    auto other = f.foreign("other", 40, 100.0);
    ASSERT_TRUE(f.model.drag(other, 0));
    EXPECT_EQ(f.model.foreignPosition("other"), 0.0);

    f.model.removeItem(other);
    auto back = f.foreign("other", 40, 100.0);
    EXPECT_EQ(f.model.foreignPosition("other"), 0.0) << "the drag outranks its first placement";
    EXPECT_EQ(f.model.slotOf(back), 0u);
}

TEST(StatusBarModel, HitTestingAndDropsFollowTheLaidOutWindows) {
    ModelFixture f;
    auto clock = f.clock();
    auto a = f.own("a");
    auto b = f.own("b");
    auto c = f.own("c");
    f.model.layout();
    // Right to left from the edge of the 1440-point screen: clock, a, b, c.
    const auto frameOfB = f.model.windowOf(b)->frame();
    EXPECT_EQ(frameOfB, makeRect(1440 - 110 - 48, 876, 24, 24));
    EXPECT_EQ(f.model.entryAt({frameOfB.midX(), frameOfB.midY()}), f.model.entryOf(b));
    EXPECT_EQ(f.model.entryAt({10, 880}), std::nullopt);

    // Dropping c just left of a's middle puts it behind a, before b.
    const auto movedEntry = *f.model.entryOf(c);
    const double leftOfA = f.model.windowOf(a)->frame().midX() - 1;
    EXPECT_EQ(f.model.slotForDrop(movedEntry, leftOfA), 1u);
    EXPECT_EQ(f.model.slotForDrop(movedEntry, 0), 2u);
    // Right of a, under the clock's left half: the clock is not a slot.
    EXPECT_EQ(f.model.slotForDrop(movedEntry, 1340), 0u);

    // A hidden item is not hit and takes no slot.
    a->setVisible(false);
    f.model.layout();
    EXPECT_FALSE(f.model.windowOf(a)->isVisible());
    EXPECT_EQ(f.model.slotForDrop(movedEntry, 0), 1u);
}

TEST(StatusBarModel, ItemsThatOutliveTheModelKeepNoHooksIntoIt) {
    sim::SimHost sim;
    auto item = std::make_shared<StatusItem>(24);
    {
        std::uint32_t next = 500;
        StatusBarModel model(sim, 24,
                             [&] { return std::make_shared<sim::SimWindow>(next++, false); });
        model.addOwnItem(item);
        ASSERT_TRUE(item->onLayoutChange);
    }
    EXPECT_FALSE(item->onLayoutChange);
    EXPECT_FALSE(item->button()->onChange);
    EXPECT_FALSE(item->button()->onPerformClick);
}

} // namespace
