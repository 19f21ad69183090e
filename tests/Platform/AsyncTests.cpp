#include "Platform/Async.h"
#include "Platform/HttpSession.h"
#include "Platform/MainExecutor.h"
#include "Platform/Sim/SimHost.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>

#include <gtest/gtest.h>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace asio = boost::asio;

namespace {

struct Outcome {
    bool finished = false;
    std::exception_ptr error;
    double finishedAt = -1;
};

// Runs `body` as a detached task on the library executor, recording how and when it ended.
template <class Body>
void spawn(platform::sim::SimHost& host, Outcome& out, Body body,
           asio::cancellation_slot slot = {}) {
    auto done = [&out, &host](std::exception_ptr e) {
        out.finished = true;
        out.error = e;
        out.finishedAt = host.simRunLoop().monotonicNow();
    };
    if (slot.is_connected())
        asio::co_spawn(platform::libraryExecutor(), std::move(body),
                       asio::bind_cancellation_slot(slot, done));
    else
        asio::co_spawn(platform::libraryExecutor(), std::move(body), done);
}

bool isAborted(std::exception_ptr e) {
    if (!e)
        return false;
    try {
        std::rethrow_exception(e);
    } catch (const boost::system::system_error& err) {
        return err.code() == asio::error::operation_aborted;
    } catch (...) {
        return false;
    }
}

} // namespace

TEST(Async, SleepForEndsAfterExactlyTheVirtualTime) {
    platform::sim::SimHost host;
    Outcome out;
    spawn(host, out, []() -> asio::awaitable<void> { co_await platform::sleepFor(2.5); });

    host.advance(2.4);
    EXPECT_FALSE(out.finished);
    host.advance(0.1);
    ASSERT_TRUE(out.finished);
    EXPECT_FALSE(out.error);
    EXPECT_DOUBLE_EQ(out.finishedAt, 2.5);
    EXPECT_EQ(host.simRunLoop().pendingTimerCount(), 0u);
}

TEST(Async, SleepForZeroOrNegativeReturnsWithoutATimer) {
    platform::sim::SimHost host;
    Outcome out;
    spawn(host, out, [&]() -> asio::awaitable<void> {
        co_await platform::sleepFor(0);
        co_await platform::sleepFor(-3);
        EXPECT_EQ(host.simRunLoop().pendingTimerCount(), 0u);
    });
    host.runUntilIdle();
    ASSERT_TRUE(out.finished);
    EXPECT_FALSE(out.error);
    EXPECT_DOUBLE_EQ(out.finishedAt, 0);
}

TEST(Async, CancellingASleepEndsItAtOnceWithOperationAborted) {
    platform::sim::SimHost host;
    asio::cancellation_signal signal;
    Outcome out;
    spawn(
        host, out, []() -> asio::awaitable<void> { co_await platform::sleepFor(60); },
        signal.slot());

    host.advance(10);
    ASSERT_FALSE(out.finished);
    signal.emit(asio::cancellation_type::terminal);
    host.runUntilIdle();
    ASSERT_TRUE(out.finished);
    EXPECT_TRUE(isAborted(out.error));
    EXPECT_DOUBLE_EQ(out.finishedAt, 10);
    // The timer is gone: nothing fires later.
    EXPECT_EQ(host.simRunLoop().pendingTimerCount(), 0u);
    host.advance(100);
}

TEST(Async, ConcurrentSleepsWakeInTimeOrder) {
    // Each of several concurrent sleeps wakes at its own time.
    platform::sim::SimHost host;
    std::vector<double> wakes;
    Outcome a, b;
    spawn(host, a, [&]() -> asio::awaitable<void> {
        co_await platform::sleepFor(3);
        wakes.push_back(host.simRunLoop().monotonicNow());
    });
    spawn(host, b, [&]() -> asio::awaitable<void> {
        co_await platform::sleepFor(1);
        wakes.push_back(host.simRunLoop().monotonicNow());
        co_await platform::sleepFor(1);
        wakes.push_back(host.simRunLoop().monotonicNow());
    });
    host.advance(5);
    EXPECT_EQ(wakes, (std::vector<double>{1, 2, 3}));
    EXPECT_TRUE(a.finished && b.finished);
}

