// The browser half of a sign-in: discovers the authority's configuration, builds the
// authorization-code request with PKCE, shows it in a web authentication session attached to a
// window or in the default browser, and turns the redirect into an OAuthAuthorizationResult.
// Lives in a std::shared_ptr (its callbacks hold it weakly). The async operations may be
// awaited on the library executor; resume() and cancelInFlight() belong to the main thread.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneConfig.h"
#include "OIDC/AuthorizationRequest.h"
#include "OIDC/ServiceConfiguration.h"

#include <boost/asio/awaitable.hpp>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace oidc {
class AuthorizationFlowSession;
}
namespace platform {
class Timer;
class Window;
} // namespace platform

namespace corvane {

class CancelSwitch;

struct OAuthAuthorizationResult {
    std::string authorizationCode;
    std::optional<std::string> codeVerifier;
    std::optional<std::string> state;

    bool operator==(const OAuthAuthorizationResult&) const = default;
};

class OAuthDriver : public std::enable_shared_from_this<OAuthDriver> {
public:
    // Which sign-in method the identity service opens directly.
    enum class ProviderHint { apple, google, email };

    // Seconds a browser sign-in may wait for its redirect before it is cancelled.
    static constexpr double browserFlowTimeout = 300;

    // Stores the config and its logger; no flow in progress.
    explicit OAuthDriver(CorvaneConfig config);
    // A flow still in progress ends with the program's cancel (its awaiter gets
    // CancellationError).
    ~OAuthDriver();
    OAuthDriver(const OAuthDriver&) = delete;
    OAuthDriver& operator=(const OAuthDriver&) = delete;

    // The authority's OpenID configuration. Throws CorvaneError (authorizationFailed with the
    // error's description; logged as "oauth_discovery_failed"); CancellationError when the
    // awaiting operation is cancelled.
    boost::asio::awaitable<oidc::ServiceConfiguration> discoverConfiguration();

    // Signs in through a web authentication session attached to `from`. A flow already in
    // progress is replaced (it ends with the program's cancel). Throws CorvaneError
    // (authorizationCancelled when the user or the host cancels, authorizationFailed
    // otherwise); CancellationError when the awaiting operation is cancelled.
    boost::asio::awaitable<OAuthAuthorizationResult>
    authorize(std::shared_ptr<platform::Window> from, std::optional<ProviderHint> provider);

    // Signs in through the default browser; the redirect comes back through resume(). Refused
    // with authorizationFailed("sign_in_already_in_progress") while a flow is in progress; a
    // flow left unanswered for 300 seconds ends with authorizationCancelled. Throws as
    // authorize().
    boost::asio::awaitable<OAuthAuthorizationResult>
    authorizeViaSystemBrowser(std::optional<ProviderHint> provider);

    // Hands a redirect URL to the flow in progress: true when it ended the flow. A URL that is
    // not the redirect URI, or a return that does not carry the request's state (anyone may open
    // the redirect URI), is refused with false and the flow keeps waiting; the latter is logged
    // as "oauth_redirect_ignored". False when no flow is in progress.
    bool resume(const std::string& url);
    // Cancels every sign-in of this driver, whatever its phase (discovery, the browser), and
    // each ends with authorizationCancelled; nothing of them happens afterwards. False when
    // none was running.
    bool cancelInFlight();

    // Whether a flow is in progress.
    bool hasSessionInProgress() const { return current_.has_value(); }
    const CorvaneConfig& config() const { return config_; }

private:
    enum class Presentation { webAuthenticationSession, systemBrowser };
    struct FlowOutcome;
    struct FlowHandle;
    struct InFlight {
        std::shared_ptr<oidc::AuthorizationFlowSession> flow;
        std::uint64_t id = 0;
        std::shared_ptr<platform::Timer> timer;
    };

    boost::asio::awaitable<OAuthAuthorizationResult> run(Presentation presentation,
                                                         std::shared_ptr<platform::Window> window,
                                                         std::optional<ProviderHint> provider);
    // Presents `request` on the main thread and completes, on the awaiting executor, when its
    // flow ends.
    static boost::asio::awaitable<FlowOutcome>
    presentAndWait(std::weak_ptr<OAuthDriver> driver, Presentation presentation,
                   std::shared_ptr<platform::Window> window, oidc::AuthorizationRequest request,
                   std::shared_ptr<CancelSwitch> running);
    // Main thread: the start of a flow, its end, and the browser path's timer.
    void startFlow(Presentation presentation, std::shared_ptr<platform::Window> window,
                   oidc::AuthorizationRequest request, std::function<void(FlowOutcome)> complete,
                   std::shared_ptr<FlowHandle> handle);
    void flowEnded(std::uint64_t id);
    void timerFired(std::uint64_t id);
    // Any thread: the sign-ins between their start and their end.
    void addRunning(const std::shared_ptr<CancelSwitch>& running);
    void removeRunning(const std::shared_ptr<CancelSwitch>& running);

    CorvaneConfig config_;
    CorvaneLogger logger_;
    // The flow in progress, the id it was started with, and the browser path's timer.
    std::optional<InFlight> current_;
    std::uint64_t nextFlowID_ = 1;
    // Every sign-in that has started and not yet ended, whatever its phase.
    std::mutex runningLock_;
    std::vector<std::weak_ptr<CancelSwitch>> running_;
};

std::string_view rawValue(OAuthDriver::ProviderHint hint);
std::optional<OAuthDriver::ProviderHint> providerHintFromRaw(std::string_view raw);

} // namespace corvane
