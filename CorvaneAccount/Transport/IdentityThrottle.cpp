#include "CorvaneAccount/Transport/IdentityThrottle.h"
#include "CorvaneAccount/Transport/RetryAfter.h"

#include "CorvaneAccount/Core/CorvaneError.h"
#include "Platform/Async.h"
#include "Platform/Host.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <date/date.h>

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <limits>
#include <locale>
#include <sstream>
#include <string_view>

namespace corvane {

namespace asio = boost::asio;
using TimePoint = IdentityThrottle::TimePoint;

namespace {

// Width of the sliding budget window, and the Retry-After of a budget refusal, in seconds.
constexpr double budgetWindow = 60;
constexpr double budgetRetryAfter = 5;

std::chrono::system_clock::duration toDuration(double seconds) {
    return std::chrono::duration_cast<std::chrono::system_clock::duration>(
        std::chrono::duration<double>(seconds));
}

double secondsFrom(TimePoint from, TimePoint to) {
    return std::chrono::duration<double>(to - from).count();
}

// `seconds` truncated toward zero, in decimal ("299" for 299.9).
std::string wholeSeconds(double seconds) {
    if (!std::isfinite(seconds))
        return "0";
    const double t = std::clamp(std::trunc(seconds), -1e15, 1e15);
    return std::to_string(static_cast<long long>(t));
}

std::string upper(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return s;
}

// Whether `error` is a cancellation: the library's own, an aborted asio operation, or a
// cancelled URL transfer.
bool isCancellation(const std::exception_ptr& error) {
    try {
        std::rethrow_exception(error);
    } catch (const CancellationError&) {
        return true;
    } catch (const boost::system::system_error& e) {
        return e.code() == asio::error::operation_aborted;
    } catch (const platform::HttpTransportError& e) {
        return e.isCancelled();
    } catch (...) {
        return false;
    }
}

// Throws the library's cancellation error when the calling task has been cancelled.
asio::awaitable<void> throwIfCancelled() {
    auto state = co_await asio::this_coro::cancellation_state;
    if (state.cancelled() != asio::cancellation_type::none)
        throw CancellationError();
}

} // namespace

platform::HttpResult IdentityThrottleShortCircuit::response(const std::string& url, int status,
                                                            const std::string& reason,
                                                            double retryAfter) {
    platform::HttpResult result;
    result.response.url = url;
    result.response.isHTTP = true;
    result.response.statusCode = status;
    result.response.httpVersion = "HTTP/1.1";
    result.response.headers = platform::HttpHeaders{{"Content-Type", "application/json"},
                                                    {"Retry-After", wholeSeconds(retryAfter)}};
    const std::string body = R"({"error":"client_throttled","reason":")" + reason + R"("})";
    result.data.assign(body.begin(), body.end());
    return result;
}

IdentityThrottle::IdentityThrottle(IdentityThrottleOptions options, CorvaneLogger logger,
                                   Clock clock, Sleep sleep)
    : IdentityThrottle(options, std::move(logger), std::move(clock), std::move(sleep),
                       platform::libraryExecutor()) {}

IdentityThrottle::IdentityThrottle(IdentityThrottleOptions options, CorvaneLogger logger,
                                   Clock clock, Sleep sleep, asio::any_io_executor executor)
    : options_(options), logger_(std::move(logger)), clock_(std::move(clock)),
      sleep_(std::move(sleep)), strand_(asio::make_strand(std::move(executor))) {
    if (!clock_)
        clock_ = [] { return platform::now(); };
    if (!sleep_)
        sleep_ = [](double seconds) { return platform::sleepFor(seconds); };
    std::random_device seed;
    random_.seed((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
}

asio::awaitable<IdentityThrottle::SendResult> IdentityThrottle::run(std::string url,
                                                                    std::string method, Send send) {
    // The guarded send runs on the actor's strand; the caller resumes on its own executor.
    asio::awaitable<SendResult> guarded =
        guardedSend(std::move(url), std::move(method), std::move(send));
    std::exception_ptr error;
    try {
        co_return co_await asio::co_spawn(strand_, std::move(guarded), asio::use_awaitable);
    } catch (...) {
        error = std::current_exception();
    }
    // Once a task is cancelled, asio fails its next await with operation_aborted; callers see
    // the library's cancellation error instead.
    if (isCancellation(error))
        throw CancellationError();
    std::rethrow_exception(error);
}

asio::awaitable<IdentityThrottle::SendResult>
IdentityThrottle::guardedSend(std::string url, std::string method, Send send) {
    const bool idempotent = upper(method) == "GET";

    // An open circuit answers at once; once its period is over, one request probes the service
    // and a single further failure opens it again.
    if (circuitOpenUntil_) {
        const double remaining = secondsFrom(clock_(), *circuitOpenUntil_);
        if (remaining > 0) {
            log(CorvaneLogLevel::warning, "identity_throttle_circuit_open",
                {{"retry_after_s", wholeSeconds(remaining)}});
            co_return IdentityThrottleShortCircuit::response(url, 503, "circuit_open", remaining);
        }
        circuitOpenUntil_.reset();
        consecutiveFailures_ = options_.circuitBreakerThreshold - 1;
    }

    // The minute budget.
    if (!tryConsumeBudget()) {
        log(CorvaneLogLevel::warning, "identity_throttle_budget_exhausted",
            {{"limit_per_min", std::to_string(options_.maxRequestsPerMinute)}});
        co_return IdentityThrottleShortCircuit::response(url, 429, "budget_exhausted",
                                                         budgetRetryAfter);
    }
    co_await throwIfCancelled();

    for (int attempt = 0;; ++attempt) {
        std::optional<SendResult> result;
        std::exception_ptr error;
        try {
            result = co_await send();
        } catch (...) {
            error = std::current_exception();
        }

        if (result) {
            const int status = result->response.statusCode;
            if (status >= 200 && status <= 299) {
                recordSuccess();
                co_return std::move(*result);
            }
            // Other answers (including non-HTTP ones) leave the failure count alone.
            if (status != 429 && status < 500)
                co_return std::move(*result);

            recordFailure();
            if (!idempotent || attempt >= options_.maxRetries)
                co_return std::move(*result);
            // Server throttling or failure: wait what it asks for, else back off.
            const std::optional<double> asked = retryAfter(result->response);
            const double delay = asked ? *asked : backoff(attempt);
            log(status == 429 ? CorvaneLogLevel::warning : CorvaneLogLevel::info,
                "identity_throttle_server_backoff",
                {{"status", std::to_string(status)}, {"attempt", std::to_string(attempt)}});
            co_await wait(delay);
            // Every retry after a server answer takes a token; without one the answer stands.
            if (!tryConsumeBudget())
                co_return std::move(*result);
            co_await throwIfCancelled();
            continue;
        }

        // The send threw. A cancellation records nothing.
        if (isCancellation(error))
            throw CancellationError();
        co_await throwIfCancelled();
        recordFailure();
        if (!idempotent || attempt >= options_.maxRetries)
            std::rethrow_exception(error);
        const double delay = backoff(attempt);
        co_await wait(delay);
        co_await throwIfCancelled();
    }
}

asio::awaitable<void> IdentityThrottle::wait(double seconds) {
    std::exception_ptr error;
    try {
        co_await sleep_(seconds);
    } catch (...) {
        error = std::current_exception();
    }
    if (!error)
        co_return;
    if (isCancellation(error))
        throw CancellationError();
    std::rethrow_exception(error);
}

bool IdentityThrottle::tryConsumeBudget() {
    const TimePoint now = clock_();
    const TimePoint cutoff = now - toDuration(budgetWindow);
    while (!recentRequestTimes_.empty() && recentRequestTimes_.front() < cutoff)
        recentRequestTimes_.pop_front();
    if (recentRequestTimes_.size() >=
        static_cast<std::size_t>(std::max(0, options_.maxRequestsPerMinute)))
        return false;
    recentRequestTimes_.push_back(now);
    return true;
}

void IdentityThrottle::recordFailure() {
    ++consecutiveFailures_;
    if (consecutiveFailures_ >= options_.circuitBreakerThreshold && !circuitOpenUntil_) {
        circuitOpenUntil_ = clock_() + toDuration(options_.circuitBreakerOpenDuration);
        log(CorvaneLogLevel::warning, "identity_throttle_circuit_tripped",
            {{"failures", std::to_string(consecutiveFailures_)}});
    }
}

void IdentityThrottle::recordSuccess() {
    consecutiveFailures_ = 0;
    circuitOpenUntil_.reset();
}

double IdentityThrottle::backoff(int attempt) {
    const double d = options_.backoffBase * std::pow(2.0, attempt);
    double jitter = 0;
    if (d / 2 > 0 && std::isfinite(d)) {
        // Uniform over [0, d/2], both ends included.
        std::uniform_real_distribution<double> spread(
            0, std::nextafter(d / 2, std::numeric_limits<double>::infinity()));
        jitter = spread(random_);
    }
    return std::min(d + jitter, options_.maxBackoff);
}

std::optional<double> IdentityThrottle::retryAfter(const platform::HttpResponse& response) const {
    const std::optional<std::string> header = response.headers.value("Retry-After");
    if (!header)
        return std::nullopt;
    return parseRetryAfter(*header, clock_(), options_.maxBackoff);
}

void IdentityThrottle::log(CorvaneLogLevel level, const std::string& event,
                           std::map<std::string, std::string> fields) const {
    if (logger_)
        logger_(level, event, fields);
}

} // namespace corvane
