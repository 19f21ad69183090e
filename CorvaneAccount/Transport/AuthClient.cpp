#include "CorvaneAccount/Transport/AuthClient.h"

#include "CorvaneAccount/Foundation/CorvaneAccountLibrary.h"
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Foundation/CorvaneRedaction.h"
#include "CorvaneAccount/Transport/DPoPChallenge.h"
#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "CorvaneAccount/Transport/IdentityThrottle.h"
#include "CorvaneAccount/Transport/TokenRefresher.h"
#include "Platform/Async.h"
#include "Platform/Host.h"

#include <boost/url/parse.hpp>
#include <boost/url/url.hpp>

namespace corvane {

namespace asio = boost::asio;
using platform::HttpResult;

namespace {

// A session expiring sooner than this is refreshed before an authenticated request.
constexpr auto proactiveRefreshWindow = std::chrono::hours(48);
// Seconds allowed for one request.
constexpr double requestTimeout = 60;

AuthClient::Data bytes(const std::string& text) {
    return {text.begin(), text.end()};
}

// Origins whose DPoP nonce is kept; more are not expected of one identity service.
constexpr std::size_t maxNonceOrigins = 16;

// Whether a transport failure may have come after the request reached the service, so that
// the service may have acted on it: anything but failing to reach it at all.
bool mayHaveReachedService(const std::optional<int>& urlErrorCode) {
    namespace E = platform::URLError;
    if (!urlErrorCode)
        return true;
    switch (*urlErrorCode) {
    case E::notConnectedToInternet:
    case E::cannotFindHost:
    case E::cannotConnectToHost:
    case E::badURL:
    case E::unsupportedURL:
    case E::appTransportSecurityRequiresSecureConnection:
    case E::secureConnectionFailed:
    case E::serverCertificateUntrusted:
        return false;
    default:
        return true;
    }
}

// scheme://host[:port] of an absolute URL, or nothing.
std::optional<std::string> originOf(const std::string& url) {
    auto parsed = boost::urls::parse_uri(url);
    if (!parsed || !parsed->has_authority())
        return std::nullopt;
    return std::string(parsed->scheme()) + "://" + std::string(parsed->encoded_host_and_port());
}

// Whether the service refused a proof for want of its nonce (RFC 9449 §8: a 401 challenge at a
// resource, a 400 error at a token endpoint).
bool asksForNonce(const HttpResult& result) {
    const int status = result.response.statusCode;
    if (status == 401)
        return DPoPChallenge::error(result.response.headers) == "use_dpop_nonce";
    if (status != 400)
        return false;
    try {
        return CorvaneJSON::decode<ErrorPayload>(result.data).error == "use_dpop_nonce";
    } catch (...) {
        return false;
    }
}

// A 401 that refuses the DPoP proof, not the session.
std::optional<std::string> refusedProof(const platform::HttpResponse& response) {
    if (response.statusCode != 401)
        return std::nullopt;
    auto error = DPoPChallenge::error(response.headers);
    if (error && DPoPChallenge::isProofError(*error))
        return error;
    return std::nullopt;
}

bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        return true;
    } catch (...) {
        return false;
    }
}

} // namespace

std::shared_ptr<AuthClient> AuthClient::create(CorvaneConfig config,
                                               std::shared_ptr<const DPoPSigner> dpopSigner,
                                               std::shared_ptr<IdentityThrottle> throttle,
                                               std::shared_ptr<TokenRefresher> tokenRefresher) {
    return std::shared_ptr<AuthClient>(new AuthClient(
        std::move(config), std::move(dpopSigner), std::move(throttle), std::move(tokenRefresher)));
}

AuthClient::AuthClient(CorvaneConfig config, std::shared_ptr<const DPoPSigner> dpopSigner,
                       std::shared_ptr<IdentityThrottle> throttle,
                       std::shared_ptr<TokenRefresher> tokenRefresher)
    : config_(std::move(config)), session_(config_.urlSession), dpopSigner_(std::move(dpopSigner)),
      throttle_(std::move(throttle)), tokenRefresher_(std::move(tokenRefresher)) {
    if (!tokenRefresher_)
        tokenRefresher_ = TokenRefresher::create();
    if (!session_)
        session_ = &platform::httpSession();
    if (!throttle_)
        throttle_ = std::make_shared<IdentityThrottle>(IdentityThrottleOptions{}, config_.logger);
}

