#include "Platform/Sim/SimRunLoop.h"

namespace platform::sim {

struct SimRunLoop::SimTimer final : Timer {
    double seconds = 0;
    std::function<void()> block;
    bool valid = true;

    void invalidate() override {
        valid = false;
        block = nullptr; // releases whatever the block captured
    }
    bool isValid() const override { return valid; }
    double interval() const override { return seconds; }
};

void SimRunLoop::post(std::function<void()> work) {
    {
        std::lock_guard guard(postedMutex_);
        posted_.push_back(std::move(work));
    }
    postedSignal_.notify_all();
}

bool SimRunLoop::waitForPostedWork(std::chrono::milliseconds timeout) {
    std::unique_lock lock(postedMutex_);
    return postedSignal_.wait_for(lock, timeout, [this] { return !posted_.empty(); });
}

std::shared_ptr<Timer> SimRunLoop::scheduleTimer(double seconds, std::function<void()> block) {
    auto t = std::make_shared<SimTimer>();
    t->seconds = seconds;
    t->block = std::move(block);
    double fire = now_ + (seconds > 0 ? seconds : 0);
    timers_.emplace(std::make_pair(fire, sequence_++), t);
    return t;
}

bool SimRunLoop::runOnePosted() {
    std::function<void()> work;
    {
        std::lock_guard guard(postedMutex_);
        if (posted_.empty())
            return false;
        work = std::move(posted_.front());
        posted_.pop_front();
    }
    if (work)
        work();
    return true;
}

bool SimRunLoop::fireNextTimerDueBy(double limit) {
    while (!timers_.empty()) {
        auto it = timers_.begin();
        if (it->first.first > limit)
            return false;
        auto timer = it->second;
        double fire = it->first.first;
        timers_.erase(it);
        if (!timer->valid)
            continue;
        if (fire > now_)
            now_ = fire;
        timer->valid = false;
        auto block = std::move(timer->block);
        timer->block = nullptr;
        if (block)
            block();
        return true;
    }
    return false;
}

void SimRunLoop::runUntilIdle() {
    for (;;) {
        if (runOnePosted())
            continue;
        if (fireNextTimerDueBy(now_))
            continue;
        break;
    }
}

void SimRunLoop::advance(double seconds) {
    const double target = now_ + (seconds > 0 ? seconds : 0);
    for (;;) {
        if (runOnePosted())
            continue;
        if (fireNextTimerDueBy(target))
            continue;
        break;
    }
    now_ = target;
    runUntilIdle();
}

std::size_t SimRunLoop::fireTimersOnly(double seconds) {
    const double target = now_ + (seconds > 0 ? seconds : 0);
    std::size_t fired = 0;
    while (fireNextTimerDueBy(target))
        ++fired;
    now_ = target;
    return fired;
}

std::size_t SimRunLoop::pendingTimerCount() const {
    std::size_t n = 0;
    for (auto& [key, t] : timers_)
        n += t->valid ? 1 : 0;
    return n;
}

SimRunLoop::~SimRunLoop() {
    reset();
}

void SimRunLoop::reset() {
    // Dropping work may post or schedule more (a coroutine's unwinding goes through its
    // executor), so each round takes everything out first and destroys it outside the lock.
    for (;;) {
        std::deque<std::function<void()>> posted;
        {
            std::lock_guard guard(postedMutex_);
            posted.swap(posted_);
        }
        auto timers = std::move(timers_);
        timers_.clear();
        if (posted.empty() && timers.empty())
            return;
        for (auto& [key, t] : timers)
            t->invalidate();
        timers.clear();
        posted.clear();
    }
}

} // namespace platform::sim
