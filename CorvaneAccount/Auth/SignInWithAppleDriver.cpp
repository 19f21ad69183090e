#include "CorvaneAccount/Auth/SignInWithAppleDriver.h"

#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "Platform/Host.h"
#include "Platform/MainExecutor.h"
#include "Platform/Window.h"

#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

namespace corvane {

namespace asio = boost::asio;
using AppleAuthorization = SignInWithAppleDriver::AppleAuthorization;

namespace {

// The bytes as text when they are valid UTF-8.
std::optional<std::string> utf8Text(const std::optional<std::vector<std::uint8_t>>& bytes) {
    if (!bytes)
        return std::nullopt;
    std::string text(bytes->begin(), bytes->end());
    std::size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        std::size_t length = c < 0x80           ? 1
                             : (c >> 5) == 0x6  ? 2
                             : (c >> 4) == 0xE  ? 3
                             : (c >> 3) == 0x1E ? 4
                                                : 0;
        if (length == 0 || i + length > text.size())
            return std::nullopt;
        for (std::size_t k = 1; k < length; ++k)
            if ((static_cast<unsigned char>(text[i + k]) >> 6) != 0x2)
                return std::nullopt;
        i += length;
    }
    return text;
}

} // namespace

const char* const SignInWithAppleDriver::unavailableReason =
    "Sign in with Apple is not available on this system.";

std::shared_ptr<platform::Window> PresentationProvider::presentationAnchor() const {
    if (anchorRef)
        return anchorRef;
    return platform::host().makeWindow(platform::WindowAttributes{}, false);
}

void SIWADelegate::finish(std::exception_ptr error, AppleAuthorization result) {
    // A late or second answer finds no continuation and does nothing.
    if (!continuation)
        return;
    auto resume = std::move(*continuation);
    continuation.reset();
    // Let the objects go only after this call is done with them.
    auto keep = std::move(retainCycleBreakers);
    retainCycleBreakers.clear();
    resume(std::move(error), std::move(result));
}

void SIWADelegate::didCompleteWithAuthorization(const platform::AppleIDCredential& credential) {
    if (!credential.isAppleIDCredential) {
        finish(
            std::make_exception_ptr(CorvaneError::authorizationFailed("siwa_missing_credential")),
            {});
        return;
    }
    const std::optional<std::string> code = utf8Text(credential.authorizationCode);
    if (!code) {
        finish(std::make_exception_ptr(CorvaneError::authorizationFailed("siwa_missing_authcode")),
               {});
        return;
    }
    AppleAuthorization result{*code,
                              utf8Text(credential.identityToken),
                              credential.user,
                              credential.givenName,
                              credential.familyName,
                              credential.email};
    finish(nullptr, std::move(result));
}

void SIWADelegate::didCompleteWithError(const platform::AppleIDAuthorizationFailure& failure) {
    const bool cancelled = failure.domain == platform::AppleIDAuthorizationError::domain &&
                           failure.code == platform::AppleIDAuthorizationError::canceled;
    finish(std::make_exception_ptr(
               cancelled ? CorvaneError::authorizationCancelled()
                         : CorvaneError::authorizationFailed(failure.localizedDescription)),
           {});
}

asio::awaitable<AppleAuthorization>
SignInWithAppleDriver::authorize(std::shared_ptr<platform::Window> from) {
    // A host without the sheet fails at once, with a text a person can act on.
    if (!platform::host().appleIDAuthorization().isAvailable())
        throw CorvaneError::authorizationFailed(unavailableReason);
    // The sheet, its delegate and the anchor live on the main thread; the caller resumes on its
    // own executor once the sheet has answered.
    auto sheet = asio::async_initiate<const asio::use_awaitable_t<>&,
                                      void(std::exception_ptr, AppleAuthorization)>(
        [from](auto handler) {
            using Handler = decltype(handler);
            auto executor = asio::get_associated_executor(handler);
            auto boxed = std::make_shared<Handler>(std::move(handler));
            platform::mainExecutor().loop().post([from, executor, boxed] {
                auto delegate = std::make_shared<SIWADelegate>();
                auto provider = std::make_shared<PresentationProvider>(from);
                delegate->continuation = [executor, boxed](std::exception_ptr e,
                                                           AppleAuthorization result) {
                    asio::post(executor, [boxed, e, result = std::move(result)]() mutable {
                        std::move (*boxed)(e, std::move(result));
                    });
                };
                delegate->retainCycleBreakers = {delegate, provider};
                std::weak_ptr<SIWADelegate> weak = delegate;
                platform::host().appleIDAuthorization().performRequest(
                    {std::string(platform::AppleIDScope::fullName),
                     std::string(platform::AppleIDScope::email)},
                    provider->presentationAnchor(),
                    [weak](std::optional<platform::AppleIDCredential> credential,
                           std::optional<platform::AppleIDAuthorizationFailure> failure) {
                        auto delegate = weak.lock();
                        if (!delegate)
                            return;
                        if (credential)
                            delegate->didCompleteWithAuthorization(*credential);
                        else
                            delegate->didCompleteWithError(
                                failure.value_or(platform::AppleIDAuthorizationFailure{}));
                    });
            });
        },
        asio::use_awaitable);
    co_return co_await std::move(sheet);
}

} // namespace corvane
