// Makes every refresh of a session happen once: concurrent callers share one request, and a
// caller holding a token this process already spent gets the newest session. An actor: its
// state is touched only on its strand; the refresh itself runs outside it.
#pragma once

#include "CorvaneAccount/Transport/AuthModels.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/strand.hpp>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace corvane {

class TokenRefresher : public std::enable_shared_from_this<TokenRefresher> {
public:
    // One refresh request.
    using Perform = std::function<boost::asio::awaitable<CasResponse>()>;
    // Called with the spent token and the answer before any caller sees the answer.
    using OnRotated = std::function<void(const std::string& oldToken, const CasResponse&)>;

    // The strand runs on `executor`, by default the library executor.
    static std::shared_ptr<TokenRefresher> create();
    static std::shared_ptr<TokenRefresher> create(boost::asio::any_io_executor executor);

    // The answer of the refresh of `token`: the newest session when `token` was already spent,
    // the refresh in flight when there is one (whatever token it started with), else a new one.
    // A failure reaches every caller that joined it and leaves `token` unspent.
    boost::asio::awaitable<CasResponse> refresh(std::string token, Perform perform,
                                                OnRotated onRotated);

private:
    struct Flight;
    explicit TokenRefresher(boost::asio::any_io_executor executor);
    boost::asio::awaitable<CasResponse> refreshOnActor(std::string token, Perform perform,
                                                       OnRotated onRotated);

    boost::asio::strand<boost::asio::any_io_executor> strand_;
    // Actor state.
    std::shared_ptr<Flight> inFlight_;
    std::set<std::string> consumedTokens_;
    std::optional<CasResponse> lastResult_;
};

} // namespace corvane
