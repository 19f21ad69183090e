// Makes every refresh of a session happen once: concurrent callers holding the same token share
// one request, and a caller holding a token this process already spent gets the newest session
// of that token's line. An actor: its state is touched only on its strand; the refresh itself
// runs outside it.
#pragma once

#include "CorvaneAccount/Transport/AuthModels.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/strand.hpp>

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <optional>
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

    // The answer of the refresh of `token`: the newest session of its line when `token` was
    // already spent, the refresh of `token` in flight when there is one, else a new one. Only
    // callers holding the same token share a refresh: another session's token never gets this
    // session's answer. A failure reaches every caller that joined it and leaves `token` unspent.
    boost::asio::awaitable<CasResponse> refresh(std::string token, Perform perform,
                                                OnRotated onRotated);

private:
    struct Flight;
    explicit TokenRefresher(boost::asio::any_io_executor executor);
    boost::asio::awaitable<CasResponse> refreshOnActor(std::string token, Perform perform,
                                                       OnRotated onRotated);

    boost::asio::strand<boost::asio::any_io_executor> strand_;
    // The newest session descending from the spent `token`, if this process spent it.
    std::optional<CasResponse> newestAfter(const std::string& token) const;
    void remember(const std::string& spent, const CasResponse& answer);

    // Actor state: the refreshes in flight by token, and the answer each spent token got (the
    // most recent `maxRemembered`, oldest forgotten first).
    static constexpr std::size_t maxRemembered = 256;
    std::map<std::string, std::shared_ptr<Flight>> inFlight_;
    std::map<std::string, CasResponse> rotations_;
    std::deque<std::string> rotationOrder_;
};

} // namespace corvane