std::optional<std::string> AuthClient::resolve(const std::string& path) const {
    // Nothing goes to an identity URL that would carry it in clear text.
    if (!CorvaneConfig::isAcceptableServiceURL(config_.identityURL))
        return std::nullopt;
    auto reference = boost::urls::parse_uri_reference(path);
    if (!reference)
        return std::nullopt;
    boost::urls::url result;
    if (!boost::urls::resolve(config_.identityURL, *reference, result))
        return std::nullopt;
    if (!result.has_scheme() || !result.has_authority())
        return std::nullopt;
    return std::string(result.buffer());
}

void AuthClient::log(CorvaneLogLevel level, const std::string& key,
                     const std::map<std::string, std::string>& metadata) const {
    config_.log(level, key, metadata);
}

// --- one request ---

std::optional<std::string> AuthClient::dpopNonce(const std::string& url) const {
    const auto origin = originOf(url);
    if (!origin)
        return std::nullopt;
    std::lock_guard guard(nonceLock_);
    auto it = dpopNonces_.find(*origin);
    if (it == dpopNonces_.end())
        return std::nullopt;
    return it->second;
}

void AuthClient::rememberDPoPNonce(const std::string& url, const std::string& nonce) {
    const auto origin = originOf(url);
    if (!origin)
        return;
    std::lock_guard guard(nonceLock_);
    if (!dpopNonces_.count(*origin) && dpopNonces_.size() >= maxNonceOrigins)
        dpopNonces_.clear();
    dpopNonces_[*origin] = nonce;
}

platform::HttpRequest AuthClient::makeRequest(const std::string& url, const std::string& method,
                                              const std::optional<Data>& bodyData,
                                              const std::optional<std::string>& cas,
                                              const std::optional<std::string>& nonce,
                                              bool& proofSent) const {
    // The request, its library headers in a fixed order, the session token and its proof.
    platform::HttpRequest request;
    request.url = url;
    request.method = method;
    request.timeout = requestTimeout;
    request.redirects = platform::RedirectPolicy::none;
    request.maxBodyBytes = maxAnswerBytes;
    request.headers.set("Content-Type", "application/json");
    request.headers.set("Accept", "application/json");
    request.headers.set("User-Agent", CorvaneAccountLibrary::versionLine(config_.clientVersion));
    request.headers.set("Corvane-Lib-Version", config_.libVersion);
    request.headers.set("Corvane-Client-Version", config_.clientVersion);
    proofSent = false;
    if (cas) {
        request.headers.set("Authorization", "Bearer " + *cas);
        if (dpopSigner_) {
            // A failed proof is dropped: the request goes without one.
            try {
                request.headers.set("DPoP", dpopSigner_->generateProof(url, method, cas, nonce));
                proofSent = true;
            } catch (...) {
            }
        }
    }
    if (bodyData)
        request.body = *bodyData;
    return request;
}

asio::awaitable<HttpResult> AuthClient::transfer(std::shared_ptr<AuthClient> self,
                                                 platform::HttpRequest request,
                                                 std::string endpoint,
                                                 std::shared_ptr<bool> answerLost) {
    // Send; a transport failure becomes networkUnavailable, a cancelled transfer the library's
    // cancellation.
    std::optional<HttpResult> result;
    std::optional<TransportErrorInfo> failure;
    try {
        auto op = self->session_->send(std::move(request));
        result = co_await std::move(op);
    } catch (const platform::HttpTransportError& e) {
        if (e.isCancelled())
            throw CancellationError();
        failure = TransportErrorInfo::of(e);
    }
    if (failure) {
        if (failure->urlErrorCode == platform::URLError::dataLengthExceedsMaximum) {
            self->log(CorvaneLogLevel::error, "request_decode_failed",
                      CorvaneRedaction::decodeFailure(endpoint, "response_too_large"));
            throw CorvaneError::malformedResponse("response");
        }
        if (answerLost && mayHaveReachedService(failure->urlErrorCode))
            *answerLost = true;
        self->log(CorvaneLogLevel::warning, "request_transport_failed",
                  CorvaneRedaction::transportFailure(endpoint, *failure));
        throw CorvaneError::networkUnavailable();
    }
    if (!result->response.isHTTP) {
        self->log(CorvaneLogLevel::error, "request_decode_failed",
                  CorvaneRedaction::decodeFailure(endpoint, "response"));
        throw CorvaneError::malformedResponse("response");
    }
    co_return std::move(*result);
}

