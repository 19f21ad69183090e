#include "CorvaneAccount/Foundation/CorvaneError.h"

#include <utility>

namespace corvane {

namespace {

std::string describe(CorvaneError::Kind kind, std::int32_t status,
                     const std::optional<std::string>& optionalText, const std::string& text) {
    using Kind = CorvaneError::Kind;
    switch (kind) {
    case Kind::serverError: {
        std::string s = "Server error (" + std::to_string(status);
        if (optionalText)
            s += " \u2014 " + *optionalText;
        return s + ").";
    }
    case Kind::malformedResponse: {
        std::string s = "Couldn't read the server response";
        if (optionalText)
            s += " (" + *optionalText + ")";
        return s + ".";
    }
    case Kind::authorizationFailed:
        return "Sign-in failed: " + text;
    case Kind::keychainFailure:
        return "Couldn't read your stored sign-in (" + std::to_string(status) + ").";
    case Kind::clientKilled:
        return "This version is no longer supported. Please update.";
    case Kind::requiresUpgrade:
        return "Please update to version " + text + " or later.";
    case Kind::dpopUnavailable:
        return "Device security key unavailable: " + text;
    case Kind::notSignedIn:
        return "Sign in to continue.";
    case Kind::sessionExpired:
        return "Your session expired. Please sign in again.";
    case Kind::networkUnavailable:
        return "Can't reach the network. Try again.";
    case Kind::authorizationCancelled:
        return "Sign-in was cancelled.";
    }
    return {};
}

} // namespace

CorvaneError::CorvaneError(Kind kind, std::int32_t status, std::optional<std::string> optionalText,
                           std::string text)
    : kind_(kind), status_(status), optionalText_(std::move(optionalText)), text_(std::move(text)),
      description_(describe(kind_, status_, optionalText_, text_)) {}

CorvaneError CorvaneError::serverError(int status, std::optional<std::string> code) {
    return CorvaneError(Kind::serverError, status, std::move(code), {});
}

CorvaneError CorvaneError::malformedResponse(std::optional<std::string> field) {
    return CorvaneError(Kind::malformedResponse, 0, std::move(field), {});
}

CorvaneError CorvaneError::authorizationFailed(std::string reason) {
    return CorvaneError(Kind::authorizationFailed, 0, std::nullopt, std::move(reason));
}

CorvaneError CorvaneError::keychainFailure(std::int32_t status) {
    return CorvaneError(Kind::keychainFailure, status, std::nullopt, {});
}

CorvaneError CorvaneError::clientKilled(std::optional<std::string> replacement) {
    return CorvaneError(Kind::clientKilled, 0, std::move(replacement), {});
}

CorvaneError CorvaneError::requiresUpgrade(std::string minVersion) {
    return CorvaneError(Kind::requiresUpgrade, 0, std::nullopt, std::move(minVersion));
}

CorvaneError CorvaneError::dpopUnavailable(std::string reason) {
    return CorvaneError(Kind::dpopUnavailable, 0, std::nullopt, std::move(reason));
}

CorvaneError CorvaneError::notSignedIn() {
    return CorvaneError(Kind::notSignedIn, 0, std::nullopt, {});
}

CorvaneError CorvaneError::sessionExpired() {
    return CorvaneError(Kind::sessionExpired, 0, std::nullopt, {});
}

CorvaneError CorvaneError::networkUnavailable() {
    return CorvaneError(Kind::networkUnavailable, 0, std::nullopt, {});
}

CorvaneError CorvaneError::authorizationCancelled() {
    return CorvaneError(Kind::authorizationCancelled, 0, std::nullopt, {});
}

} // namespace corvane
