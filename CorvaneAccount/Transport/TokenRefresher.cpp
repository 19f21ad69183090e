#include "CorvaneAccount/Transport/TokenRefresher.h"

#include "Platform/Async.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <vector>

namespace corvane {

namespace asio = boost::asio;

// One refresh in flight and the callers waiting for it. Touched only on the actor's strand.
struct TokenRefresher::Flight {
    bool done = false;
    std::exception_ptr error;
    CasResponse value;
    std::vector<std::function<void()>> waiters;

    void finish(std::exception_ptr e, CasResponse r) {
        done = true;
        error = std::move(e);
        value = std::move(r);
        auto pending = std::move(waiters);
        waiters.clear();
        for (auto& resume : pending)
            resume();
    }

    asio::awaitable<CasResponse> wait() {
        if (!done) {
            auto suspend = asio::async_initiate<const asio::use_awaitable_t<>&, void()>(
                [this](auto handler) {
                    using Handler = decltype(handler);
                    auto executor = asio::get_associated_executor(handler);
                    auto boxed = std::make_shared<Handler>(std::move(handler));
                    waiters.push_back([executor, boxed] {
                        asio::post(executor, [boxed] { std::move (*boxed)(); });
                    });
                },
                asio::use_awaitable);
            co_await std::move(suspend);
        }
        if (error)
            std::rethrow_exception(error);
        co_return value;
    }
};

std::shared_ptr<TokenRefresher> TokenRefresher::create() {
    return create(platform::libraryExecutor());
}

std::shared_ptr<TokenRefresher> TokenRefresher::create(asio::any_io_executor executor) {
    return std::shared_ptr<TokenRefresher>(new TokenRefresher(std::move(executor)));
}

TokenRefresher::TokenRefresher(asio::any_io_executor executor)
    : strand_(asio::make_strand(std::move(executor))) {}

asio::awaitable<CasResponse> TokenRefresher::refresh(std::string token, Perform perform,
                                                     OnRotated onRotated) {
    // The caller resumes on its own executor; the bookkeeping runs on the actor.
    auto self = shared_from_this();
    auto onActor = self->refreshOnActor(std::move(token), std::move(perform), std::move(onRotated));
    co_return co_await asio::co_spawn(strand_, std::move(onActor), asio::use_awaitable);
}

std::optional<CasResponse> TokenRefresher::newestAfter(const std::string& token) const {
    auto it = rotations_.find(token);
    if (it == rotations_.end())
        return std::nullopt;
    // Follow the line of rotations to its newest session; the bound guards a cycle that a
    // service handing out a token twice could make.
    const CasResponse* newest = &it->second;
    for (std::size_t steps = 0; steps < maxRemembered && newest->refreshToken; ++steps) {
        auto next = rotations_.find(*newest->refreshToken);
        if (next == rotations_.end())
            break;
        newest = &next->second;
    }
    return *newest;
}

void TokenRefresher::remember(const std::string& spent, const CasResponse& answer) {
    if (rotations_.insert_or_assign(spent, answer).second)
        rotationOrder_.push_back(spent);
    while (rotationOrder_.size() > maxRemembered) {
        rotations_.erase(rotationOrder_.front());
        rotationOrder_.pop_front();
    }
}

asio::awaitable<CasResponse> TokenRefresher::refreshOnActor(std::string token, Perform perform,
                                                            OnRotated onRotated) {
    auto self = shared_from_this();
    // Already rotated by this process: the newest session of its line is the answer.
    if (auto newest = newestAfter(token))
        co_return *newest;

    // The check above, this look and the start below run without a suspension in between, so
    // two callers with the same token never start two refreshes.
    std::shared_ptr<Flight> flight;
    if (auto it = inFlight_.find(token); it != inFlight_.end())
        flight = it->second;
    if (!flight) {
        flight = std::make_shared<Flight>();
        inFlight_[token] = flight;
        auto task = [](Perform perform, OnRotated onRotated,
                       std::string token) -> asio::awaitable<CasResponse> {
            CasResponse result = co_await perform();
            // The new session is persisted before any caller uses it.
            if (onRotated)
                onRotated(token, result);
            co_return result;
        };
        auto op = task(std::move(perform), std::move(onRotated), token);
        asio::co_spawn(strand_.get_inner_executor(), std::move(op),
                       [self, flight, token](std::exception_ptr error, CasResponse result) {
                           asio::post(self->strand_,
                                      [self, flight, token, error, result]() mutable {
                                          if (!error)
                                              self->remember(token, result);
                                          if (auto it = self->inFlight_.find(token);
                                              it != self->inFlight_.end() && it->second == flight)
                                              self->inFlight_.erase(it);
                                          flight->finish(error, std::move(result));
                                      });
                       });
    }
    co_return co_await flight->wait();
}

} // namespace corvane
