#include "Platform/MainExecutor.h"
#include "Platform/NotificationCenter.h"
#include "Platform/Sim/SimHost.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <gtest/gtest.h>

using namespace platform;

namespace {

TEST(SimRunLoop, TimersFireInTimeOrderOnlyWhenTimeAdvances) {
    sim::SimHost sim;
    std::vector<int> fired;
    sim.runLoop().scheduleTimer(2, [&] { fired.push_back(2); });
    sim.runLoop().scheduleTimer(1, [&] { fired.push_back(1); });
    auto cancelled = sim.runLoop().scheduleTimer(1.5, [&] { fired.push_back(15); });
    sim.runLoop().scheduleTimer(1, [&] { fired.push_back(11); }); // same time: scheduling order
    sim.runUntilIdle();
    EXPECT_TRUE(fired.empty());
    cancelled->invalidate();
    sim.advance(1.0);
    EXPECT_EQ(fired, (std::vector<int>{1, 11}));
    sim.advance(5);
    EXPECT_EQ(fired, (std::vector<int>{1, 11, 2}));
    EXPECT_DOUBLE_EQ(sim.runLoop().monotonicNow(), 6.0);
    EXPECT_FALSE(cancelled->isValid());
}

TEST(SimRunLoop, WorkScheduledByATimerRunsAtItsOwnTime) {
    sim::SimHost sim;
    std::vector<double> at;
    sim.runLoop().scheduleTimer(1, [&] {
        at.push_back(sim.runLoop().monotonicNow());
        sim.runLoop().scheduleTimer(0.5, [&] { at.push_back(sim.runLoop().monotonicNow()); });
        sim.runLoop().post([&] { at.push_back(sim.runLoop().monotonicNow()); });
    });
    sim.advance(3);
    EXPECT_EQ(at, (std::vector<double>{1.0, 1.0, 1.5}));
}

TEST(SimRunLoop, WallClockFollowsVirtualTime) {
    sim::SimHost sim;
    auto start = platform::now();
    sim.advance(90);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::seconds>(platform::now() - start).count(),
              90);
}

TEST(MainExecutor, ASpawnedTaskRunsOnALaterTurnOfTheMainLoop) {
    sim::SimHost sim;
    std::vector<std::string> steps;
    boost::asio::co_spawn(
        mainExecutor(),
        [&]() -> boost::asio::awaitable<void> {
            steps.push_back("started");
            // Hop through the loop once more and come back.
            co_await boost::asio::post(mainExecutor(), boost::asio::use_awaitable);
            steps.push_back("resumed");
        },
        boost::asio::detached);
    EXPECT_TRUE(steps.empty()) << "never runs inline";
    sim.runUntilIdle();
    EXPECT_EQ(steps, (std::vector<std::string>{"started", "resumed"}));
}

TEST(MainExecutor, ExceptionsReachTheCompletionHandler) {
    sim::SimHost sim;
    std::string caught;
    boost::asio::co_spawn(
        mainExecutor(), []() -> boost::asio::awaitable<int> { throw std::runtime_error("boom"); },
        [&](std::exception_ptr e, int) {
            try {
                if (e)
                    std::rethrow_exception(e);
            } catch (const std::exception& ex) {
                caught = ex.what();
            }
        });
    sim.runUntilIdle();
    EXPECT_EQ(caught, "boom");
}

TEST(NotificationCenter, ObserversRemovedDuringAPostAreNotCalled) {
    NotificationCenter center;
    int first = 0, second = 0;
    NotificationCenter::Token secondToken = 0;
    center.addObserver("n", [&] {
        ++first;
        center.removeObserver(secondToken);
    });
    secondToken = center.addObserver("n", [&] { ++second; });
    center.addObserver("other", [&] { ADD_FAILURE() << "wrong name"; });
    center.post("n");
    center.post("n");
    EXPECT_EQ(first, 2);
    EXPECT_EQ(second, 0);
}

TEST(UserDefaults, TypedReadersConvertLikeThePlatform) {
    sim::SimHost sim;
    auto& d = sim.userDefaults();
    d.set("b", true);
    d.set("i", 7);
    d.set("f", 2.9);
    d.set("s", "YES");
    d.set("n", "12");
    d.set("junk", Bytes{1, 2});
    EXPECT_TRUE(d.boolForKey("b"));
    EXPECT_TRUE(d.boolForKey("i"));
    EXPECT_TRUE(d.boolForKey("s"));
    EXPECT_FALSE(d.boolForKey("junk"));
    EXPECT_FALSE(d.boolForKey("absent"));
    EXPECT_EQ(d.integerForKey("f"), 2);
    EXPECT_EQ(d.integerForKey("n"), 12);
    EXPECT_EQ(d.integerForKey("b"), 1);
    EXPECT_EQ(d.integerForKey("junk"), 0);
    EXPECT_DOUBLE_EQ(d.doubleForKey("i"), 7.0);
    d.set("huge", 1e300);
    EXPECT_EQ(d.integerForKey("huge"), 0) << "out of range reads as 0, not undefined";
    EXPECT_EQ(d.stringForKey("s"), "YES");
    EXPECT_FALSE(d.stringForKey("i"));
}

} // namespace
