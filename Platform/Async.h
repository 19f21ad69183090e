// The account library's async runtime: the executor its coroutines run on and a cancellable
// awaitable sleep. Implemented by Sim (the sim run loop, virtual time) and Desktop (one io_context
// on one library thread). Timers may be invalidated from any thread.
#pragma once

#include "Platform/RunLoop.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_type.hpp>
#include <boost/asio/error.hpp>
#include <boost/asio/post.hpp>
#include <boost/system/error_code.hpp>

#include <atomic>
#include <functional>
#include <memory>
#include <utility>

namespace platform {

class LibraryRuntime {
public:
    virtual ~LibraryRuntime() = default;

    // The executor the library's coroutines run on.
    virtual boost::asio::any_io_executor executor() = 0;
    // Runs `block` once, `seconds` from now (on virtual time in the sim), on the runtime's own
    // thread. Zero and negative durations fire on the next turn. The runtime keeps the timer
    // until it fires or is invalidated; the caller need not hold it.
    virtual std::shared_ptr<Timer> scheduleTimer(double seconds, std::function<void()> block) = 0;
};

// The installed host's library runtime and its executor.
LibraryRuntime& libraryRuntime();
boost::asio::any_io_executor libraryExecutor();

namespace detail {

// One pending sleep: completed exactly once, by its timer or by a cancellation.
template <class Handler> struct SleepOperation {
    explicit SleepOperation(Handler h) : handler(std::move(h)) {}

    static void complete(const std::shared_ptr<SleepOperation>& op, boost::system::error_code ec) {
        if (op->done.exchange(true))
            return;
        // Completion goes through the handler's own executor, never inline. A cancellation
        // that arrives after the timer fired but before that turn still wins.
        auto ex = boost::asio::get_associated_executor(op->handler, op->fallback);
        boost::asio::post(ex, [op, ec]() mutable {
            if (!ec && op->cancelled.load())
                ec = boost::asio::error::operation_aborted;
            if (op->slot.is_connected())
                op->slot.clear();
            auto h = std::move(op->handler);
            std::move(h)(ec);
        });
    }

    Handler handler;
    boost::asio::any_io_executor fallback;
    boost::asio::associated_cancellation_slot_t<Handler> slot;
    // Weak: the timer's block holds this operation, and the runtime holds the timer until it
    // fires. A runtime that goes away with the timer pending thus frees the operation and the
    // coroutine waiting on it, instead of leaving the two holding each other.
    std::weak_ptr<Timer> timer;
    std::atomic<bool> done{false};
    std::atomic<bool> cancelled{false};
};

} // namespace detail

// Waits `seconds` on `runtime`'s timers and completes with an empty error code, or with
// operation_aborted when the operation's cancellation slot is emitted (terminal, partial or
// total), at once.
template <class CompletionToken>
auto asyncSleep(LibraryRuntime& runtime, double seconds, CompletionToken&& token) {
    return boost::asio::async_initiate<CompletionToken, void(boost::system::error_code)>(
        [&runtime, seconds](auto handler) {
            using Handler = decltype(handler);
            auto op = std::make_shared<detail::SleepOperation<Handler>>(std::move(handler));
            op->fallback = runtime.executor();
            using Operation = detail::SleepOperation<Handler>;
            op->slot = boost::asio::get_associated_cancellation_slot(op->handler);
            if (op->slot.is_connected()) {
                std::weak_ptr<Operation> weak = op;
                op->slot.assign([weak](boost::asio::cancellation_type type) {
                    if (type == boost::asio::cancellation_type::none)
                        return;
                    if (auto op = weak.lock()) {
                        op->cancelled = true;
                        if (auto timer = op->timer.lock())
                            timer->invalidate();
                        Operation::complete(op, boost::asio::error::operation_aborted);
                    }
                });
            }
            op->timer = runtime.scheduleTimer(seconds, [op] { Operation::complete(op, {}); });
        },
        token);
}

// Waits `seconds` of host time (virtual in the sim); returns at once for zero or negative
// durations. Cancellation throws boost::system::system_error(operation_aborted).
boost::asio::awaitable<void> sleepFor(double seconds);

} // namespace platform
