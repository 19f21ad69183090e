#include "Platform/Sim/SimHost.h"
#include "Platform/TimerSlot.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

using platform::TimerSlot;
using platform::sim::SimHost;

namespace {

TEST(SimRunLoop, FireTimersOnlyStopsBetweenAFireAndTheTurnItPosted) {
    SimHost sim;
    std::vector<std::string> steps;
    sim.runLoop().scheduleTimer(1, [&] {
        steps.push_back("fired");
        sim.runLoop().post([&] { steps.push_back("posted turn"); });
    });
    sim.runLoop().scheduleTimer(3, [&] { steps.push_back("later timer"); });

    EXPECT_EQ(sim.fireTimersOnly(2), 1u);
    EXPECT_EQ(steps, (std::vector<std::string>{"fired"}));
    EXPECT_EQ(sim.simRunLoop().postedCount(), 1u);
    EXPECT_DOUBLE_EQ(sim.runLoop().monotonicNow(), 2.0);

    sim.runUntilIdle();
    EXPECT_EQ(steps, (std::vector<std::string>{"fired", "posted turn"}));
    sim.advance(1);
    EXPECT_EQ(steps, (std::vector<std::string>{"fired", "posted turn", "later timer"}));
}

TEST(TimerSlot, WorkRunsOnTheTurnAfterTheFireAndTheSlotEmptiesFirst) {
    SimHost sim;
    TimerSlot slot;
    std::vector<bool> pendingDuringWork;
    slot.schedule(1.5, [&] { pendingDuringWork.push_back(slot.isPending()); });
    EXPECT_TRUE(slot.isPending());

    sim.fireTimersOnly(1.5);
    EXPECT_TRUE(pendingDuringWork.empty()) << "the work waits for its own turn";
    EXPECT_TRUE(slot.isPending()) << "fired but not yet done";

    sim.runUntilIdle();
    EXPECT_EQ(pendingDuringWork, (std::vector<bool>{false}));
    EXPECT_FALSE(slot.isPending());
    sim.advance(10);
    EXPECT_EQ(pendingDuringWork.size(), 1u) << "runs once";
}

TEST(TimerSlot, AnInvalidateAfterTheFireStillWins) {
    SimHost sim;
    int ran = 0;
    TimerSlot slot;

    // Before the fire: the timer itself is gone.
    slot.schedule(1, [&] { ++ran; });
    slot.invalidate();
    EXPECT_FALSE(slot.isPending());
    EXPECT_EQ(sim.simRunLoop().pendingTimerCount(), 0u);

    // Between the fire and the posted turn.
    slot.schedule(1, [&] { ++ran; });
    sim.fireTimersOnly(1);
    ASSERT_EQ(sim.simRunLoop().postedCount(), 1u);
    slot.invalidate();
    sim.advance(5);
    EXPECT_EQ(ran, 0);
}

TEST(TimerSlot, ANewerTimerReplacesTheFiredOneAndIsNotOrphanedByIt) {
    SimHost sim;
    std::vector<std::pair<std::string, double>> runs;
    TimerSlot slot;
    auto record = [&](std::string name) {
        return [&runs, &sim, name] { runs.emplace_back(name, sim.runLoop().monotonicNow()); };
    };
    slot.schedule(1, record("first"));
    sim.fireTimersOnly(1);
    slot.schedule(2, record("second")); // re-armed after the fire, before its turn
    sim.runUntilIdle();
    EXPECT_TRUE(runs.empty()) << "the first timer's turn does nothing";
    EXPECT_TRUE(slot.isPending()) << "and leaves the newer timer in place";

    sim.advance(2);
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].first, "second");
    EXPECT_DOUBLE_EQ(runs[0].second, 3.0);
}

TEST(TimerSlot, GoneWithItsOwnerEvenAfterTheFire) {
    SimHost sim;
    int ran = 0;
    auto slot = std::make_unique<TimerSlot>();
    slot->schedule(1, [&] { ++ran; });
    sim.fireTimersOnly(1);
    slot.reset();
    sim.runUntilIdle();
    EXPECT_EQ(ran, 0);

    slot = std::make_unique<TimerSlot>();
    slot->schedule(1, [&] { ++ran; });
    slot.reset();
    sim.advance(2);
    EXPECT_EQ(ran, 0);
    EXPECT_EQ(sim.simRunLoop().pendingTimerCount(), 0u);
}

TEST(TimerSlot, WorkMayArmItsSlotAgain) {
    SimHost sim;
    std::vector<double> at;
    TimerSlot slot;
    std::function<void()> tick = [&] {
        at.push_back(sim.runLoop().monotonicNow());
        if (at.size() < 3)
            slot.schedule(1, tick);
    };
    slot.schedule(1, tick);
    sim.advance(10);
    EXPECT_EQ(at, (std::vector<double>{1, 2, 3}));
    EXPECT_FALSE(slot.isPending());
}

} // namespace
