// The telemetry client's flush loop: started once, it ticks on its executor, closes the window,
// queues what it held and sends the queue in a task of its own; it ends with its client.
#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"

#include "CorvaneAccount/Telemetry/TelemetryUpload.h"
#include "Platform/Async.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>

namespace asio = boost::asio;

namespace corvane {

ErrorFirehoseClient::~ErrorFirehoseClient() {
    // No lock: nothing else can reach a client that is being destroyed.
    if (!flushStop_)
        return;
    // A cancellation signal is emitted on its operation's executor, never from here.
    asio::post(flushExecutor_,
               [stop = flushStop_] { stop->emit(asio::cancellation_type::terminal); });
}

void ErrorFirehoseClient::start() {
    auto executor = env_.executor ? env_.executor : platform::libraryExecutor();
    auto stop = std::make_shared<asio::cancellation_signal>();
    {
        std::lock_guard guard(lock_);
        if (isStarted_)
            return;
        isStarted_ = true;
        flushExecutor_ = executor;
        flushStop_ = stop;
    }
    // What a previous launch could not deliver goes first.
    restoreStored();
    // The completion handler keeps the signal alive as long as the task may look at it: the
    // task's cancellation state lives in the signal's memory.
    asio::co_spawn(executor, flushLoop(weak_from_this()),
                   asio::bind_cancellation_slot(stop->slot(), [stop](std::exception_ptr) {}));
}

asio::awaitable<void> ErrorFirehoseClient::flushLoop(std::weak_ptr<ErrorFirehoseClient> weak) {
    if (weak.expired())
        co_return;
    for (;;) {
        // 1. Sleep one interval; an interrupted sleep counts as finished.
        double interval = 60;
        std::function<asio::awaitable<void>(double)> sleep;
        if (auto self = weak.lock()) {
            interval = self->tuning_.flushIntervalSeconds;
            sleep = self->env_.sleep;
        } else {
            co_return;
        }
        try {
            if (sleep)
                co_await sleep(interval);
            else
                co_await platform::sleepFor(interval);
        } catch (...) {
        }
        // 2. A cancelled task ends here.
        auto cs = co_await asio::this_coro::cancellation_state;
        if (cs.cancelled() != asio::cancellation_type::none)
            co_return;
        auto self = weak.lock();
        if (!self)
            co_return;
        // Consent withdrawn meanwhile: nothing recorded before is kept.
        if (!self->consented()) {
            self->discardAll();
            continue;
        }
        // 3.-4. Close the window and queue what it held.
        const TimePoint now = self->now();
        std::vector<CoalescedEntry> drained;
        {
            std::lock_guard guard(self->lock_);
            drained = self->drainBuffer(now);
            self->buffer_.startWindow(now);
        }
        if (!drained.empty()) {
            std::lock_guard guard(self->lock_);
            self->queue_.enqueue(std::move(drained));
        }
        // Whatever waits is on disk before it is sent, so a kill loses none of it.
        self->persist();
        // 5. Send in a task of its own, not waited for; while sending is not yet allowed (the
        // region is unknown) the batches wait in the queue.
        if (!self->mayUpload())
            continue;
        asio::co_spawn(co_await asio::this_coro::executor, sendPendingBatches(weak),
                       asio::detached);
    }
}

asio::awaitable<void>
ErrorFirehoseClient::sendPendingBatches(std::weak_ptr<ErrorFirehoseClient> weak) {
    for (;;) {
        auto self = weak.lock();
        if (!self)
            co_return;
        if (!self->consented()) {
            self->discardAll();
            co_return;
        }
        if (!self->mayUpload())
            co_return;
        // 1. Take the oldest batch and what to send it with.
        // It stays in the store while it is being sent.
        std::vector<CoalescedEntry> batch;
        ContextSnapshot context;
        std::uint64_t flight = 0;
        {
            std::lock_guard guard(self->lock_);
            auto oldest = self->queue_.takeOldest();
            if (!oldest)
                co_return;
            batch = std::move(*oldest);
            context = self->snapshot(self->now());
            flight = ++self->nextFlight_;
            self->inFlight_.emplace(flight, batch);
        }
        // 2. Send it, retries included.
        const bool finished =
            co_await telemetry::sendBatch(self->tuning_, self->env_, batch, context, 0);
        // 3. A batch the server would not take goes back to the head while there is room; a
        // finished one leaves the store.
        {
            std::lock_guard guard(self->lock_);
            const bool stillOurs = self->inFlight_.erase(flight) > 0;
            if (!finished && stillOurs)
                self->queue_.putBack(std::move(batch));
        }
        self->persist();
        if (!finished)
            co_return;
    }
}

} // namespace corvane
