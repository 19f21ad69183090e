// Web authentication sessions served by the default browser (DesktopBrowser): a session opens its
// page in the browser, and completes when the application is handed a URL of its callback scheme
// (the `quillet://` handler forwards it to DesktopHost::openURLs, which offers it here first). Main
// thread only.
#pragma once

#include "Platform/Browser.h"
#include "Platform/RunLoop.h"
#include "Platform/WebAuthenticationSession.h"

#include <memory>
#include <string>
#include <vector>

namespace desktop {

class DesktopWebAuthenticationSession;

class DesktopWebAuthenticationSessions final : public platform::WebAuthenticationSessions {
public:
    DesktopWebAuthenticationSessions(platform::RunLoop& loop, platform::Browser& browser)
        : loop_(loop), browser_(browser) {}

    std::shared_ptr<platform::WebAuthenticationSession>
    makeSession(const std::string& url, const std::string& callbackURLScheme,
                platform::WebAuthenticationSession::Completion completion) override;

    // Offers a URL handed to the application: the newest presenting session of its scheme
    // completes with it (true); otherwise it is not one of ours (false).
    bool deliver(const std::string& url);

private:
    friend class DesktopWebAuthenticationSession;
    platform::RunLoop& loop_;
    platform::Browser& browser_;
    // Presenting sessions, oldest first; a session leaves when it completes or is cancelled.
    std::vector<std::weak_ptr<DesktopWebAuthenticationSession>> presenting_;
};

} // namespace desktop