TEST(Async, LibraryExecutorRunsOnTheSimRunLoop) {
    platform::sim::SimHost host;
    int ran = 0;
    asio::post(platform::libraryExecutor(), [&] { ++ran; });
    EXPECT_EQ(ran, 0) << "posted work runs on a later turn, not inline";
    host.runUntilIdle();
    EXPECT_EQ(ran, 1);
}

TEST(Async, LibraryCodeHopsToTheMainActorAndBack) {
    platform::sim::SimHost host;
    Outcome out;
    int result = 0;
    spawn(host, out, [&]() -> asio::awaitable<void> {
        result = co_await asio::co_spawn(
            platform::mainExecutor(), []() -> asio::awaitable<int> { co_return 7; },
            asio::use_awaitable);
        co_await platform::sleepFor(1);
    });
    host.advance(1);
    ASSERT_TRUE(out.finished);
    EXPECT_FALSE(out.error);
    EXPECT_EQ(result, 7);
}

TEST(Async, ACancellationAfterTheTimerFiredButBeforeTheCompletionStillWins) {
    // The slot is bound to the sleep itself, so the emit reaches it at once (through co_spawn
    // it would be queued behind the completion).
    platform::sim::SimHost host;
    asio::cancellation_signal signal;
    std::optional<boost::system::error_code> result;
    platform::asyncSleep(platform::libraryRuntime(), 2,
                         asio::bind_cancellation_slot(
                             signal.slot(), [&](boost::system::error_code ec) { result = ec; }));

    host.fireTimersOnly(2); // the timer fires; the completion waits for its turn
    ASSERT_FALSE(result);
    signal.emit(asio::cancellation_type::terminal);
    host.runUntilIdle();
    ASSERT_TRUE(result);
    EXPECT_EQ(*result, asio::error::operation_aborted);

    // Uncancelled, the same sleep completes cleanly, exactly once.
    int completions = 0;
    result.reset();
    platform::asyncSleep(
        platform::libraryRuntime(), 2,
        asio::bind_cancellation_slot(signal.slot(), [&](boost::system::error_code ec) {
            result = ec;
            ++completions;
        }));
    host.fireTimersOnly(2);
    host.runUntilIdle();
    signal.emit(asio::cancellation_type::terminal); // too late: nothing more happens
    host.runUntilIdle();
    ASSERT_TRUE(result);
    EXPECT_FALSE(*result);
    EXPECT_EQ(completions, 1);
}

// Tasks still waiting when the simulated process ends go with it: their frames, and what the
// frames hold, are freed instead of staying suspended for ever. One waits on a sleep, one has
// not taken its first step yet (that step is posted work), one waits on the main actor.
TEST(Async, TasksLeftWaitingAreFreedWhenTheHostGoesOrRelaunches) {
    struct Held {
        std::weak_ptr<int> sleeping, notStarted, onMain;
        bool allGone() const {
            return sleeping.expired() && notStarted.expired() && onMain.expired();
        }
        bool anyGone() const {
            return sleeping.expired() || notStarted.expired() || onMain.expired();
        }
    };
    auto leaveTasksWaiting = [](platform::sim::SimHost& host, Outcome(&outcomes)[3]) {
        Held held;
        auto a = std::make_shared<int>(1);
        held.sleeping = a;
        spawn(host, outcomes[0],
              [a]() -> asio::awaitable<void> { co_await platform::sleepFor(60); });
        host.advance(1);
        auto b = std::make_shared<int>(2);
        held.notStarted = b;
        spawn(host, outcomes[1], [b]() -> asio::awaitable<void> { co_return; });
        auto c = std::make_shared<int>(3);
        held.onMain = c;
        spawn(host, outcomes[2], [c]() -> asio::awaitable<void> {
            auto step = asio::co_spawn(
                platform::mainExecutor(), []() -> asio::awaitable<void> { co_return; },
                asio::use_awaitable);
            co_await std::move(step);
        });
        return held;
    };

    Outcome ended[3];
    Held gone;
    {
        platform::sim::SimHost host;
        gone = leaveTasksWaiting(host, ended);
        EXPECT_FALSE(gone.anyGone()) << "the tasks are still waiting";
    }
    EXPECT_TRUE(gone.sleeping.expired());
    EXPECT_TRUE(gone.notStarted.expired());
    EXPECT_TRUE(gone.onMain.expired());

    platform::sim::SimHost host;
    Outcome relaunched[3];
    gone = leaveTasksWaiting(host, relaunched);
    host.relaunch();
    EXPECT_TRUE(gone.allGone());
    host.advance(120);
    for (const auto& o : relaunched)
        EXPECT_FALSE(o.finished) << "nothing of the ended process runs afterwards";
    for (const auto& o : ended)
        EXPECT_FALSE(o.finished);
}

