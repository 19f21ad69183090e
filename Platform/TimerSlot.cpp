#include "Platform/TimerSlot.h"

#include "Platform/Host.h"
#include "Platform/RunLoop.h"

namespace platform {

// Only the slot holds a Pending; the timer block and the posted turn hold it weakly, so a
// Pending the slot has let go of is gone, and its work with it.
struct TimerSlot::Pending {
    TimerSlot* slot = nullptr;
    std::shared_ptr<Timer> timer;
    std::function<void()> work;
};

TimerSlot::~TimerSlot() {
    invalidate();
}

void TimerSlot::schedule(double seconds, std::function<void()> work) {
    invalidate();
    auto pending = std::make_shared<Pending>();
    pending->slot = this;
    pending->work = std::move(work);
    std::weak_ptr<Pending> weak = pending;
    pending->timer = host().runLoop().scheduleTimer(seconds, [weak] {
        if (weak.expired())
            return;
        host().runLoop().post([weak] {
            // Still the slot's timer, never invalidated: only then does the work run.
            if (auto pending = weak.lock())
                pending->slot->finish(pending);
        });
    });
    pending_ = std::move(pending);
}

void TimerSlot::finish(const std::shared_ptr<Pending>& pending) {
    // The slot is cleared first: the work may arm it again.
    auto work = std::move(pending->work);
    pending_.reset();
    if (work)
        work();
}

void TimerSlot::invalidate() {
    if (!pending_)
        return;
    pending_->timer->invalidate();
    pending_.reset();
}

} // namespace platform
