// One authorization flow in progress: the request, the user agent showing it, and the callback
// that hears how it ended. It completes exactly once: with a response, an OAuth error, a
// refused redirect, a user agent failure or a cancel. Main thread only.
#pragma once

#include "OIDC/AuthorizationRequest.h"
#include "OIDC/AuthorizationResponse.h"
#include "OIDC/Error.h"
#include "OIDC/ExternalUserAgent.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace oidc {

// Who ends a flow early: the user (or the host on the user's behalf: a close button, a
// time-out), reported as userCanceledAuthorizationFlow; or the program abandoning the flow,
// reported as programCanceledAuthorizationFlow.
enum class CancelReason { user, program };

class AuthorizationFlowSession final
    : public ExternalUserAgentSession,
      public std::enable_shared_from_this<AuthorizationFlowSession> {
public:
    // Exactly one of the response and the error is set.
    using Callback =
        std::function<void(std::optional<AuthorizationResponse>, std::optional<Error>)>;

    AuthorizationFlowSession(AuthorizationRequest request,
                             std::shared_ptr<ExternalUserAgent> userAgent, Callback callback);

    // Shows the request with the user agent. A user agent that cannot show it ends the flow
    // with its error on the next turn of the run loop, never inside this call.
    void start();

    // What resume() made of a URL.
    enum class ResumeOutcome {
        // Not the redirect URL of this request.
        notRedirectURL,
        // The flow has already ended.
        notPending,
        // The redirect URL, but not an answer to this request (unreadable parameters, a state
        // missing or not the one sent): anyone can open the redirect URL, so such a return
        // proves nothing and the flow keeps waiting for the real one.
        ignored,
        // The flow ended with this URL (a response or an error).
        ended,
    };
    struct ResumeResult {
        ResumeOutcome outcome;
        // Why an ignored URL was ignored; never holds a value of the URL.
        std::string reason;
    };

    // Hands a redirect URL to the flow. Checked in this order:
    //  1. it matches the redirect URL (scheme and host case-insensitively, port, path) — else
    //     notRedirectURL;
    //  2. the flow is still pending — else notPending;
    //  3. the parameters are form-encoded and "state" is present once and equal to the
    //     request's (RFC 6749 §4.1.2, §10.12) — else ignored, error answers included: only the
    //     party that saw the request knows the state;
    //  4. RFC 9207 §2.4: an "iss" must equal the issuer, and one is required when the server
    //     says it sends it — else the flow ends with a clientError;
    //  5. an "error" parameter ends the flow with that OAuth error (RFC 6749 §4.1.2.1);
    //  6. the flow ends with the response.
    // A flow that ends, in any way, dismisses its user agent and lets go of it.
    ResumeResult resumeWithResult(std::string_view url);
    // resumeWithResult(url) == ended.
    bool resume(std::string_view url) {
        return resumeWithResult(url).outcome == ResumeOutcome::ended;
    }

    // Ends a pending flow with the cancel error of `reason` and dismisses the user agent;
    // false when the flow has already ended.
    bool cancel(CancelReason reason = CancelReason::user);

    bool isPending() const { return pending_; }
    const AuthorizationRequest& request() const { return request_; }

    // ExternalUserAgentSession
    bool resumeExternalUserAgentFlow(const std::string& url) override { return resume(url); }
    void failExternalUserAgentFlow(const Error& error) override;

    // Whether `url` is the redirect URL of `request` (step 1 of resume()).
    static bool matchesRedirectURL(std::string_view url, const boost::urls::url& redirectURL);

private:
    void finish(std::optional<AuthorizationResponse> response, std::optional<Error> error);

    AuthorizationRequest request_;
    std::shared_ptr<ExternalUserAgent> userAgent_;
    Callback callback_;
    bool pending_ = true;
};

} // namespace oidc
