// Runs an awaitable as a task on the library executor and keeps how it ended, for tests on the
// simulated host's virtual time.
#pragma once

#include "Platform/Async.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <optional>

namespace testsupport {

template <class T> struct AsyncCall {
    bool finished = false;
    std::optional<T> value;
    std::exception_ptr error;
    int completions = 0;

    // The error as `E`, when it is one.
    template <class E> std::optional<E> errorAs() const {
        if (!error)
            return std::nullopt;
        try {
            std::rethrow_exception(error);
        } catch (const E& e) {
            return e;
        } catch (...) {
            return std::nullopt;
        }
    }
};

// Starts `make()` (which returns boost::asio::awaitable<T>) on the library executor; with a
// signal, its slot cancels the task.
template <class T, class Make>
std::shared_ptr<AsyncCall<T>> startCall(Make make,
                                        boost::asio::cancellation_signal* signal = nullptr) {
    auto call = std::make_shared<AsyncCall<T>>();
    auto body = [make = std::move(make)]() -> boost::asio::awaitable<T> {
        auto op = make();
        co_return co_await std::move(op);
    };
    auto done = [call](std::exception_ptr e, T value) {
        call->finished = true;
        ++call->completions;
        call->error = e;
        if (!e)
            call->value = std::move(value);
    };
    if (signal)
        boost::asio::co_spawn(platform::libraryExecutor(), std::move(body),
                              boost::asio::bind_cancellation_slot(signal->slot(), done));
    else
        boost::asio::co_spawn(platform::libraryExecutor(), std::move(body), done);
    return call;
}

} // namespace testsupport
