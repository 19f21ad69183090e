// Sign in with Apple through the platform's Apple ID sheet: asks for a credential with the
// full-name and e-mail scopes and returns its one-time authorization code and identity token.
// The sheet runs on the main thread; the delegate and presentation provider keep each other
// alive while it is up and let go once it has answered.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneConfig.h"
#include "Platform/AppleIDAuthorization.h"

#include <boost/asio/awaitable.hpp>

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {
class Window;
}

namespace corvane {

class SignInWithAppleDriver {
public:
    // The outcome of the sheet.
    struct AppleAuthorization {
        std::string authorizationCode;
        std::optional<std::string> identityToken;
        std::string userIdentifier;
        std::optional<std::string> givenName;
        std::optional<std::string> familyName;
        std::optional<std::string> email;
    };

    // The reason of the failure on a host without the sheet.
    static const char* const unavailableReason;

    explicit SignInWithAppleDriver(CorvaneConfig config) : config_(std::move(config)) {}

    // Shows the sheet attached to `from` (or to an empty window when there is none). Throws
    // CorvaneError: authorizationCancelled when the user closes it, authorizationFailed with
    // "siwa_missing_credential", "siwa_missing_authcode" or the failure's description otherwise.
    boost::asio::awaitable<AppleAuthorization> authorize(std::shared_ptr<platform::Window> from);

    const CorvaneConfig& config() const { return config_; }

private:
    CorvaneConfig config_;
};

// The window the sheet is attached to.
class PresentationProvider {
public:
    explicit PresentationProvider(std::shared_ptr<platform::Window> anchorRef)
        : anchorRef(std::move(anchorRef)) {}
    // The anchor window, or a new empty window when there is none.
    std::shared_ptr<platform::Window> presentationAnchor() const;

    std::shared_ptr<platform::Window> anchorRef;
};

// Turns the sheet's answer into the result of the waiting call, exactly once.
class SIWADelegate {
public:
    using Continuation =
        std::function<void(std::exception_ptr, SignInWithAppleDriver::AppleAuthorization)>;

    void didCompleteWithAuthorization(const platform::AppleIDCredential& credential);
    void didCompleteWithError(const platform::AppleIDAuthorizationFailure& failure);

    std::optional<Continuation> continuation;
    // What the sheet keeps alive while it is up (this delegate and the presentation provider).
    std::vector<std::shared_ptr<void>> retainCycleBreakers;

private:
    void finish(std::exception_ptr error, SignInWithAppleDriver::AppleAuthorization result);
};

} // namespace corvane