asio::awaitable<HttpResult> AuthClient::perform(std::string url, std::string method,
                                                std::optional<Data> bodyData,
                                                std::optional<std::string> cas,
                                                std::string endpoint,
                                                std::shared_ptr<bool> answerLost) {
    auto self = shared_from_this();
    IdentityThrottle::Send send = [self, url, method, bodyData, cas, endpoint,
                                   answerLost]() -> asio::awaitable<HttpResult> {
        bool proofSent = false;
        auto request =
            self->makeRequest(url, method, bodyData, cas, self->dpopNonce(url), proofSent);
        auto first = transfer(self, std::move(request), endpoint, answerLost);
        HttpResult result = co_await std::move(first);
        if (!proofSent)
            co_return result;
        // RFC 9449 §8: the latest nonce is kept for later proofs; a proof refused for want of
        // it is made again with it and the same attempt re-sent, once.
        const std::optional<std::string> nonce = DPoPChallenge::nonce(result.response.headers);
        if (!nonce)
            co_return result;
        self->rememberDPoPNonce(url, *nonce);
        if (!asksForNonce(result))
            co_return result;
        self->log(CorvaneLogLevel::info, "request_dpop_nonce_retry",
                  {{"endpoint", CorvaneRedaction::endpoint(endpoint)}});
        auto again = self->makeRequest(url, method, bodyData, cas, nonce, proofSent);
        auto second = transfer(self, std::move(again), endpoint, answerLost);
        HttpResult resent = co_await std::move(second);
        if (auto newer = DPoPChallenge::nonce(resent.response.headers))
            self->rememberDPoPNonce(url, *newer);
        co_return resent;
    };
    auto op = throttle_->run(url, method, std::move(send));
    co_return co_await std::move(op);
}

asio::awaitable<HttpResult> AuthClient::sendOnce(std::string url, std::string method,
                                                 std::optional<Data> bodyData,
                                                 std::optional<std::string> cas,
                                                 std::string endpoint) {
    std::exception_ptr error;
    try {
        auto op = perform(url, method, bodyData, cas, endpoint);
        co_return co_await std::move(op);
    } catch (...) {
        error = std::current_exception();
    }
    if (isCancellation(error))
        throw CorvaneError::networkUnavailable();
    std::rethrow_exception(error);
}

// --- recovery ---

std::optional<std::string> AuthClient::storedRefreshToken(bool onlyWhenExpiring) const {
    if (!currentSessionProvider)
        return std::nullopt;
    std::optional<StoredSession> stored = currentSessionProvider();
    if (!stored || !stored->refreshToken)
        return std::nullopt;
    if (onlyWhenExpiring && stored->expiresAt - platform::now() >= proactiveRefreshWindow)
        return std::nullopt;
    return stored->refreshToken;
}

asio::awaitable<HttpResult> AuthClient::performWithAuthRecovery(std::string path,
                                                                std::string method,
                                                                std::optional<Data> bodyData,
                                                                std::optional<std::string> cas,
                                                                AuthRecovery recovery) {
    auto self = shared_from_this();
    // 1. The absolute URL.
    const std::optional<std::string> url = resolve(path);
    if (!url)
        throw CorvaneError::malformedResponse("url");
    const bool mayRecover = recovery == AuthRecovery::allowed && cas.has_value();

    // 2. A session that expires within two days is refreshed first; a failure is dropped.
    std::optional<std::string> useCas = cas;
    if (mayRecover) {
        if (auto token = storedRefreshToken(true)) {
            try {
                auto op = refreshSerialized(*token);
                useCas = (co_await std::move(op)).cas;
            } catch (...) {
            }
        }
    }

    // 3–4. Send once and read the deprecation notices.
    auto first = sendOnce(*url, method, bodyData, useCas, path);
    HttpResult answer = co_await std::move(first);
    handleDeprecationHeaders(answer.response, path);

    // 5. A rejected session is refreshed once and the request sent a second time; a refused
    // proof is not about the session, and a refresh would not mend it.
    if (answer.response.statusCode == 401 && mayRecover && !refusedProof(answer.response)) {
        if (auto token = storedRefreshToken(false)) {
            std::optional<CasResponse> renewed;
            try {
                auto op = refreshSerialized(*token);
                renewed = co_await std::move(op);
            } catch (...) {
            }
            if (!renewed)
                co_return answer;
            auto second = sendOnce(*url, method, bodyData, renewed->cas, path);
            HttpResult resent = co_await std::move(second);
            handleDeprecationHeaders(resent.response, path);
            co_return resent;
        }
    }
    co_return answer;
}

