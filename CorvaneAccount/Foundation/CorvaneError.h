// The library's one error type: every public operation throws a CorvaneError (or, when the
// program itself cancels an operation, a CancellationError).
#pragma once

#include <cstdint>
#include <exception>
#include <optional>
#include <string>

namespace corvane {

class CorvaneError : public std::exception {
public:
    // The cases, in declaration order.
    enum class Kind {
        serverError,
        malformedResponse,
        authorizationFailed,
        keychainFailure,
        clientKilled,
        requiresUpgrade,
        dpopUnavailable,
        notSignedIn,
        sessionExpired,
        networkUnavailable,
        authorizationCancelled,
    };

    static CorvaneError serverError(int status, std::optional<std::string> code = std::nullopt);
    static CorvaneError malformedResponse(std::optional<std::string> field = std::nullopt);
    static CorvaneError authorizationFailed(std::string reason);
    // `status` is a Keychain status code (OSStatus).
    static CorvaneError keychainFailure(std::int32_t status);
    // `replacement` is the absolute text of the URL of a replacement, when the service gave one.
    static CorvaneError clientKilled(std::optional<std::string> replacement = std::nullopt);
    static CorvaneError requiresUpgrade(std::string minVersion);
    static CorvaneError dpopUnavailable(std::string reason);
    static CorvaneError notSignedIn();
    static CorvaneError sessionExpired();
    static CorvaneError networkUnavailable();
    static CorvaneError authorizationCancelled();

    Kind kind() const { return kind_; }

    // Payloads. Each reader is meaningful only for the cases named; otherwise it returns the
    // empty value (0, nullopt or "").
    // serverError: the HTTP status; keychainFailure: the Keychain status.
    std::int32_t status() const { return status_; }
    // serverError: the service's error code.
    const std::optional<std::string>& code() const { return optionalText_; }
    // malformedResponse: the field that could not be read.
    const std::optional<std::string>& field() const { return optionalText_; }
    // clientKilled: the replacement URL.
    const std::optional<std::string>& replacement() const { return optionalText_; }
    // authorizationFailed, dpopUnavailable: the reason.
    const std::string& reason() const { return text_; }
    // requiresUpgrade: the minimum version.
    const std::string& minVersion() const { return text_; }

    // The user-facing description.
    const std::string& errorDescription() const { return description_; }
    const char* what() const noexcept override { return description_.c_str(); }

    // Equal when case and payloads are equal.
    bool operator==(const CorvaneError& other) const {
        return kind_ == other.kind_ && status_ == other.status_ &&
               optionalText_ == other.optionalText_ && text_ == other.text_;
    }

private:
    CorvaneError(Kind kind, std::int32_t status, std::optional<std::string> optionalText,
                 std::string text);

    Kind kind_;
    std::int32_t status_ = 0;
    std::optional<std::string> optionalText_;
    std::string text_;
    std::string description_;
};

// The program's own cancellation of an operation (a task cancelled, a deadline passed by the
// caller); distinct from CorvaneError::authorizationCancelled, which is the user's cancel.
class CancellationError : public std::exception {
public:
    const char* what() const noexcept override { return "The operation was cancelled."; }
};

} // namespace corvane
