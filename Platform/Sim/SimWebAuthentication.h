// The simulated Mac's default browser (a recorder of opened URLs) and web authentication
// sessions (scripted: a test completes each with a callback URL, a user cancel or a failure).
// Single-threaded: runs on the sim run loop; completions arrive on a later turn.
#pragma once

#include "Platform/Browser.h"
#include "Platform/RunLoop.h"
#include "Platform/WebAuthenticationSession.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform::sim {

class SimBrowser final : public Browser {
public:
    bool openURL(const std::string& url) override;

    // --- test side ---
    // Every URL opened, in order.
    std::vector<std::string> openedURLs;
    // When false, openURL() fails (no browser installed).
    bool available = true;
};

class SimWebAuthenticationSession final : public WebAuthenticationSession {
public:
    enum class Phase { created, presenting, completed, cancelled };

    SimWebAuthenticationSession(RunLoop& loop, std::string url, std::string callbackURLScheme,
                                Completion completion);

    bool start(std::shared_ptr<Window> presentingWindow) override;
    void cancel() override;

    // --- test side ---
    const std::string& url() const { return url_; }
    const std::string& callbackURLScheme() const { return callbackURLScheme_; }
    Phase phase() const { return phase_; }
    std::shared_ptr<Window> presentingWindow() const { return window_.lock(); }
    // The page navigates to `url`: when its scheme is the callback scheme the session completes
    // with it (true); otherwise the page just shows it (false). Only while presenting.
    bool navigate(const std::string& url);
    // The user closes the page: completes with canceledLogin. Only while presenting.
    bool userCancel();
    // Completes with a failure of this code. Only while presenting.
    bool fail(int code);

private:
    void finish(std::optional<std::string> url, std::optional<WebAuthenticationFailure> failure);

    RunLoop& loop_;
    std::string url_;
    std::string callbackURLScheme_;
    Completion completion_;
    std::weak_ptr<Window> window_;
    Phase phase_ = Phase::created;
};

class SimWebAuthenticationSessions final : public WebAuthenticationSessions {
public:
    explicit SimWebAuthenticationSessions(RunLoop& loop) : loop_(loop) {}

    std::shared_ptr<WebAuthenticationSession>
    makeSession(const std::string& url, const std::string& callbackURLScheme,
                WebAuthenticationSession::Completion completion) override;

    // --- test side ---
    // Every session made, in order.
    const std::vector<std::shared_ptr<SimWebAuthenticationSession>>& sessions() const {
        return sessions_;
    }
    // The last session that is presenting, if any.
    std::shared_ptr<SimWebAuthenticationSession> presenting() const;
    // The process ended: open pages close without reporting (their completions, and what
    // those hold, are dropped) and every session is forgotten.
    void reset();

private:
    RunLoop& loop_;
    std::vector<std::shared_ptr<SimWebAuthenticationSession>> sessions_;
};

} // namespace platform::sim
