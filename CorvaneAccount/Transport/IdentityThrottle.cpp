#include "CorvaneAccount/Transport/IdentityThrottle.h"
#include "CorvaneAccount/Transport/RetryAfter.h"

#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "Platform/Async.h"
#include "Platform/Host.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/strand.hpp>
#include <boost/asio/this_coro.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/system/system_error.hpp>
#include <date/date.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <charconv>
#include <cmath>
#include <deque>
#include <limits>
#include <list>
#include <locale>
#include <map>
#include <optional>
#include <random>
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

namespace {

// One run() in flight: the signal that cancels its guarded send. Emitted only on the strand.
struct InFlightCall {
    boost::asio::cancellation_signal signal;
    // Set on the strand once the guarded send has ended; nothing is emitted after that.
    bool finished = false;
};

} // namespace

struct IdentityThrottle::State {
    State(IdentityThrottleOptions options, CorvaneLogger logger, Clock clock, Sleep sleep,
          asio::any_io_executor executor)
        : options(options), logger(std::move(logger)), clock(std::move(clock)),
          sleep(std::move(sleep)), strand(asio::make_strand(std::move(executor))) {
        if (!this->clock)
            this->clock = [] { return platform::now(); };
        if (!this->sleep)
            this->sleep = [](double seconds) { return platform::sleepFor(seconds); };
        std::random_device seed;
        random.seed((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
    }

    static asio::awaitable<SendResult> guardedSend(std::shared_ptr<State> self,
                                                   std::shared_ptr<InFlightCall> call,
                                                   std::string url, std::string method, Send send);
    asio::awaitable<void> wait(double seconds);
    asio::awaitable<void> throwIfCancelledOrClosed();
    bool tryConsumeBudget();
    void recordFailure();
    void recordSuccess();
    double backoff(int attempt);
    std::optional<double> retryAfter(const platform::HttpResponse& response) const;
    void log(CorvaneLogLevel level, const std::string& event,
             std::map<std::string, std::string> fields) const;

    const IdentityThrottleOptions options;
    const CorvaneLogger logger;
    Clock clock;
    Sleep sleep;
    asio::strand<asio::any_io_executor> strand;

    // Set when the throttle is destroyed (any thread). From then on calls still in flight
    // neither log, nor wait, nor send again.
    std::atomic<bool> closed{false};
    // run() calls that have not returned (any thread).
    std::atomic<int> activeCalls{0};

    // Actor state: touched only on the strand.
    std::deque<TimePoint> recentRequestTimes;
    int consecutiveFailures = 0;
    std::optional<TimePoint> circuitOpenUntil;
    std::mt19937_64 random;
    std::list<std::shared_ptr<InFlightCall>> inFlight;
};

IdentityThrottle::IdentityThrottle(IdentityThrottleOptions options, CorvaneLogger logger,
                                   Clock clock, Sleep sleep)
    : IdentityThrottle(options, std::move(logger), std::move(clock), std::move(sleep),
                       platform::libraryExecutor()) {}

IdentityThrottle::IdentityThrottle(IdentityThrottleOptions options, CorvaneLogger logger,
                                   Clock clock, Sleep sleep, asio::any_io_executor executor)
    : state_(std::make_shared<State>(options, std::move(logger), std::move(clock), std::move(sleep),
                                     std::move(executor))) {}

IdentityThrottle::~IdentityThrottle() {
    state_->closed = true;
    // Without calls in flight nothing is queued: the executor may already be going away.
    if (state_->activeCalls.load() == 0)
        return;
    // The calls' signals belong to the strand; their guarded sends end at their next await.
    asio::post(state_->strand, [state = state_] {
        const auto calls = state->inFlight;
        for (const auto& call : calls) {
            if (!call->finished)
                call->signal.emit(asio::cancellation_type::terminal);
        }
    });
}

const IdentityThrottleOptions& IdentityThrottle::options() const {
    return state_->options;
}

asio::awaitable<IdentityThrottle::SendResult> IdentityThrottle::run(std::string url,
                                                                    std::string method, Send send) {
    // Only locals from here on: the throttle itself may be destroyed while this call waits.
    std::shared_ptr<State> state = state_;
    auto call = std::make_shared<InFlightCall>();
    ++state->activeCalls;
    struct Active {
        State& state;
        ~Active() { --state.activeCalls; }
    } active{*state};

    // The caller's cancellation reaches the guarded send through the call's own signal, which
    // the destruction of the throttle emits too; the signal is only touched on the strand.
    asio::cancellation_state caller = co_await asio::this_coro::cancellation_state;
    asio::cancellation_slot callerSlot = caller.slot();
    if (callerSlot.is_connected()) {
        callerSlot.assign([strand = state->strand, call](asio::cancellation_type type) {
            asio::post(strand, [call, type] {
                if (!call->finished)
                    call->signal.emit(type);
            });
        });
    }

    // The guarded send runs on the actor's strand; the caller resumes on its own executor.
    asio::awaitable<SendResult> guarded =
        State::guardedSend(state, call, std::move(url), std::move(method), std::move(send));
    auto token = asio::bind_cancellation_slot(call->signal.slot(), asio::use_awaitable);
    auto op = asio::co_spawn(state->strand, std::move(guarded), token);
    std::exception_ptr error;
    try {
        co_return co_await std::move(op);
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
IdentityThrottle::State::guardedSend(std::shared_ptr<State> self,
                                     std::shared_ptr<InFlightCall> call, std::string url,
                                     std::string method, Send send) {
    State& s = *self;
    if (s.closed)
        throw CancellationError();
    // Registered for the destructor's cancellation until this send ends.
    s.inFlight.push_back(call);
    struct Registration {
        State& state;
        std::list<std::shared_ptr<InFlightCall>>::iterator entry;
        ~Registration() {
            (*entry)->finished = true;
            state.inFlight.erase(entry);
        }
    } registration{s, std::prev(s.inFlight.end())};

    const bool idempotent = upper(method) == "GET";

    // An open circuit answers at once; once its period is over, one request probes the service
    // and a single further failure opens it again.
    if (s.circuitOpenUntil) {
        const double remaining = secondsFrom(s.clock(), *s.circuitOpenUntil);
        if (remaining > 0) {
            s.log(CorvaneLogLevel::warning, "identity_throttle_circuit_open",
                  {{"retry_after_s", wholeSeconds(remaining)}});
            co_return IdentityThrottleShortCircuit::response(url, 503, "circuit_open", remaining);
        }
        s.circuitOpenUntil.reset();
        s.consecutiveFailures = s.options.circuitBreakerThreshold - 1;
    }

    // The minute budget.
    if (!s.tryConsumeBudget()) {
        s.log(CorvaneLogLevel::warning, "identity_throttle_budget_exhausted",
              {{"limit_per_min", std::to_string(s.options.maxRequestsPerMinute)}});
        co_return IdentityThrottleShortCircuit::response(url, 429, "budget_exhausted",
                                                         budgetRetryAfter);
    }
    co_await s.throwIfCancelledOrClosed();

    for (int attempt = 0;; ++attempt) {
        std::optional<SendResult> result;
        std::exception_ptr error;
        try {
            result = co_await send();
        } catch (...) {
            error = std::current_exception();
        }

        // Once the throttle is gone its counters no longer matter: the send's own outcome is
        // the call's, and nothing else is done.
        if (s.closed) {
            if (result)
                co_return std::move(*result);
            if (isCancellation(error))
                throw CancellationError();
            std::rethrow_exception(error);
        }

        if (result) {
            const int status = result->response.statusCode;
            if (status >= 200 && status <= 299) {
                s.recordSuccess();
                co_return std::move(*result);
            }
            // Other answers (including non-HTTP ones) leave the failure count alone.
            if (status != 429 && status < 500)
                co_return std::move(*result);

            s.recordFailure();
            if (!idempotent || attempt >= s.options.maxRetries)
                co_return std::move(*result);
            // Server throttling or failure: wait what it asks for, else back off.
            const std::optional<double> asked = s.retryAfter(result->response);
            const double delay = asked ? *asked : s.backoff(attempt);
            s.log(status == 429 ? CorvaneLogLevel::warning : CorvaneLogLevel::info,
                  "identity_throttle_server_backoff",
                  {{"status", std::to_string(status)}, {"attempt", std::to_string(attempt)}});
            co_await s.wait(delay);
            // Every retry after a server answer takes a token; without one the answer stands.
            if (!s.tryConsumeBudget())
                co_return std::move(*result);
            co_await s.throwIfCancelledOrClosed();
            continue;
        }

        // The send threw. A cancellation records nothing; any other error counts as a failure
        // even when the task was cancelled meanwhile, and the cancellation is only looked at
        // after the wait (a cancelled task's wait ends at once).
        if (isCancellation(error))
            throw CancellationError();
        s.recordFailure();
        if (!idempotent || attempt >= s.options.maxRetries)
            std::rethrow_exception(error);
        const double delay = s.backoff(attempt);
        co_await s.wait(delay);
        co_await s.throwIfCancelledOrClosed();
    }
}

asio::awaitable<void> IdentityThrottle::State::wait(double seconds) {
    if (closed)
        throw CancellationError();
    std::exception_ptr error;
    try {
        co_await sleep(seconds);
    } catch (...) {
        error = std::current_exception();
    }
    if (!error)
        co_return;
    if (isCancellation(error))
        throw CancellationError();
    std::rethrow_exception(error);
}

asio::awaitable<void> IdentityThrottle::State::throwIfCancelledOrClosed() {
    if (closed)
        throw CancellationError();
    co_await throwIfCancelled();
}

bool IdentityThrottle::State::tryConsumeBudget() {
    const TimePoint now = clock();
    const TimePoint cutoff = now - toDuration(budgetWindow);
    while (!recentRequestTimes.empty() && recentRequestTimes.front() < cutoff)
        recentRequestTimes.pop_front();
    if (recentRequestTimes.size() >=
        static_cast<std::size_t>(std::max(0, options.maxRequestsPerMinute)))
        return false;
    recentRequestTimes.push_back(now);
    return true;
}

void IdentityThrottle::State::recordFailure() {
    ++consecutiveFailures;
    if (consecutiveFailures >= options.circuitBreakerThreshold && !circuitOpenUntil) {
        circuitOpenUntil = clock() + toDuration(options.circuitBreakerOpenDuration);
        log(CorvaneLogLevel::warning, "identity_throttle_circuit_tripped",
            {{"failures", std::to_string(consecutiveFailures)}});
    }
}

void IdentityThrottle::State::recordSuccess() {
    consecutiveFailures = 0;
    circuitOpenUntil.reset();
}

double IdentityThrottle::State::backoff(int attempt) {
    const double d = options.backoffBase * std::pow(2.0, attempt);
    double jitter = 0;
    if (d / 2 > 0 && std::isfinite(d)) {
        // Uniform over [0, d/2], both ends included.
        std::uniform_real_distribution<double> spread(
            0, std::nextafter(d / 2, std::numeric_limits<double>::infinity()));
        jitter = spread(random);
    }
    return std::min(d + jitter, options.maxBackoff);
}

std::optional<double>
IdentityThrottle::State::retryAfter(const platform::HttpResponse& response) const {
    const std::optional<std::string> header = response.headers.value("Retry-After");
    if (!header)
        return std::nullopt;
    return parseRetryAfter(*header, clock(), options.maxBackoff);
}

void IdentityThrottle::State::log(CorvaneLogLevel level, const std::string& event,
                                  std::map<std::string, std::string> fields) const {
    if (logger && !closed)
        logger(level, event, fields);
}

} // namespace corvane