// --- status, decoding and deprecation ---

void AuthClient::mapStatusError(const platform::HttpResponse& http, const Data& data,
                                const std::string& endpoint) const {
    const int status = http.statusCode;
    if (status >= 200 && status <= 299)
        return;
    std::optional<std::string> code;
    try {
        code = CorvaneJSON::decode<ErrorPayload>(data).error;
    } catch (...) {
    }
    std::map<std::string, std::string> metadata{{"endpoint", CorvaneRedaction::endpoint(endpoint)},
                                                {"status", std::to_string(status)}};
    if (code && !code->empty())
        metadata["code"] = *code;
    if (status == 426) {
        metadata["class"] = "clientKilled";
        log(CorvaneLogLevel::error, "client_killed", metadata);
        throw CorvaneError::clientKilled();
    }
    if (auto proofError = refusedProof(http)) {
        metadata["class"] = "dpop";
        metadata["code"] = *proofError;
        log(CorvaneLogLevel::error, "request_dpop_refused", metadata);
        throw CorvaneError::serverError(status, *proofError);
    }
    if (status == 401) {
        metadata["class"] = "auth";
        log(CorvaneLogLevel::warning, "request_auth_failed", metadata);
        throw CorvaneError::sessionExpired();
    }
    metadata["class"] = "server";
    log(CorvaneLogLevel::error, "request_server_failed", metadata);
    throw CorvaneError::serverError(status, code);
}

template <class T>
T AuthClient::decodeBody(const Data& data, const std::string& endpoint,
                         const char* typeName) const {
    try {
        return CorvaneJSON::decode<T>(data);
    } catch (const CorvaneJSON::DecodingError&) {
    }
    log(CorvaneLogLevel::error, "request_decode_failed",
        CorvaneRedaction::decodeFailure(endpoint, std::string(typeName)));
    throw CorvaneError::malformedResponse(std::string(typeName));
}

void AuthClient::handleDeprecationHeaders(const platform::HttpResponse& response,
                                          const std::string& endpoint) const {
    if (!response.isHTTP)
        return;
    const auto notices = corvaneDeprecationNotices(response);
    if (!notices.empty() && onDeprecationNotice)
        onDeprecationNotice(notices);

    const std::map<std::string, std::string> base{
        {"endpoint", CorvaneRedaction::endpoint(endpoint)},
        {"status", std::to_string(response.statusCode)}};
    if (response.statusCode != 426) {
        for (const auto& notice : notices) {
            const auto* client = notice.client();
            if (client && Semver::compare(config_.clientVersion, client->minVersion) < 0) {
                auto metadata = base;
                metadata["class"] = "requiresUpgrade";
                log(CorvaneLogLevel::warning, "requires_upgrade", metadata);
                throw CorvaneError::requiresUpgrade(client->minVersion);
            }
        }
        return;
    }
    std::optional<std::string> replacement;
    for (const auto& notice : notices) {
        if (const auto* e = notice.endpoint(); e && e->replacement) {
            replacement = e->replacement;
            break;
        }
    }
    auto metadata = base;
    metadata["class"] = "clientKilled";
    log(CorvaneLogLevel::error, "client_killed", metadata);
    throw CorvaneError::clientKilled(replacement);
}

std::vector<CorvaneDeprecationNotice> corvaneDeprecationNotices(const platform::HttpResponse& r) {
    if (!r.isHTTP)
        return {};
    const auto header = r.headers.value("Corvane-Deprecation");
    if (!header)
        return {};
    return CorvaneDeprecationParser::parse(*header);
}

// --- endpoints ---

template <class T>
asio::awaitable<T> AuthClient::postDirect(std::string path, std::optional<Data> body,
                                          std::optional<std::string> cas, const char* typeName,
                                          std::shared_ptr<bool> answerLost) {
    auto self = shared_from_this();
    const std::optional<std::string> url = resolve(path);
    if (!url)
        throw CorvaneError::malformedResponse("url");
    auto op = perform(*url, "POST", std::move(body), std::move(cas), path, std::move(answerLost));
    HttpResult answer = co_await std::move(op);
    mapStatusError(answer.response, answer.data, path);
    co_return decodeBody<T>(answer.data, path, typeName);
}

