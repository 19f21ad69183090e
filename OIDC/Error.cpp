#include "OIDC/Error.h"

#include <array>
#include <utility>

namespace oidc {

namespace {

// Server-sent texts end up in user-facing messages: keep them short and printable.
std::string printable(std::string_view text) {
    constexpr std::size_t limit = 200;
    std::string out;
    for (char c : text.substr(0, limit)) {
        auto u = static_cast<unsigned char>(c);
        out.push_back(u < 0x20 || u == 0x7f ? ' ' : c);
    }
    return out;
}

} // namespace

int OAuthErrorCode::fromOAuthError(std::string_view error) {
    static constexpr std::array<std::pair<std::string_view, int>, 7> codes{{
        {"invalid_request", invalidRequest},
        {"unauthorized_client", unauthorizedClient},
        {"access_denied", accessDenied},
        {"unsupported_response_type", unsupportedResponseType},
        {"invalid_scope", invalidScope},
        {"server_error", serverError},
        {"temporarily_unavailable", temporarilyUnavailable},
    }};
    for (const auto& [name, code] : codes)
        if (name == error)
            return code;
    return other;
}

Error::Error(std::string_view domain, int code, std::string localizedDescription)
    : domain_(domain), code_(code), description_(std::move(localizedDescription)) {}

Error Error::general(int code, std::string localizedDescription) {
    return Error(ErrorDomain::general, code, std::move(localizedDescription));
}

Error Error::oauth(std::string error, std::optional<std::string> errorDescription) {
    // Only a code that RFC 6749 §4.1.2.1 lists is described; anything else the server (or a
    // page posing as it) wrote stays out of the description, which users may read.
    const int code = OAuthErrorCode::fromOAuthError(error);
    Error e(ErrorDomain::oauthAuthorization, code,
            code == OAuthErrorCode::other ? std::string("unknown") : error);
    e.oauthError_ = printable(error);
    e.oauthErrorDescription_ = std::move(errorDescription);
    return e;
}

} // namespace oidc
