// The main run loop: posted work and non-repeating timers, all run on the main thread.
// Implemented by Sim (virtual time) and Desktop (Qt event loop). post() is callable from any
// thread; everything else belongs to the main thread.
#pragma once

#include <functional>
#include <memory>

namespace boost::asio {
class execution_context;
}

namespace platform {

// A scheduled, non-repeating timer. Invalidating it guarantees its block never runs.
class Timer {
public:
    virtual ~Timer() = default;
    virtual void invalidate() = 0;
    virtual bool isValid() const = 0;
    // Seconds from arming to firing.
    virtual double interval() const = 0;
};

class RunLoop {
public:
    virtual ~RunLoop();

    // Runs `work` on the main thread on a later turn of the loop.
    virtual void post(std::function<void()> work) = 0;
    // Runs `block` once, `seconds` from now on the loop's monotonic clock.
    virtual std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> block) = 0;
    // Seconds on the loop's monotonic clock.
    virtual double monotonicNow() const = 0;

    // The asio execution context that executors over this loop report.
    boost::asio::execution_context& executionContext();

protected:
    RunLoop();

private:
    std::unique_ptr<boost::asio::execution_context> context_;
};

} // namespace platform
