// The main run loop over the Qt event loop: posted work goes to a private object as queued
// invocations, timers are single-shot QTimers, the clock is the steady clock. post() may be
// called from any thread; the rest belongs to the main (GUI) thread.
#pragma once

#include "Platform/RunLoop.h"

#include <chrono>
#include <memory>
#include <mutex>

class QObject;

namespace desktop {

class DesktopRunLoop final : public platform::RunLoop {
public:
    DesktopRunLoop();
    ~DesktopRunLoop() override;
    DesktopRunLoop(const DesktopRunLoop&) = delete;
    DesktopRunLoop& operator=(const DesktopRunLoop&) = delete;

    void post(std::function<void()> work) override;
    std::shared_ptr<platform::Timer> scheduleTimer(double seconds,
                                                   std::function<void()> block) override;
    double monotonicNow() const override;

    // Qt counts a timer's interval in int milliseconds (under 25 days): a longer delay is waited
    // in steps of at most this many seconds. Tests shorten it to watch the steps.
    void setLongestTimerStep(double seconds) { longestTimerStep_ = seconds; }

    // Refuses further posts and drops the work already queued. Called on the main thread at
    // shutdown, after the threads that post have stopped.
    void shutDown();

private:
    std::mutex mutex_;
    bool stopped_ = false;
    // The object that receives queued work and parents the timers; deleting it drops both.
    std::unique_ptr<QObject> receiver_;
    std::chrono::steady_clock::time_point start_;
    double longestTimerStep_;
};

} // namespace desktop
