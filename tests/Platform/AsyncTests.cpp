#include "Platform/Async.h"
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
