// Client-side control of the library's traffic to the identity service: a sliding per-minute
// request budget, a circuit breaker after consecutive server failures, and retries of GET
// requests after server throttling or failure. Refusals are synthetic HTTP responses, not errors.
#pragma once

#include "CorvaneAccount/Foundation/CorvaneLog.h"
#include "Platform/HttpSession.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace corvane {

struct IdentityThrottleOptions {
    // Requests admitted within any 60-second window.
    int maxRequestsPerMinute = 30;
    // Consecutive failures that open the circuit.
    int circuitBreakerThreshold = 5;
    // Seconds the circuit stays open.
    double circuitBreakerOpenDuration = 300;
    // Upper bound, in seconds, of every retry delay.
    double maxBackoff = 300;
    // Delay unit, in seconds, of the exponential back-off.
    double backoffBase = 1;
    // Retries after the first attempt, for idempotent (GET) requests.
    int maxRetries = 3;
};

namespace IdentityThrottleShortCircuit {
// The answer the throttle gives instead of sending: `status`, "HTTP/1.1", exactly the fields
// "Content-Type: application/json" and "Retry-After: <retryAfter truncated to whole seconds>",
// and the body {"error":"client_throttled","reason":"<reason>"} (the reason is not escaped).
platform::HttpResult response(const std::string& url, int status, const std::string& reason,
                              double retryAfter);
} // namespace IdentityThrottleShortCircuit

// An actor: its coroutines run on its own strand and its state is touched only there, so
// concurrent run() calls interleave only at their awaits on `send` and `sleep`. Each run() holds
// the actor's state, so the throttle may be destroyed (with its HTTP client) while calls are in
// flight: they are cancelled, end with corvane::CancellationError at their next await, and
// neither log nor wait nor send again once it is gone.
class IdentityThrottle {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    using Clock = std::function<TimePoint()>;
    // Waits the given seconds; may throw (its error reaches the caller of run()).
    using Sleep = std::function<boost::asio::awaitable<void>(double seconds)>;
    using SendResult = platform::HttpResult;
    // Performs the request once.
    using Send = std::function<boost::asio::awaitable<SendResult>()>;

    // An empty clock reads platform::now(); an empty sleep is platform::sleepFor. The strand
    // runs on `executor`, by default the library executor.
    explicit IdentityThrottle(IdentityThrottleOptions options = {}, CorvaneLogger logger = {},
                              Clock clock = {}, Sleep sleep = {});
    IdentityThrottle(IdentityThrottleOptions options, CorvaneLogger logger, Clock clock,
                     Sleep sleep, boost::asio::any_io_executor executor);
    // Cancels the calls still in flight; any thread.
    ~IdentityThrottle();
    IdentityThrottle(const IdentityThrottle&) = delete;
    IdentityThrottle& operator=(const IdentityThrottle&) = delete;

    // Sends through `send` as often as the rules allow and returns the last result, or a
    // synthetic refusal; rethrows the last error of `send`. A cancelled call throws
    // corvane::CancellationError.
    boost::asio::awaitable<SendResult> run(std::string url, std::string method, Send send);

    const IdentityThrottleOptions& options() const;

    // The actor's state and its guarded send, shared with the calls in flight.
    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace corvane
