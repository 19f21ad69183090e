// The account library's one HTTP client of the identity service: resolves API paths against the
// configured base URL, adds the library's headers, the session token and a DPoP proof, sends
// through the identity throttle, reads deprecation notices, maps failures to CorvaneError and
// recovers once from an expired session. The callbacks are assigned once, before first use, and
// only read afterwards; the latest DPoP nonce of each origin is kept under a lock of its own.
// Every coroutine keeps the client alive while it is suspended, so its owner may let go of it
// at any time.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneConfig.h"
#include "CorvaneAccount/Model/StoredSession.h"
#include "CorvaneAccount/Transport/AuthModels.h"
#include "Platform/HttpSession.h"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
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

    // The largest identity answer read; a longer one fails as malformed while it arrives.
    static constexpr std::size_t maxAnswerBytes = 1u << 20;
    // Further attempts of a refresh whose answer was lost after the request went out.
    static constexpr int maxLostRefreshRetries = 2;

    // Without a throttle the client makes its own, with default options and the config's logger;
    // without a token refresher, one on the library executor.
    static std::shared_ptr<AuthClient> create(CorvaneConfig config,
                                              std::shared_ptr<const DPoPSigner> dpopSigner = {},
                                              std::shared_ptr<IdentityThrottle> throttle = {},
                                              std::shared_ptr<TokenRefresher> tokenRefresher = {});

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

    // Returns for 2xx; otherwise logs and throws clientKilled (426), serverError(401, its error)
    // for a 401 refusing the DPoP proof, sessionExpired (any other 401) or serverError(status,
    // the body's error code).
    void mapStatusError(const platform::HttpResponse& http, const Data& data,
                        const std::string& endpoint) const;

    const CorvaneConfig& config() const { return config_; }
    const std::shared_ptr<TokenRefresher>& tokenRefresher() const { return tokenRefresher_; }
    const std::shared_ptr<IdentityThrottle>& throttle() const { return throttle_; }

    // The absolute URL of an API path, or nothing when it does not form one.
    std::optional<std::string> resolve(const std::string& path) const;

    // The latest DPoP nonce the service of `url`'s origin sent, if any.
    std::optional<std::string> dpopNonce(const std::string& url) const;

private:
    AuthClient(CorvaneConfig config, std::shared_ptr<const DPoPSigner> dpopSigner,
               std::shared_ptr<IdentityThrottle> throttle,
               std::shared_ptr<TokenRefresher> tokenRefresher);

    // One request through the throttle. When `answerLost` is given, it is set when the request
    // failed below HTTP after it may have reached the service (a dropped connection, a timeout).
    boost::asio::awaitable<platform::HttpResult> perform(std::string url, std::string method,
                                                         std::optional<Data> bodyData,
                                                         std::optional<std::string> cas,
                                                         std::string endpoint,
                                                         std::shared_ptr<bool> answerLost = {});
    // The request with its library headers, session token and proof (with `nonce`); `proofSent`
    // says whether a proof went with it.
    platform::HttpRequest makeRequest(const std::string& url, const std::string& method,
                                      const std::optional<Data>& bodyData,
                                      const std::optional<std::string>& cas,
                                      const std::optional<std::string>& nonce,
                                      bool& proofSent) const;
    // One transfer: a transport failure logged and thrown as networkUnavailable (an answer over
    // maxAnswerBytes as malformedResponse), a cancelled transfer as the library's cancellation.
    static boost::asio::awaitable<platform::HttpResult> transfer(std::shared_ptr<AuthClient> self,
                                                                 platform::HttpRequest request,
                                                                 std::string endpoint,
                                                                 std::shared_ptr<bool> answerLost);
    void rememberDPoPNonce(const std::string& url, const std::string& nonce);
    // perform() with the throttle's cancellation reported as networkUnavailable. Coroutine
    // parameters are taken by value: the frame outlives the caller's temporaries.
    boost::asio::awaitable<platform::HttpResult> sendOnce(std::string url, std::string method,
                                                          std::optional<Data> bodyData,
                                                          std::optional<std::string> cas,
                                                          std::string endpoint);
    // A POST through the throttle alone, mapped and decoded into T.
    template <class T>
    boost::asio::awaitable<T> postDirect(std::string path, std::optional<Data> body,
                                         std::optional<std::string> cas, const char* typeName,
                                         std::shared_ptr<bool> answerLost = {});
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
    // The latest DPoP-Nonce by origin (RFC 9449 §8: replaced by each new one the service sends).
    mutable std::mutex nonceLock_;
    std::map<std::string, std::string> dpopNonces_;
};

// The notices of a response's `Corvane-Deprecation` header; none for a non-HTTP response.
std::vector<CorvaneDeprecationNotice> corvaneDeprecationNotices(const platform::HttpResponse& r);

} // namespace corvane
