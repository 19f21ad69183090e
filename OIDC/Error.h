// The OAuth client's one error type: a domain, a code and a localized description, with the
// OAuth error code and description when the authorization server sent them. Plain value.
#pragma once

#include <exception>
#include <optional>
#include <string>
#include <string_view>

namespace oidc {

// Error domains.
namespace ErrorDomain {
// Failures of the client itself: discovery documents, cancels, networking, user agents.
inline constexpr std::string_view general = "org.openid.appauth.general";
// An error response of the authorization endpoint (RFC 6749 §4.1.2.1), or a response that the
// client refuses (a missing or different state).
inline constexpr std::string_view oauthAuthorization = "org.openid.appauth.oauth_authorization";
// A non-2xx HTTP answer; the code is the HTTP status.
inline constexpr std::string_view remoteHTTP = "org.openid.appauth.remote-http";
} // namespace ErrorDomain

// Codes of the general domain.
namespace GeneralErrorCode {
inline constexpr int invalidDiscoveryDocument = -2;
// The user closed the flow (or the host cancelled it on the user's behalf).
inline constexpr int userCanceledAuthorizationFlow = -3;
// The program itself abandoned the flow (replaced, torn down, or its awaiting task cancelled).
inline constexpr int programCanceledAuthorizationFlow = -4;
inline constexpr int networkError = -5;
inline constexpr int jsonDeserializationError = -7;
inline constexpr int browserOpenError = -10;
// A request that cannot be built as given (bad URL, clashing parameter, no random source).
inline constexpr int invalidRequest = -20;
} // namespace GeneralErrorCode

// Codes of the OAuth authorization domain, from the "error" parameter (RFC 6749 §4.1.2.1).
namespace OAuthErrorCode {
inline constexpr int invalidRequest = -2;
inline constexpr int unauthorizedClient = -3;
inline constexpr int accessDenied = -4;
inline constexpr int unsupportedResponseType = -5;
inline constexpr int invalidScope = -6;
inline constexpr int serverError = -7;
inline constexpr int temporarilyUnavailable = -8;
// The response broke the protocol on the client's side (state missing or different).
inline constexpr int clientError = -0xEFFF;
// An error code that RFC 6749 §4.1.2.1 does not list.
inline constexpr int other = -0xF000;

int fromOAuthError(std::string_view error);
} // namespace OAuthErrorCode

class Error : public std::exception {
public:
    Error(std::string_view domain, int code, std::string localizedDescription);

    // A general-domain error.
    static Error general(int code, std::string localizedDescription);
    // The error response of the authorization endpoint. The localized description is the
    // error code when RFC 6749 §4.1.2.1 lists it, else "unknown": never the server's free text.
    static Error oauth(std::string error, std::optional<std::string> errorDescription);

    const std::string& domain() const { return domain_; }
    int code() const { return code_; }
    const std::string& localizedDescription() const { return description_; }
    // The "error" parameter of an OAuth error response (cut to 200 bytes, controls blanked), and
    // its "error_description" as sent: untrusted text, to be made safe before it is logged.
    const std::optional<std::string>& oauthError() const { return oauthError_; }
    const std::optional<std::string>& oauthErrorDescription() const {
        return oauthErrorDescription_;
    }

    bool isUserCancel() const {
        return domain_ == ErrorDomain::general &&
               code_ == GeneralErrorCode::userCanceledAuthorizationFlow;
    }
    bool isProgramCancel() const {
        return domain_ == ErrorDomain::general &&
               code_ == GeneralErrorCode::programCanceledAuthorizationFlow;
    }

    const char* what() const noexcept override { return description_.c_str(); }

private:
    std::string domain_;
    int code_;
    std::string description_;
    std::optional<std::string> oauthError_;
    std::optional<std::string> oauthErrorDescription_;
};

} // namespace oidc
