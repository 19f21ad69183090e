// Client-side control of the library's traffic to the identity service: a sliding per-minute
// request budget, a circuit breaker after consecutive server failures, and retries of GET
// requests after server throttling or failure. Refusals are synthetic HTTP responses, not errors.
#pragma once

#include "CorvaneAccount/Core/CorvaneLog.h"
#include "Platform/HttpSession.h"

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/asio/strand.hpp>

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <random>
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
// concurrent run() calls interleave only at their awaits on `send` and `sleep`. It must outlive
// every run() it starts (its HTTP client owns it).
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
    IdentityThrottle(const IdentityThrottle&) = delete;
    IdentityThrottle& operator=(const IdentityThrottle&) = delete;

    // Sends through `send` as often as the rules allow and returns the last result, or a
    // synthetic refusal; rethrows the last error of `send`. A cancelled call throws
    // corvane::CancellationError.
    boost::asio::awaitable<SendResult> run(std::string url, std::string method, Send send);

    const IdentityThrottleOptions& options() const { return options_; }

private:
    boost::asio::awaitable<SendResult> guardedSend(std::string url, std::string method, Send send);
    boost::asio::awaitable<void> wait(double seconds);
    bool tryConsumeBudget();
    void recordFailure();
    void recordSuccess();
    double backoff(int attempt);
    std::optional<double> retryAfter(const platform::HttpResponse& response) const;
    void log(CorvaneLogLevel level, const std::string& event,
             std::map<std::string, std::string> fields) const;

    IdentityThrottleOptions options_;
    CorvaneLogger logger_;
    Clock clock_;
    Sleep sleep_;
    boost::asio::strand<boost::asio::any_io_executor> strand_;

    // Actor state: touched only on strand_.
    std::deque<TimePoint> recentRequestTimes_;
    int consecutiveFailures_ = 0;
    std::optional<TimePoint> circuitOpenUntil_;
    std::mt19937_64 random_;
};

} // namespace corvane
