// A web authentication session: shows a sign-in page and ends when the page navigates to a URL
// of the callback scheme. Implemented by Sim (scripted by tests) and Desktop (the browser plus
// the application's URL-scheme return). Main thread only; the completion runs on the main thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

class Window;

// The session's error domain and codes, numbered as the platform numbers them.
namespace WebAuthenticationSessionError {
inline constexpr std::string_view domain =
    "com.apple.AuthenticationServices.WebAuthenticationSession";
// The user dismissed the page.
inline constexpr int canceledLogin = 1;
// start() without a window to present from.
inline constexpr int presentationContextNotProvided = 2;
// The window cannot present the page (closed, or nothing could show it).
inline constexpr int presentationContextInvalid = 3;
} // namespace WebAuthenticationSessionError

struct WebAuthenticationFailure {
    int code = 0;
    std::string localizedDescription;

    bool isCanceledLogin() const { return code == WebAuthenticationSessionError::canceledLogin; }
    static WebAuthenticationFailure make(int code);
};

class WebAuthenticationSession {
public:
    // Exactly one of the callback URL and the failure is set.
    using Completion = std::function<void(std::optional<std::string> callbackURL,
                                          std::optional<WebAuthenticationFailure> failure)>;

    virtual ~WebAuthenticationSession() = default;
    // Shows the page attached to `presentingWindow`. False when it cannot be shown (the
    // completion then still reports why, on a later turn). A session starts once.
    virtual bool start(std::shared_ptr<Window> presentingWindow) = 0;
    // Dismisses the page; the completion is not called afterwards.
    virtual void cancel() = 0;
};

class WebAuthenticationSessions {
public:
    virtual ~WebAuthenticationSessions() = default;
    // A session for `url` that completes with the first URL of `callbackURLScheme` (compared
    // case-insensitively), or with a failure. The completion runs at most once.
    virtual std::shared_ptr<WebAuthenticationSession>
    makeSession(const std::string& url, const std::string& callbackURLScheme,
                WebAuthenticationSession::Completion completion) = 0;
};

// The installed host's web authentication sessions.
WebAuthenticationSessions& webAuthenticationSessions();

} // namespace platform