asio::awaitable<CasResponse> AuthClient::refresh(std::string refreshToken) {
    auto self = shared_from_this();
    const RefreshBody body{config_.appSlug, std::move(refreshToken), config_.clientVersion};
    for (int attempt = 0;; ++attempt) {
        auto lost = std::make_shared<bool>(false);
        std::exception_ptr error;
        try {
            auto op = postDirect<CasResponse>("/api/app-sessions/refresh", bytes(body.encoded()),
                                              std::nullopt, "CasResponse", lost);
            co_return co_await std::move(op);
        } catch (...) {
            error = std::current_exception();
        }
        // The answer was lost after the request went out: the service may have rotated the
        // token already. The same token is presented again, which a service with a rotation
        // grace answers with the same new pair; without one it refuses it, as it would the next
        // refresh anyway.
        if (!*lost || attempt >= maxLostRefreshRetries)
            std::rethrow_exception(error);
        log(CorvaneLogLevel::info, "refresh_answer_lost",
            {{"attempt", std::to_string(attempt + 1)}});
        if (attempt > 0) {
            auto pause = platform::sleepFor(1.0);
            co_await std::move(pause);
        }
    }
}

asio::awaitable<CasResponse> AuthClient::refreshSerialized(std::string refreshToken) {
    std::weak_ptr<AuthClient> weak = weak_from_this();
    TokenRefresher::Perform performRefresh = [weak,
                                              refreshToken]() -> asio::awaitable<CasResponse> {
        auto client = weak.lock();
        if (!client)
            throw CorvaneError::networkUnavailable();
        auto op = client->refresh(refreshToken);
        co_return co_await std::move(op);
    };
    TokenRefresher::OnRotated rotated = [weak](const std::string& old, const CasResponse& r) {
        if (auto client = weak.lock(); client && client->onSessionRefreshed)
            client->onSessionRefreshed(old, r);
    };
    auto refresher = tokenRefresher_;
    auto op =
        refresher->refresh(std::move(refreshToken), std::move(performRefresh), std::move(rotated));
    co_return co_await std::move(op);
}

asio::awaitable<void> AuthClient::revokeSession(std::string cas) {
    auto self = shared_from_this();
    auto op = postDirect<EmptyResponse>("/api/sessions/revoke", std::nullopt, std::move(cas),
                                        "EmptyResponse");
    co_await std::move(op);
}

asio::awaitable<CasResponse> AuthClient::exchange(ExchangeBody body) {
    auto self = shared_from_this();
    const std::string path = "/api/app-sessions/exchange";
    auto op = performWithAuthRecovery(path, "POST", bytes(body.encoded()), std::nullopt,
                                      AuthRecovery::allowed);
    HttpResult answer = co_await std::move(op);
    mapStatusError(answer.response, answer.data, path);
    co_return decodeBody<CasResponse>(answer.data, path, "CasResponse");
}

asio::awaitable<AppleAuthcodeResponse>
AuthClient::exchangeAppleAuthCode(std::string authorizationCode,
                                  std::optional<std::string> identityToken,
                                  std::optional<std::string> installID) {
    auto self = shared_from_this();
    const std::string path = "/api/integrations/apple/authcode";
    const AppleAuthcodeBody body{config_.appSlug, std::move(authorizationCode),
                                 std::move(identityToken),
                                 installID ? std::move(installID) : config_.installID};
    auto op = performWithAuthRecovery(path, "POST", bytes(body.encoded()), std::nullopt,
                                      AuthRecovery::allowed);
    HttpResult answer = co_await std::move(op);
    mapStatusError(answer.response, answer.data, path);
    co_return decodeBody<AppleAuthcodeResponse>(answer.data, path, "AppleAuthcodeResponse");
}

asio::awaitable<std::string> AuthClient::getAppDataToken(std::string cas) {
    auto self = shared_from_this();
    const std::string path = "/api/app-data-token";
    const AppDataTokenBody body{config_.appSlug};
    auto op = performWithAuthRecovery(path, "POST", bytes(body.encoded()), std::move(cas),
                                      AuthRecovery::allowed);
    HttpResult answer = co_await std::move(op);
    mapStatusError(answer.response, answer.data, path);
    co_return decodeBody<AppDataTokenResponse>(answer.data, path, "AppDataTokenResponse")
        .appDataToken;
}

} // namespace corvane
