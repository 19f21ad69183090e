// The account library's one HTTP client of the identity service: resolves API paths against the
// configured base URL, adds the library's headers, the session token and a DPoP proof, sends
// through the identity throttle, reads deprecation notices, maps failures to CorvaneError and
// recovers once from an expired session. No lock of its own: the callbacks are assigned once,
// before first use, and only read afterwards.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneConfig.h"
#include "CorvaneAccount/Model/StoredSession.h"
#include "CorvaneAccount/Transport/AuthModels.h"
#include "Platform/HttpSession.h"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

class DPoPSigner;
class IdentityThrottle;
class TokenRefresher;

// Whether a request may refresh an expiring or rejected session and resend once.
enum class AuthRecovery { allowed, disallowed };

class AuthClient : public std::enable_shared_from_this<AuthClient> {
public:
    using Data = std::vector<std::uint8_t>;

    // Without a throttle the client makes its own, with default options and the config's logger.
    static std::shared_ptr<AuthClient> create(CorvaneConfig config,
                                              std::shared_ptr<const DPoPSigner> dpopSigner = {},
                                              std::shared_ptr<IdentityThrottle> throttle = {});

    // Set by the facade right after construction.
    std::function<void(const std::vector<CorvaneDeprecationNotice>&)> onDeprecationNotice;
    std::function<std::optional<StoredSession>()> currentSessionProvider;
    std::function<void(const std::string& oldRefreshToken, const CasResponse&)> onSessionRefreshed;

    // One refresh request.
    boost::asio::awaitable<CasResponse> refresh(std::string refreshToken);
    // The same through the token refresher: one request however many callers ask at once.
    boost::asio::awaitable<CasResponse> refreshSerialized(std::string refreshToken);
    boost::asio::awaitable<void> revokeSession(std::string cas);
    boost::asio::awaitable<AppleAuthcodeResponse>
    exchangeAppleAuthCode(std::string authorizationCode, std::optional<std::string> identityToken,
                          std::optional<std::string> installID);
    boost::asio::awaitable<std::string> getAppDataToken(std::string cas);
    // The code exchange of a sign-in: the answer mapped and decoded.
    boost::asio::awaitable<CasResponse> exchange(ExchangeBody body);

    // Sends one request (and at most one resend after a recovered 401) and returns the answer
    // whatever its status; the caller maps and decodes it.
    boost::asio::awaitable<platform::HttpResult>
    performWithAuthRecovery(std::string path, std::string method, std::optional<Data> bodyData,
                            std::optional<std::string> cas, AuthRecovery recovery);

    // Returns for 2xx; otherwise logs and throws clientKilled (426), sessionExpired (401) or
    // serverError(status, the body's error code).
    void mapStatusError(const platform::HttpResponse& http, const Data& data,
                        const std::string& endpoint) const;

    const CorvaneConfig& config() const { return config_; }
    const std::shared_ptr<TokenRefresher>& tokenRefresher() const { return tokenRefresher_; }
    const std::shared_ptr<IdentityThrottle>& throttle() const { return throttle_; }

    // The absolute URL of an API path, or nothing when it does not form one.
    std::optional<std::string> resolve(const std::string& path) const;

private:
    AuthClient(CorvaneConfig config, std::shared_ptr<const DPoPSigner> dpopSigner,
               std::shared_ptr<IdentityThrottle> throttle);

    // One request through the throttle.
    boost::asio::awaitable<platform::HttpResult> perform(std::string url, std::string method,
                                                         std::optional<Data> bodyData,
                                                         std::optional<std::string> cas,
                                                         std::string endpoint);
    // perform() with the throttle's cancellation reported as networkUnavailable. Coroutine
    // parameters are taken by value: the frame outlives the caller's temporaries.
    boost::asio::awaitable<platform::HttpResult> sendOnce(std::string url, std::string method,
                                                          std::optional<Data> bodyData,
                                                          std::optional<std::string> cas,
                                                          std::string endpoint);
    // A POST through the throttle alone, mapped and decoded into T.
    template <class T>
    boost::asio::awaitable<T> postDirect(std::string path, std::optional<Data> body,
                                         std::optional<std::string> cas, const char* typeName);
    template <class T>
    T decodeBody(const Data& data, const std::string& endpoint, const char* typeName) const;
    void handleDeprecationHeaders(const platform::HttpResponse& response,
                                  const std::string& endpoint) const;
    // The stored session's refresh token when it has one.
    std::optional<std::string> storedRefreshToken(bool onlyWhenExpiring) const;
    void log(CorvaneLogLevel level, const std::string& key,
             const std::map<std::string, std::string>& metadata) const;

    CorvaneConfig config_;
    platform::HttpSession* session_;
    std::shared_ptr<const DPoPSigner> dpopSigner_;
    std::shared_ptr<IdentityThrottle> throttle_;
    std::shared_ptr<TokenRefresher> tokenRefresher_;
};

// The notices of a response's `Corvane-Deprecation` header; none for a non-HTTP response.
std::vector<CorvaneDeprecationNotice> corvaneDeprecationNotices(const platform::HttpResponse& r);

} // namespace corvane
