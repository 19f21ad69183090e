// Sign in with Apple: the platform's Apple ID sheet, asked for one credential. Implemented by
// Sim (scripted by tests); a host without the sheet reports itself unavailable. Main thread
// only; the completion runs on the main thread, once.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Window;

// The authorization error domain and the code of a sheet the user closed.
namespace AppleIDAuthorizationError {
inline constexpr std::string_view domain = "com.apple.AuthenticationServices.AuthorizationError";
inline constexpr long canceled = 1001;
} // namespace AppleIDAuthorizationError

// The scopes a request may ask for.
namespace AppleIDScope {
inline constexpr std::string_view fullName = "full_name";
inline constexpr std::string_view email = "email";
} // namespace AppleIDScope

// What the sheet hands back: an Apple ID credential, or another kind of credential.
struct AppleIDCredential {
    bool isAppleIDCredential = true;
    std::optional<std::vector<std::uint8_t>> authorizationCode;
    std::optional<std::vector<std::uint8_t>> identityToken;
    // The stable user identifier.
    std::string user;
    std::optional<std::string> givenName;
    std::optional<std::string> familyName;
    // Given only on the first authorization.
    std::optional<std::string> email;
};

struct AppleIDAuthorizationFailure {
    std::string domain;
    long code = 0;
    std::string localizedDescription;
};

class AppleIDAuthorization {
public:
    using Completion = std::function<void(std::optional<AppleIDCredential> credential,
                                          std::optional<AppleIDAuthorizationFailure> failure)>;

    virtual ~AppleIDAuthorization() = default;
    // Whether this host can show the sheet at all.
    virtual bool isAvailable() const = 0;
    // Shows the sheet for one request with `scopes`, attached to `anchor`; `completion` gets a
    // credential or a failure.
    virtual void performRequest(std::vector<std::string> scopes, std::shared_ptr<Window> anchor,
                                Completion completion) = 0;
};

// A host without the sheet: unavailable, and a request fails on the spot.
class UnavailableAppleIDAuthorization final : public AppleIDAuthorization {
public:
    bool isAvailable() const override { return false; }
    void performRequest(std::vector<std::string>, std::shared_ptr<Window>,
                        Completion completion) override;
};

// The installed host's Apple ID sheet.
AppleIDAuthorization& appleIDAuthorization();

} // namespace platform
