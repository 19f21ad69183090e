#include "Platform/Sim/SimWebAuthentication.h"

#include "Platform/Window.h"

#include <algorithm>
#include <cctype>

namespace platform::sim {

namespace {

// The scheme of an absolute URL, lower-cased; empty when there is none.
std::string schemeOf(const std::string& url) {
    auto colon = url.find(':');
    if (colon == std::string::npos || colon == 0)
        return {};
    std::string scheme = url.substr(0, colon);
    for (char& c : scheme)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return scheme;
}

} // namespace

bool SimBrowser::openURL(const std::string& url) {
    if (!available)
        return false;
    openedURLs.push_back(url);
    return true;
}

SimWebAuthenticationSession::SimWebAuthenticationSession(RunLoop& loop, std::string url,
                                                         std::string callbackURLScheme,
                                                         Completion completion)
    : loop_(loop), url_(std::move(url)), callbackURLScheme_(std::move(callbackURLScheme)),
      completion_(std::move(completion)) {}

bool SimWebAuthenticationSession::start(std::shared_ptr<Window> presentingWindow) {
    if (phase_ != Phase::created)
        return false;
    if (!presentingWindow) {
        finish(std::nullopt, WebAuthenticationFailure::make(
                                 WebAuthenticationSessionError::presentationContextNotProvided));
        return false;
    }
    window_ = presentingWindow;
    phase_ = Phase::presenting;
    return true;
}

void SimWebAuthenticationSession::cancel() {
    if (phase_ == Phase::created || phase_ == Phase::presenting) {
        phase_ = Phase::cancelled;
        completion_ = nullptr;
    }
}

bool SimWebAuthenticationSession::navigate(const std::string& url) {
    if (phase_ != Phase::presenting)
        return false;
    std::string expected = callbackURLScheme_;
    for (char& c : expected)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (schemeOf(url) != expected)
        return false;
    finish(url, std::nullopt);
    return true;
}

bool SimWebAuthenticationSession::userCancel() {
    return fail(WebAuthenticationSessionError::canceledLogin);
}

bool SimWebAuthenticationSession::fail(int code) {
    if (phase_ != Phase::presenting)
        return false;
    finish(std::nullopt, WebAuthenticationFailure::make(code));
    return true;
}

void SimWebAuthenticationSession::finish(std::optional<std::string> url,
                                         std::optional<WebAuthenticationFailure> failure) {
    phase_ = Phase::completed;
    auto completion = std::move(completion_);
    completion_ = nullptr;
    if (!completion)
        return;
    // As on the platform, the completion arrives on the main thread on a later turn.
    loop_.post([completion = std::move(completion), url = std::move(url),
                failure = std::move(failure)] { completion(url, failure); });
}

std::shared_ptr<WebAuthenticationSession>
SimWebAuthenticationSessions::makeSession(const std::string& url,
                                          const std::string& callbackURLScheme,
                                          WebAuthenticationSession::Completion completion) {
    auto session = std::make_shared<SimWebAuthenticationSession>(loop_, url, callbackURLScheme,
                                                                 std::move(completion));
    sessions_.push_back(session);
    return session;
}

void SimWebAuthenticationSessions::reset() {
    auto sessions = std::move(sessions_);
    sessions_.clear();
    for (auto& session : sessions)
        session->cancel();
}

std::shared_ptr<SimWebAuthenticationSession> SimWebAuthenticationSessions::presenting() const {
    auto it = std::find_if(sessions_.rbegin(), sessions_.rend(), [](const auto& s) {
        return s->phase() == SimWebAuthenticationSession::Phase::presenting;
    });
    return it == sessions_.rend() ? nullptr : *it;
}

} // namespace platform::sim
