#include "CorvaneAccount/Auth/OAuthDriver.h"

#include "CorvaneAccount/Foundation/CancelSwitch.h"
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Foundation/CorvaneRedaction.h"
#include "OIDC/AuthorizationService.h"
#include "OIDC/BrowserUserAgent.h"
#include "OIDC/WebAuthenticationUserAgent.h"
#include "Platform/Host.h"
#include "Platform/HttpSession.h"
#include "Platform/RunLoop.h"

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/associated_executor.hpp>
#include <boost/asio/async_result.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <atomic>
#include <vector>

namespace corvane {

namespace asio = boost::asio;
using Classification = CorvaneRedaction::Classification;

struct OAuthDriver::FlowOutcome {
    std::optional<oidc::AuthorizationResponse> response;
    std::optional<oidc::Error> error;
    bool alreadyInProgress = false;
};

// Shared between an awaiting operation, its cancellation handler and its flow.
struct OAuthDriver::FlowHandle {
    std::atomic<bool> done{false};
    // Main thread only.
    bool cancelRequested = false;
    std::weak_ptr<oidc::AuthorizationFlowSession> flow;
};

namespace {

// The metadata of the two failure log lines.
CorvaneRedaction::Metadata failureFields(Classification classification,
                                         std::optional<OAuthDriver::ProviderHint> provider,
                                         const oidc::Error* error) {
    CorvaneRedaction::Metadata m{{"class", std::string(rawValue(classification))}};
    if (provider)
        m["provider"] = std::string(rawValue(*provider));
    if (error) {
        m["error_domain"] = error->domain();
        m["error_code"] = std::to_string(error->code());
        // An error answer's own words go to the log only, made safe; never to the user.
        if (error->oauthError())
            m["oauth_error"] = CorvaneRedaction::logSafeText(*error->oauthError());
        if (error->oauthErrorDescription())
            m["error_description"] = CorvaneRedaction::logSafeText(*error->oauthErrorDescription());
    }
    return m;
}

oidc::Error userCancel() {
    return oidc::Error::general(oidc::GeneralErrorCode::userCanceledAuthorizationFlow,
                                "The user cancelled the authorization flow.");
}

// The user's cancel (general domain, -3) is authorizationCancelled; anything else a failure
// with the error's description.
CorvaneError mapError(const oidc::Error& error) {
    if (error.isUserCancel())
        return CorvaneError::authorizationCancelled();
    return CorvaneError::authorizationFailed(error.localizedDescription());
}

oidc::Parameters additionalParameters(const CorvaneConfig& config,
                                      std::optional<OAuthDriver::ProviderHint> provider) {
    oidc::Parameters p{{"corvane_app_slug", config.appSlug},
                       {"corvane_client_version", config.clientVersion},
                       {"corvane_lib_version", config.libVersion}};
    if (provider) {
        p.emplace_back("provider", std::string(rawValue(*provider)));
        if (*provider == OAuthDriver::ProviderHint::google)
            p.emplace_back("prompt", "select_account");
    }
    return p;
}

asio::awaitable<oidc::ServiceConfiguration> discover(CorvaneConfig config) {
    auto& session = config.urlSession ? *config.urlSession : platform::httpSession();
    try {
        co_return co_await oidc::AuthorizationService::discoverServiceConfigurationForIssuer(
            config.authorityURL, session);
    } catch (const oidc::Error& e) {
        config.log(CorvaneLogLevel::warning, "oauth_discovery_failed",
                   failureFields(Classification::transport, std::nullopt, &e));
        throw mapError(e);
    } catch (const platform::HttpTransportError&) {
        // Only a cancelled fetch gets here: the program's own cancel.
        throw CancellationError();
    }
}

} // namespace

std::string_view rawValue(OAuthDriver::ProviderHint hint) {
    switch (hint) {
    case OAuthDriver::ProviderHint::apple:
        return "apple";
    case OAuthDriver::ProviderHint::google:
        return "google";
    case OAuthDriver::ProviderHint::email:
        return "email";
    }
    return "";
}

std::optional<OAuthDriver::ProviderHint> providerHintFromRaw(std::string_view raw) {
    for (auto hint : {OAuthDriver::ProviderHint::apple, OAuthDriver::ProviderHint::google,
                      OAuthDriver::ProviderHint::email})
        if (rawValue(hint) == raw)
            return hint;
    return std::nullopt;
}

OAuthDriver::OAuthDriver(CorvaneConfig config) : config_(std::move(config)) {
    logger_ = config_.logger;
}

OAuthDriver::~OAuthDriver() {
    // Nobody can resume this flow any more: end it, so that its awaiter does not wait forever.
    if (auto inFlight = std::move(current_)) {
        current_.reset();
        if (inFlight->timer)
            inFlight->timer->invalidate();
        inFlight->flow->cancel(oidc::CancelReason::program);
    }
}

asio::awaitable<oidc::ServiceConfiguration> OAuthDriver::discoverConfiguration() {
    co_return co_await discover(config_);
}

asio::awaitable<OAuthAuthorizationResult>
OAuthDriver::authorize(std::shared_ptr<platform::Window> from,
                       std::optional<ProviderHint> provider) {
    return run(Presentation::webAuthenticationSession, std::move(from), provider);
}

asio::awaitable<OAuthAuthorizationResult>
OAuthDriver::authorizeViaSystemBrowser(std::optional<ProviderHint> provider) {
    return run(Presentation::systemBrowser, nullptr, provider);
}

asio::awaitable<OAuthAuthorizationResult> OAuthDriver::run(Presentation presentation,
                                                           std::shared_ptr<platform::Window> window,
                                                           std::optional<ProviderHint> provider) {
    // After the first suspension only these copies are used: the driver may be gone by then.
    CorvaneConfig config = config_;
    std::weak_ptr<OAuthDriver> self = weak_from_this();

    // From here until it ends, cancelInFlight() ends this sign-in whatever it is doing.
    auto running = std::make_shared<CancelSwitch>(co_await asio::this_coro::executor);
    addRunning(running);
    struct Unregister {
        std::weak_ptr<OAuthDriver> driver;
        std::shared_ptr<CancelSwitch> running;
        ~Unregister() {
            if (auto d = driver.lock())
                d->removeRunning(running);
        }
    } unregister{self, running};
    auto cancelledByUser = [&config, &running, provider] {
        if (!running->cancelled())
            return;
        const oidc::Error error = userCancel();
        config.log(CorvaneLogLevel::info, "oauth_authorize_failed",
                   failureFields(Classification::cancelled, provider, &error));
        throw CorvaneError::authorizationCancelled();
    };

    // The authority's configuration.
    std::optional<oidc::ServiceConfiguration> configuration;
    try {
        configuration = co_await running->awaitCancellable(discover(config));
    } catch (...) {
        // A fetch ended by cancelInFlight() is the user's cancel; anything else as it came.
        cancelledByUser();
        throw;
    }
    cancelledByUser();

    // The request: fresh state, nonce and S256 pair, then our parameters in their order.
    std::optional<oidc::AuthorizationRequest> request;
    try {
        request = oidc::AuthorizationRequest::make(
            std::move(*configuration), config.clientID, config.scopes, config.redirectURI,
            oidc::responseTypeCode, additionalParameters(config, provider));
    } catch (const oidc::Error& e) {
        config.log(CorvaneLogLevel::warning, "oauth_authorize_failed",
                   failureFields(Classification::auth, provider, &e));
        throw mapError(e);
    }

    // Shown on the main thread; wait for the flow to end.
    auto wait = presentAndWait(self, presentation, std::move(window), std::move(*request), running);
    FlowOutcome outcome = co_await std::move(wait);

    // How it ended.
    if (outcome.alreadyInProgress)
        throw CorvaneError::authorizationFailed("sign_in_already_in_progress");
    if (outcome.error) {
        const oidc::Error& error = *outcome.error;
        if (error.isProgramCancel()) {
            config.log(CorvaneLogLevel::info, "oauth_authorize_failed",
                       failureFields(Classification::cancelled, provider, &error));
            throw CancellationError();
        }
        CorvaneError mapped = mapError(error);
        bool cancelled = mapped.kind() == CorvaneError::Kind::authorizationCancelled;
        config.log(cancelled ? CorvaneLogLevel::info : CorvaneLogLevel::warning,
                   "oauth_authorize_failed",
                   failureFields(cancelled ? Classification::cancelled : Classification::auth,
                                 provider, &error));
        throw mapped;
    }
    if (!outcome.response || !outcome.response->authorizationCode ||
        outcome.response->authorizationCode->empty()) {
        config.log(CorvaneLogLevel::warning, "oauth_authorize_failed",
                   failureFields(Classification::auth, provider, nullptr));
        throw CorvaneError::authorizationFailed("empty_response");
    }
    co_return OAuthAuthorizationResult{*outcome.response->authorizationCode,
                                       outcome.response->request.codeVerifier,
                                       outcome.response->state};
}

asio::awaitable<OAuthDriver::FlowOutcome>
OAuthDriver::presentAndWait(std::weak_ptr<OAuthDriver> driver, Presentation presentation,
                            std::shared_ptr<platform::Window> window,
                            oidc::AuthorizationRequest request,
                            std::shared_ptr<CancelSwitch> running) {
    auto initiate = [driver, presentation, window = std::move(window), request = std::move(request),
                     running = std::move(running)](auto handler) mutable {
        using Handler = decltype(handler);
        auto handle = std::make_shared<FlowHandle>();
        auto slot = asio::get_associated_cancellation_slot(handler);
        auto executor = asio::get_associated_executor(handler);
        // asio handlers are move-only; box this one so a std::function can carry it.
        auto boxed = std::make_shared<Handler>(std::move(handler));
        std::function<void(FlowOutcome)> complete = [boxed, executor, handle](FlowOutcome outcome) {
            if (handle->done.exchange(true))
                return;
            asio::post(executor, [boxed, outcome = std::move(outcome)]() mutable {
                std::move (*boxed)(std::move(outcome));
            });
        };
        // The awaiting operation cancelled: the program abandons the flow, on the main thread.
        if (slot.is_connected()) {
            slot.assign([handle](asio::cancellation_type type) {
                if (type == asio::cancellation_type::none)
                    return;
                platform::host().runLoop().post([handle] {
                    handle->cancelRequested = true;
                    if (auto flow = handle->flow.lock())
                        flow->cancel(oidc::CancelReason::program);
                });
            });
        }
        platform::host().runLoop().post([driver, presentation, window = std::move(window),
                                         request = std::move(request), complete, handle,
                                         running]() mutable {
            // Cancelled by the user before it could show: nothing is shown.
            if (running->cancelled()) {
                complete(FlowOutcome{std::nullopt, userCancel(), false});
                return;
            }
            auto self = driver.lock();
            if (!self || handle->cancelRequested) {
                complete(FlowOutcome{
                    std::nullopt,
                    oidc::Error::general(oidc::GeneralErrorCode::programCanceledAuthorizationFlow,
                                         "The authorization flow was cancelled by the program."),
                    false});
                return;
            }
            self->startFlow(presentation, std::move(window), std::move(request),
                            std::move(complete), std::move(handle));
        });
    };
    return asio::async_initiate<const asio::use_awaitable_t<>&, void(FlowOutcome)>(
        std::move(initiate), asio::use_awaitable);
}

void OAuthDriver::startFlow(Presentation presentation, std::shared_ptr<platform::Window> window,
                            oidc::AuthorizationRequest request,
                            std::function<void(FlowOutcome)> complete,
                            std::shared_ptr<FlowHandle> handle) {
    // The browser path never starts over a flow in progress, and leaves that flow alone.
    if (presentation == Presentation::systemBrowser && current_) {
        complete(FlowOutcome{std::nullopt, std::nullopt, true});
        return;
    }
    // The window path replaces the flow in progress; that one ends with the program's cancel.
    if (auto replaced = std::move(current_)) {
        current_.reset();
        if (replaced->timer)
            replaced->timer->invalidate();
        replaced->flow->cancel(oidc::CancelReason::program);
    }

    std::shared_ptr<oidc::ExternalUserAgent> agent;
    if (presentation == Presentation::systemBrowser)
        agent = std::make_shared<oidc::BrowserUserAgent>();
    else
        agent = std::make_shared<oidc::WebAuthenticationUserAgent>(std::move(window));

    const std::uint64_t id = nextFlowID_++;
    std::weak_ptr<OAuthDriver> weak = weak_from_this();
    auto flow = oidc::AuthorizationService::present(
        std::move(request), std::move(agent),
        [weak, id, complete](std::optional<oidc::AuthorizationResponse> response,
                             std::optional<oidc::Error> error) {
            if (auto self = weak.lock())
                self->flowEnded(id);
            complete(FlowOutcome{std::move(response), std::move(error), false});
        });
    handle->flow = flow;

    InFlight inFlight{flow, id, nullptr};
    if (presentation == Presentation::systemBrowser) {
        // The timer knows which flow it was armed for, and cancels only that one.
        inFlight.timer = platform::host().runLoop().scheduleTimer(browserFlowTimeout, [weak, id] {
            platform::host().runLoop().post([weak, id] {
                if (auto self = weak.lock())
                    self->timerFired(id);
            });
        });
    }
    current_ = std::move(inFlight);
}

void OAuthDriver::flowEnded(std::uint64_t id) {
    if (!current_ || current_->id != id)
        return;
    if (current_->timer)
        current_->timer->invalidate();
    current_.reset();
}

void OAuthDriver::timerFired(std::uint64_t id) {
    if (!current_ || current_->id != id)
        return;
    auto flow = current_->flow;
    flow->cancel(oidc::CancelReason::user);
}

bool OAuthDriver::resume(const std::string& url) {
    if (!current_)
        return false;
    auto flow = current_->flow;
    auto result = flow->resumeWithResult(url);
    if (result.outcome == oidc::AuthorizationFlowSession::ResumeOutcome::ignored)
        config_.log(CorvaneLogLevel::warning, "oauth_redirect_ignored",
                    {{"reason", result.reason}});
    return result.outcome == oidc::AuthorizationFlowSession::ResumeOutcome::ended;
}

bool OAuthDriver::cancelInFlight() {
    bool cancelled = false;
    // The sign-ins still discovering or about to show end at their next step.
    std::vector<std::shared_ptr<CancelSwitch>> running;
    {
        std::lock_guard guard(runningLock_);
        for (const auto& weak : running_)
            if (auto r = weak.lock())
                running.push_back(std::move(r));
    }
    for (const auto& r : running)
        cancelled = r->cancel() || cancelled;
    // The one showing ends at once.
    if (current_) {
        auto flow = current_->flow;
        cancelled = flow->cancel(oidc::CancelReason::user) || cancelled;
    }
    return cancelled;
}

void OAuthDriver::addRunning(const std::shared_ptr<CancelSwitch>& running) {
    std::lock_guard guard(runningLock_);
    std::erase_if(running_, [](const auto& weak) { return weak.expired(); });
    running_.push_back(running);
}

void OAuthDriver::removeRunning(const std::shared_ptr<CancelSwitch>& running) {
    std::lock_guard guard(runningLock_);
    std::erase_if(running_, [&](const auto& weak) {
        auto r = weak.lock();
        return !r || r == running;
    });
}

} // namespace corvane
