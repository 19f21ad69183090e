// An owner's pending main-run-loop timer whose block hands the work to a later main-thread turn.
// The work runs only if, at that turn, the slot still holds this timer: replacing or
// invalidating it, even after the fire, always wins. Shared code; main thread only.
#pragma once

#include <functional>
#include <memory>

namespace platform {

class Timer;

class TimerSlot {
public:
    TimerSlot() = default;
    // Invalidates the pending timer: its work never runs once the owner is gone.
    ~TimerSlot();
    TimerSlot(const TimerSlot&) = delete;
    TimerSlot& operator=(const TimerSlot&) = delete;

    // Invalidates the pending timer, if any, and arms a new one of `seconds` on the host's run
    // loop. When it fires, `work` is posted; the slot lets go of the timer just before the work
    // runs, so the work may arm the slot again.
    void schedule(double seconds, std::function<void()> work);
    // Invalidates the pending timer and clears the slot. Work already posted by it never runs.
    void invalidate();
    // A timer is armed, or has fired and its work has not run yet.
    bool isPending() const { return pending_ != nullptr; }

private:
    struct Pending;
    void finish(const std::shared_ptr<Pending>& pending);

    std::shared_ptr<Pending> pending_;
};

} // namespace platform
