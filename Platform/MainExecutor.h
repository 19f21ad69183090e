// An asio executor over the main run loop: "a task on the main actor" is
// co_spawn(mainExecutor(), ..., detached). Shared by both hosts; execute() may be called from
// any thread, the work runs on the main thread.
#pragma once

#include "Platform/RunLoop.h"

#include <boost/asio/execution.hpp>
#include <boost/asio/execution_context.hpp>
#include <memory>
#include <type_traits>
#include <utility>

namespace platform {

class MainExecutor {
public:
    explicit MainExecutor(RunLoop& loop) noexcept : loop_(&loop) {}

    boost::asio::execution_context& query(boost::asio::execution::context_t) const noexcept {
        return loop_->executionContext();
    }
    static constexpr boost::asio::execution::blocking_t
    query(boost::asio::execution::blocking_t) noexcept {
        return boost::asio::execution::blocking.never;
    }
    MainExecutor require(boost::asio::execution::blocking_t::never_t) const noexcept {
        return *this;
    }

    template <class F> void execute(F&& f) const {
        // asio hands over move-only callables; box them so a std::function can carry them.
        using Fn = std::decay_t<F>;
        auto boxed = std::make_shared<Fn>(std::forward<F>(f));
        loop_->post([boxed] { (*boxed)(); });
    }

    RunLoop& loop() const noexcept { return *loop_; }

    bool operator==(const MainExecutor& o) const noexcept { return loop_ == o.loop_; }
    bool operator!=(const MainExecutor& o) const noexcept { return loop_ != o.loop_; }

private:
    RunLoop* loop_;
};

// The executor over the installed host's main run loop.
MainExecutor mainExecutor();

} // namespace platform