namespace {

// A library runtime whose pending timers can be dropped unfired, as a runtime that shuts down
// drops them; its executor is the simulated run loop's.
class DroppingRuntime final : public platform::LibraryRuntime {
public:
    struct DroppedTimer final : platform::Timer {
        std::function<void()> block;
        void invalidate() override { block = nullptr; }
        bool isValid() const override { return static_cast<bool>(block); }
        double interval() const override { return 0; }
    };
    asio::any_io_executor executor() override { return platform::libraryExecutor(); }
    std::shared_ptr<platform::Timer> scheduleTimer(double, std::function<void()> block) override {
        auto timer = std::make_shared<DroppedTimer>();
        timer->block = std::move(block);
        timers.push_back(timer);
        return timer;
    }
    std::vector<std::shared_ptr<DroppedTimer>> timers;
};

} // namespace

TEST(Async, ARuntimeThatDropsAPendingTimerFreesTheTaskSleepingOnIt) {
    platform::sim::SimHost host;
    DroppingRuntime runtime;
    Outcome out;
    auto held = std::make_shared<int>(1);
    std::weak_ptr<int> watch = held;
    spawn(host, out, [held = std::move(held), &runtime]() -> asio::awaitable<void> {
        auto op = platform::asyncSleep(runtime, 60, asio::use_awaitable);
        co_await std::move(op);
    });
    host.runUntilIdle();
    ASSERT_EQ(runtime.timers.size(), 1u);
    ASSERT_FALSE(watch.expired());
    runtime.timers.clear();
    host.runUntilIdle();
    EXPECT_TRUE(watch.expired()) << "the sleep and its timer hold each other";
    EXPECT_FALSE(out.finished);
}

TEST(Async, AnHttpAnswerWhoseCompletionNeverRunsFreesItsTask) {
    // As a session's transfer does, the operation's start keeps the pending record. The answer
    // arrives and its completion is posted, but the executor goes before running it.
    auto host = std::make_unique<platform::sim::SimHost>();
    Outcome out;
    auto held = std::make_shared<int>(1);
    std::weak_ptr<int> watch = held;
    std::weak_ptr<platform::detail::PendingHttp> answer;
    spawn(*host, out, [held = std::move(held), &answer]() -> asio::awaitable<void> {
        auto transfer = std::make_shared<std::shared_ptr<platform::detail::PendingHttp>>();
        auto op = platform::detail::asyncHttp(
            [transfer, &answer](std::shared_ptr<platform::detail::PendingHttp> pending) {
                answer = pending;
                *transfer = std::move(pending);
            },
            asio::use_awaitable);
        co_await std::move(op);
    });
    host->runUntilIdle();
    auto pending = answer.lock();
    ASSERT_TRUE(pending);
    ASSERT_TRUE(pending->complete(nullptr, {}));
    pending.reset();
    host.reset();
    EXPECT_FALSE(out.finished);
    EXPECT_TRUE(watch.expired()) << "the pending record still holds the awaiting task";
}
