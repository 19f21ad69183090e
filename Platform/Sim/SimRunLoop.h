// The simulated main run loop on virtual time: posted work and timers run only when a test
// advances the clock or runs the loop until idle. Single-threaded, never sleeps; only post() may
// be called from other threads (for tests that speak to real servers).
#pragma once

#include "Platform/RunLoop.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <utility>

namespace platform::sim {

class SimRunLoop final : public RunLoop {
public:
    SimRunLoop() = default;
    SimRunLoop(const SimRunLoop&) = delete;
    SimRunLoop& operator=(const SimRunLoop&) = delete;
    // Drops what is still pending, as reset() does.
    ~SimRunLoop() override;

    void post(std::function<void()> work) override;
    std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> block) override;
    double monotonicNow() const override { return now_; }

    // Runs everything due now (posted work, timers at the current time) until nothing is left.
    void runUntilIdle();
    // Moves virtual time forward by `seconds`, running work and timers in time order.
    void advance(double seconds);
    // Moves virtual time forward by `seconds` and fires, in time order, the timers that come
    // due, but runs none of the posted work: what the timers hand to a later turn stays queued
    // for the next runUntilIdle() or advance(). Lets a test act between a timer's fire and the
    // turn its work was posted to. Returns the number of timers fired.
    std::size_t fireTimersOnly(double seconds);
    // Number of timers still valid and pending.
    std::size_t pendingTimerCount() const;
    // Number of posted turns waiting to run.
    std::size_t postedCount() const { return posted_.size(); }
    // Drops all posted work and timers (the simulated process ended), and what dropping them
    // posts or schedules in turn, until nothing is left: a dropped handler of a suspended
    // coroutine posts the coroutine's unwinding, which is dropped as well, so the frames are
    // freed and nothing runs.
    void reset();
    // Blocks until work is posted (from any thread) or `timeout` passes; true when work waits.
    // Only for tests whose answers come from real servers on other threads.
    bool waitForPostedWork(std::chrono::milliseconds timeout);

private:
    struct SimTimer;
    bool runOnePosted();
    bool fireNextTimerDueBy(double limit);

    double now_ = 0;
    std::uint64_t sequence_ = 0;
    std::mutex postedMutex_;
    std::condition_variable postedSignal_;
    std::deque<std::function<void()>> posted_;
    std::multimap<std::pair<double, std::uint64_t>, std::shared_ptr<SimTimer>> timers_;
};

} // namespace platform::sim
