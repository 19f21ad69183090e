#include "OIDC/AuthorizationFlowSession.h"

#include "Platform/Host.h"
#include "Platform/RunLoop.h"

#include <boost/url/parse.hpp>
#include <openssl/crypto.h>

#include <cctype>

namespace oidc {

namespace {

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (std::tolower(static_cast<unsigned char>(a[i])) !=
            std::tolower(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

// Compares without an early exit, so the time taken says nothing about the expected value.
bool constantTimeEquals(std::string_view a, std::string_view b) {
    return a.size() == b.size() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// One form-encoded name or value: "+" is a space, "%XX" a byte; nullopt for a broken escape.
std::optional<std::string> formDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%') {
            if (i + 2 >= text.size())
                return std::nullopt;
            int hi = hexValue(text[i + 1]), lo = hexValue(text[i + 2]);
            if (hi < 0 || lo < 0)
                return std::nullopt;
            out.push_back(static_cast<char>(hi * 16 + lo));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

// The query as decoded (name, value) pairs in order (WHATWG application/x-www-form-urlencoded
// parsing, but strict about escapes). Written out here because Boost.URL 1.81's parameter
// iterator reads out of bounds on some queries (an empty query before a fragment).
std::optional<Parameters> decodeForm(std::string_view query) {
    Parameters out;
    std::size_t start = 0;
    while (start <= query.size()) {
        std::size_t amp = query.find('&', start);
        std::string_view part = query.substr(
            start, amp == std::string_view::npos ? std::string_view::npos : amp - start);
        if (!part.empty()) {
            std::size_t eq = part.find('=');
            auto name = formDecode(part.substr(0, eq));
            auto value =
                formDecode(eq == std::string_view::npos ? std::string_view() : part.substr(eq + 1));
            if (!name || !value)
                return std::nullopt;
            out.emplace_back(std::move(*name), std::move(*value));
        }
        if (amp == std::string_view::npos)
            break;
        start = amp + 1;
    }
    return out;
}

Error clientError(const std::string& why) {
    return Error(ErrorDomain::oauthAuthorization, OAuthErrorCode::clientError,
                 "The authorization response was refused: " + why);
}

} // namespace

AuthorizationFlowSession::AuthorizationFlowSession(AuthorizationRequest request,
                                                   std::shared_ptr<ExternalUserAgent> userAgent,
                                                   Callback callback)
    : request_(std::move(request)), userAgent_(std::move(userAgent)),
      callback_(std::move(callback)) {}

void AuthorizationFlowSession::start() {
    if (!pending_ || !userAgent_)
        return;
    auto error = userAgent_->present(request_, shared_from_this());
    if (!error)
        return;
    // The caller is still setting up around this flow: report on a later turn.
    platform::host().runLoop().post([self = shared_from_this(), error = *error] {
        if (self->pending_)
            self->finish(std::nullopt, error);
    });
}

bool AuthorizationFlowSession::matchesRedirectURL(std::string_view url,
                                                  const boost::urls::url& redirectURL) {
    auto parsed = boost::urls::parse_uri_reference(url);
    if (!parsed || !parsed->has_scheme())
        return false;
    // RFC 3986 §6.2.2.1: scheme and host compare without regard to case.
    return equalsIgnoringCase(parsed->scheme(), redirectURL.scheme()) &&
           parsed->has_authority() == redirectURL.has_authority() &&
           equalsIgnoringCase(parsed->encoded_host(), redirectURL.encoded_host()) &&
           parsed->port() == redirectURL.port() &&
           parsed->encoded_path() == redirectURL.encoded_path();
}

AuthorizationFlowSession::ResumeResult
AuthorizationFlowSession::resumeWithResult(std::string_view url) {
    // 1. Only the redirect URL of this request is ours.
    if (!matchesRedirectURL(url, request_.redirectURL))
        return {ResumeOutcome::notRedirectURL, {}};
    // 2. Only a pending flow takes it.
    if (!pending_)
        return {ResumeOutcome::notPending, {}};

    // RFC 6749 §4.1.2: the parameters arrive as the redirect URL's query, form-encoded.
    auto parsed = boost::urls::parse_uri_reference(url);
    auto params = decodeForm(parsed->encoded_query());
    if (!params)
        return {ResumeOutcome::ignored, "the parameters are not form-encoded"};
    std::optional<std::string> code, state, error, errorDescription, scope, iss;
    int codeCount = 0, stateCount = 0, errorCount = 0, issCount = 0;
    Parameters others;
    for (auto& [key, value] : *params) {
        if (key == "code") {
            ++codeCount;
            code = value;
        } else if (key == "state") {
            ++stateCount;
            state = value;
        } else if (key == "error") {
            ++errorCount;
            error = value;
        } else if (key == "error_description") {
            errorDescription = value;
        } else if (key == "scope") {
            scope = value;
        } else if (key == "iss") {
            ++issCount;
            iss = value;
        } else {
            others.emplace_back(key, value);
        }
    }

    // 3. The state must come back exactly once and unchanged (RFC 6749 §3.1, §10.12). A return
    // without it may come from any page, so it ends nothing.
    if (request_.state) {
        if (stateCount == 0)
            return {ResumeOutcome::ignored, "the state is missing"};
        if (stateCount != 1)
            return {ResumeOutcome::ignored, "the state appears more than once"};
        if (!constantTimeEquals(*state, *request_.state))
            return {ResumeOutcome::ignored, "the state does not match"};
    } else if (stateCount != 0) {
        return {ResumeOutcome::ignored, "a state came back that was never sent"};
    }

    // 4. RFC 9207 §2.4: the issuer that answered, compared as a simple string (RFC 3986 §6.2.1).
    const auto& issuer = request_.configuration.issuer.buffer();
    if (issCount > 1) {
        finish(std::nullopt, clientError("the issuer appears more than once"));
        return {ResumeOutcome::ended, {}};
    }
    if (iss && *iss != issuer) {
        finish(std::nullopt, clientError("the response comes from another issuer"));
        return {ResumeOutcome::ended, {}};
    }
    if (!iss && request_.configuration.authorizationResponseIssParameterSupported) {
        finish(std::nullopt, clientError("the issuer is missing"));
        return {ResumeOutcome::ended, {}};
    }

    // 5. An error response (RFC 6749 §4.1.2.1).
    if (errorCount > 0) {
        finish(std::nullopt, Error::oauth(errorCount == 1 ? *error : "invalid_request",
                                          errorCount == 1 ? errorDescription : std::nullopt));
        return {ResumeOutcome::ended, {}};
    }
    if (codeCount > 1) {
        finish(std::nullopt, clientError("the code appears more than once"));
        return {ResumeOutcome::ended, {}};
    }
    // 6. The response.
    AuthorizationResponse response;
    response.request = request_;
    response.authorizationCode = code;
    response.state = state;
    response.scope = scope;
    response.additionalParameters = std::move(others);
    finish(std::move(response), std::nullopt);
    return {ResumeOutcome::ended, {}};
}

bool AuthorizationFlowSession::cancel(CancelReason reason) {
    if (!pending_)
        return false;
    finish(std::nullopt,
           reason == CancelReason::user
               ? Error::general(GeneralErrorCode::userCanceledAuthorizationFlow,
                                "The user cancelled the authorization flow.")
               : Error::general(GeneralErrorCode::programCanceledAuthorizationFlow,
                                "The authorization flow was cancelled by the program."));
    return true;
}

void AuthorizationFlowSession::failExternalUserAgentFlow(const Error& error) {
    if (pending_)
        finish(std::nullopt, error);
}

void AuthorizationFlowSession::finish(std::optional<AuthorizationResponse> response,
                                      std::optional<Error> error) {
    pending_ = false;
    // However the flow ended, its page closes and the flow lets go of the user agent: a page
    // still showing would hold the flow (through its completion) while the flow holds it.
    if (auto agent = std::move(userAgent_)) {
        userAgent_.reset();
        agent->dismiss();
    }
    // The callback runs once; dropping it releases what it holds.
    auto callback = std::move(callback_);
    callback_ = nullptr;
    if (callback)
        callback(std::move(response), std::move(error));
}

} // namespace oidc
