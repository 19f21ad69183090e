// A switch that ends one multi-step operation (a sign-in) from another thread: cancel() marks
// it and cancels the step being awaited. Steps are awaited through awaitCancellable(); the
// operation checks cancelled() between steps. cancel() is safe from any thread; the rest runs
// on the operation's executor. Include only from .cpp files (it brings in asio).
#pragma once

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <atomic>
#include <exception>
#include <memory>

namespace corvane {

class CancelSwitch : public std::enable_shared_from_this<CancelSwitch> {
public:
    explicit CancelSwitch(boost::asio::any_io_executor executor) : executor_(std::move(executor)) {}

    // Marks the operation cancelled and, on its executor, cancels the step it awaits. True the
    // first time.
    bool cancel() {
        if (cancelled_.exchange(true))
            return false;
        boost::asio::post(executor_, [self = shared_from_this()] {
            // A signal is emitted on its operation's executor, and only while a step awaits it.
            if (self->stepActive_)
                self->signal_.emit(boost::asio::cancellation_type::terminal);
        });
        return true;
    }
    bool cancelled() const { return cancelled_.load(); }

    // Awaits `step`; a cancel() of this switch, like a cancel of the awaiting operation itself,
    // cancels it. The step's own result or error comes back.
    template <class T> boost::asio::awaitable<T> awaitCancellable(boost::asio::awaitable<T> step) {
        namespace asio = boost::asio;
        auto self = shared_from_this();
        auto initiate = [self, step = std::move(step)](auto handler) mutable {
            using Handler = decltype(handler);
            auto outer = asio::get_associated_cancellation_slot(handler);
            // The awaiting operation's own cancel reaches the step too.
            if (outer.is_connected())
                outer.assign([self](asio::cancellation_type type) {
                    if (type != asio::cancellation_type::none && self->stepActive_)
                        self->signal_.emit(type);
                });
            self->stepActive_ = true;
            auto executor = asio::get_associated_executor(handler, self->executor_);
            asio::co_spawn(
                executor, std::move(step),
                StepDone<T, Handler>{self, std::make_shared<Handler>(std::move(handler))});
        };
        return asio::async_initiate<const asio::use_awaitable_t<>&, void(std::exception_ptr, T)>(
            std::move(initiate), asio::use_awaitable);
    }

private:
    // The completion of a step. It names its cancellation slot but no executor of its own, so
    // co_spawn emits a cancel into the step at once rather than from a later turn (when the
    // step may be gone).
    template <class T, class Handler> struct StepDone {
        std::shared_ptr<CancelSwitch> self;
        std::shared_ptr<Handler> handler;

        using cancellation_slot_type = boost::asio::cancellation_slot;
        cancellation_slot_type get_cancellation_slot() const noexcept {
            return self->signal_.slot();
        }
        void operator()(std::exception_ptr e, T value) {
            self->stepActive_ = false;
            std::move (*handler)(e, std::move(value));
        }
    };

    boost::asio::any_io_executor executor_;
    std::atomic<bool> cancelled_{false};
    // The operation's executor only.
    boost::asio::cancellation_signal signal_;
    bool stepActive_ = false;
};

} // namespace corvane
