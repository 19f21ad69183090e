#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Transport/IdentityThrottle.h"
#include "Platform/Async.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace asio = boost::asio;
using corvane::CorvaneLogLevel;
using corvane::IdentityThrottle;
using corvane::IdentityThrottleOptions;
using platform::HttpResult;
using platform::sim::SimHttpReply;

namespace {

constexpr const char* base = "https://id.corvane.example";

struct LogLine {
    CorvaneLogLevel level;
    std::string event;
    std::map<std::string, std::string> fields;
};

// How one run() ended.
struct Call {
    bool finished = false;
    std::optional<HttpResult> result;
    std::exception_ptr error;
    double finishedAt = -1;

    int status() const { return result ? result->response.statusCode : -1; }
    std::string body() const {
        return result ? std::string(result->data.begin(), result->data.end()) : "";
    }
    template <class E> bool threw() const {
        if (!error)
            return false;
        try {
            std::rethrow_exception(error);
        } catch (const E&) {
            return true;
        } catch (...) {
            return false;
        }
    }
};

// A throttle on the sim host's virtual time; its sends go to the scripted server, its waits
// are recorded and then really slept on virtual time.
class IdentityThrottleTest : public ::testing::Test {
protected:
    IdentityThrottleTest() { makeThrottle({}); }

    void makeThrottle(IdentityThrottleOptions options, IdentityThrottle::Clock clock = {}) {
        auto sleep = [this](double seconds) -> asio::awaitable<void> {
            sleeps.push_back(seconds);
            co_await platform::sleepFor(seconds);
        };
        auto logger = [this](CorvaneLogLevel level, const std::string& event,
                             const std::map<std::string, std::string>& fields) {
            logs.push_back({level, event, fields});
        };
        throttle = std::make_unique<IdentityThrottle>(options, logger, std::move(clock), sleep);
    }

    platform::sim::SimHttpSession& server() { return host.simHttp(); }

    // Starts throttle->run(method, path) as a task on the library executor.
    // `send` replaces the request to the scripted server when given.
    std::shared_ptr<Call> start(const std::string& method, const std::string& path,
                                asio::cancellation_slot slot = {},
                                IdentityThrottle::Send send = {}) {
        auto call = std::make_shared<Call>();
        const std::string url = std::string(base) + path;
        if (!send) {
            send = [method, url]() -> asio::awaitable<HttpResult> {
                platform::HttpRequest request;
                request.method = method;
                request.url = url;
                auto op = platform::httpSession().send(std::move(request));
                co_return co_await std::move(op);
            };
        }
        // The throttle is looked up when the task starts; the task may outlive it.
        auto body = [this, url, method, send]() -> asio::awaitable<HttpResult> {
            auto op = throttle->run(url, method, send);
            co_return co_await std::move(op);
        };
        auto done = [this, call](std::exception_ptr e, HttpResult r) {
            call->finished = true;
            call->finishedAt = host.simRunLoop().monotonicNow();
            call->error = e;
            if (!e)
                call->result = std::move(r);
        };
        if (slot.is_connected())
            asio::co_spawn(platform::libraryExecutor(), body,
                           asio::bind_cancellation_slot(slot, done));
        else
            asio::co_spawn(platform::libraryExecutor(), body, done);
        return call;
    }

    // Runs one call to its end on virtual time.
    Call call(const std::string& method, const std::string& path) {
        auto c = start(method, path);
        host.advance(0);
        for (int i = 0; i < 1000 && !c->finished; ++i)
            host.advance(1);
        EXPECT_TRUE(c->finished);
        return *c;
    }

    std::vector<LogLine> logged(const std::string& event) const {
        std::vector<LogLine> out;
        for (const auto& l : logs)
            if (l.event == event)
                out.push_back(l);
        return out;
    }

    static void expectSynthetic(const Call& c, int status, const std::string& reason,
                                const std::string& retryAfter) {
        ASSERT_TRUE(c.result) << "expected a synthetic answer";
        EXPECT_EQ(c.result->response.statusCode, status);
        EXPECT_EQ(c.result->response.httpVersion, "HTTP/1.1");
        const platform::HttpHeaders expected{{"Content-Type", "application/json"},
                                             {"Retry-After", retryAfter}};
        EXPECT_EQ(c.result->response.headers, expected);
        EXPECT_EQ(c.body(), R"({"error":"client_throttled","reason":")" + reason + R"("})");
    }

    platform::sim::SimHost host;
    std::unique_ptr<IdentityThrottle> throttle;
    std::vector<double> sleeps;
    std::vector<LogLine> logs;
};

} // namespace

TEST(IdentityThrottleShortCircuit, BuildsTheExactSyntheticAnswer) {
    auto r = corvane::IdentityThrottleShortCircuit::response("https://x.example/a?b", 503,
                                                             "circuit_open", 299.9);
    EXPECT_EQ(r.response.url, "https://x.example/a?b");
    EXPECT_TRUE(r.response.isHTTP);
    EXPECT_EQ(r.response.statusCode, 503);
    EXPECT_EQ(r.response.httpVersion, "HTTP/1.1");
    ASSERT_EQ(r.response.headers.size(), 2u);
    EXPECT_EQ(r.response.headers.fields()[0],
              (platform::HttpHeaders::Field{"Content-Type", "application/json"}));
    EXPECT_EQ(r.response.headers.fields()[1], (platform::HttpHeaders::Field{"Retry-After", "299"}));
    EXPECT_EQ(std::string(r.data.begin(), r.data.end()),
              R"({"error":"client_throttled","reason":"circuit_open"})");

    // The reason goes in unchanged, without escaping.
    auto q = corvane::IdentityThrottleShortCircuit::response("u", 429, R"(a"b)", 5);
    EXPECT_EQ(std::string(q.data.begin(), q.data.end()),
              R"({"error":"client_throttled","reason":"a"b"})");
    EXPECT_EQ(q.response.headers.value("retry-after"), "5");
}

TEST_F(IdentityThrottleTest, TheThirtyFirstRequestInAMinuteIsRefusedWithoutSending) {
    server().route("*", "/api/app-sessions/refresh", SimHttpReply::json(200, R"({"ok":true})"));
    for (int i = 0; i < 30; ++i)
        ASSERT_EQ(call("POST", "/api/app-sessions/refresh").status(), 200) << i;

    Call refused = call("POST", "/api/app-sessions/refresh");
    expectSynthetic(refused, 429, "budget_exhausted", "5");
    EXPECT_EQ(server().requests().size(), 30u);
    ASSERT_EQ(logged("identity_throttle_budget_exhausted").size(), 1u);
    EXPECT_EQ(logged("identity_throttle_budget_exhausted")[0].level, CorvaneLogLevel::warning);
    EXPECT_EQ(logged("identity_throttle_budget_exhausted")[0].fields,
              (std::map<std::string, std::string>{{"limit_per_min", "30"}}));

    // The window slides: a request exactly 60 s after the first is still refused, one just
    // after is admitted.
    host.advance(60);
    EXPECT_EQ(call("GET", "/api/app-sessions/refresh").status(), 429);
    host.advance(0.001);
    EXPECT_EQ(call("GET", "/api/app-sessions/refresh").status(), 200);
    EXPECT_EQ(server().requests().size(), 31u);
}

TEST_F(IdentityThrottleTest, FiveFailuresOfAnyKindOpenTheCircuit) {
    server().route("POST", "/500", SimHttpReply::http(500));
    server().route("POST", "/503", SimHttpReply::http(503));
    server().route("POST", "/429", SimHttpReply::http(429));
    server().route("POST", "/down", SimHttpReply::failure(platform::URLError::cannotConnectToHost));
    server().route("*", "/ok", SimHttpReply::http(200));

    EXPECT_EQ(call("POST", "/500").status(), 500);
    EXPECT_EQ(call("POST", "/503").status(), 503);
    EXPECT_EQ(call("POST", "/429").status(), 429);
    EXPECT_TRUE(call("POST", "/down").threw<platform::HttpTransportError>());
    EXPECT_TRUE(logged("identity_throttle_circuit_tripped").empty());
    EXPECT_TRUE(call("POST", "/down").threw<platform::HttpTransportError>());

    ASSERT_EQ(logged("identity_throttle_circuit_tripped").size(), 1u);
    EXPECT_EQ(logged("identity_throttle_circuit_tripped")[0].fields.at("failures"), "5");
    const std::size_t sent = server().requests().size();

    Call blocked = call("GET", "/ok");
    expectSynthetic(blocked, 503, "circuit_open", "300");
    host.advance(100.5);
    Call later = call("GET", "/ok");
    expectSynthetic(later, 503, "circuit_open", "199");
    EXPECT_EQ(server().requests().size(), sent) << "nothing is sent while the circuit is open";
    auto open = logged("identity_throttle_circuit_open");
    ASSERT_EQ(open.size(), 2u);
    EXPECT_EQ(open[1].fields.at("retry_after_s"), "199");
    EXPECT_EQ(open[1].level, CorvaneLogLevel::warning);
}

TEST_F(IdentityThrottleTest, AfterTheOpenPeriodOneFailureReopensAndOneSuccessCloses) {
    server().route("POST", "/fail", SimHttpReply::http(500));
    server().route("POST", "/ok", SimHttpReply::http(204));
    for (int i = 0; i < 5; ++i)
        call("POST", "/fail");
    host.advance(299);
    EXPECT_EQ(call("POST", "/ok").status(), 503) << "still open";

    // Half-open: one more failure opens it again for a full period at once.
    host.advance(1);
    EXPECT_EQ(call("POST", "/fail").status(), 500);
    EXPECT_EQ(logged("identity_throttle_circuit_tripped").size(), 2u);
    expectSynthetic(call("POST", "/ok"), 503, "circuit_open", "300");

    // Half-open again: a success closes it, and it takes five new failures to open it.
    host.advance(300);
    EXPECT_EQ(call("POST", "/ok").status(), 204);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(call("POST", "/fail").status(), 500);
    EXPECT_EQ(call("POST", "/ok").status(), 204);
    for (int i = 0; i < 4; ++i)
        call("POST", "/fail");
    EXPECT_EQ(call("POST", "/ok").status(), 204) << "four failures after a success: closed";
}

TEST_F(IdentityThrottleTest, ClientErrorsNeitherCountNorResetFailures) {
    server().route("POST", "/fail", SimHttpReply::http(502));
    server().route("*", "/missing", SimHttpReply::http(404));
    server().route("*", "/auth", SimHttpReply::http(401));
    server().route("*", "/ok", SimHttpReply::http(200));

    for (int i = 0; i < 4; ++i)
        call("POST", "/fail");
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(call("POST", "/missing").status(), 404);
        EXPECT_EQ(call("GET", "/auth").status(), 401);
    }
    EXPECT_TRUE(logged("identity_throttle_circuit_tripped").empty()) << "4xx did not count";
    EXPECT_EQ(server().count("GET", "/auth"), 3u) << "a 401 is not retried";
    call("POST", "/fail");
    EXPECT_EQ(logged("identity_throttle_circuit_tripped").size(), 1u) << "4xx did not reset";
    EXPECT_EQ(call("GET", "/ok").status(), 503);
}

TEST_F(IdentityThrottleTest, GetRetriesAfterTheServersRetryAfter) {
    struct Case {
        std::string header;
        double expectedWait;
    };
    const std::vector<Case> cases = {
        {"2", 2},
        {" \t2.5 ", 2.5},
        {"Wed, 21 Oct 2015 07:28:00 GMT", 0}, // a date in the past
        {"86400", 300},                       // capped at maxBackoff
        {"-7", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.header);
        sleeps.clear();
        server().routeSequence("GET", "/r",
                               {SimHttpReply::http(503).header("Retry-After", c.header),
                                SimHttpReply::http(200, "done")});
        const double t0 = host.simRunLoop().monotonicNow();
        auto pending = start("GET", "/r");
        host.advance(c.expectedWait > 0 ? c.expectedWait - 0.01 : 0);
        if (c.expectedWait > 0) {
            EXPECT_FALSE(pending->finished);
        }
        host.advance(0.02);
        ASSERT_TRUE(pending->finished);
        EXPECT_EQ(pending->status(), 200);
        EXPECT_EQ(pending->body(), "done");
        EXPECT_EQ(sleeps, std::vector<double>{c.expectedWait});
        EXPECT_NEAR(pending->finishedAt - t0, c.expectedWait, 1e-9);
        host.advance(61); // keeps the minute budget out of the way
    }
    EXPECT_TRUE(logged("identity_throttle_circuit_tripped").empty());
}

TEST_F(IdentityThrottleTest, UnreadableRetryAfterFallsBackToExponentialBackoff) {
    for (const std::string header :
         {"soon", "", "5 seconds", "0x10", "nan", "inf", "Wed, 21 Oct 2015 07:28:00 UTC"}) {
        SCOPED_TRACE(header);
        sleeps.clear();
        server().routeSequence(
            "GET", "/r",
            {SimHttpReply::http(429).header("Retry-After", header), SimHttpReply::http(200)});
        Call c = call("GET", "/r");
        EXPECT_EQ(c.status(), 200);
        ASSERT_EQ(sleeps.size(), 1u);
        EXPECT_GE(sleeps[0], 1.0);
        EXPECT_LE(sleeps[0], 1.5);
        host.advance(61);
    }
    auto backoffs = logged("identity_throttle_server_backoff");
    ASSERT_FALSE(backoffs.empty());
    EXPECT_EQ(backoffs[0].level, CorvaneLogLevel::warning) << "429 logs at warning";
    EXPECT_EQ(backoffs[0].fields,
              (std::map<std::string, std::string>{{"status", "429"}, {"attempt", "0"}}));
}

TEST_F(IdentityThrottleTest, HttpDateIsMeasuredAgainstTheInjectedClock) {
    // 07:27:58 on the injected clock: the date is 2 s ahead.
    const auto now = std::chrono::sys_days(std::chrono::year{2015} / 10 / 21) +
                     std::chrono::hours(7) + std::chrono::minutes(27) + std::chrono::seconds(58);
    makeThrottle({}, [now] { return IdentityThrottle::TimePoint(now); });
    server().routeSequence(
        "GET", "/r",
        {SimHttpReply::http(503).header("Retry-After", "Wed, 21 Oct 2015 07:28:00 GMT"),
         SimHttpReply::http(200)});
    EXPECT_EQ(call("GET", "/r").status(), 200);
    ASSERT_EQ(sleeps.size(), 1u);
    EXPECT_DOUBLE_EQ(sleeps[0], 2);
}

TEST_F(IdentityThrottleTest, PostIsNeverRetriedAndCountsOneFailure) {
    server().route("POST", "/p", SimHttpReply::http(503).header("Retry-After", "1"));
    Call c = call("POST", "/p");
    EXPECT_EQ(c.status(), 503);
    EXPECT_EQ(server().count("POST", "/p"), 1u);
    EXPECT_TRUE(sleeps.empty());
    EXPECT_TRUE(logged("identity_throttle_server_backoff").empty());
    for (int i = 0; i < 3; ++i)
        call("POST", "/p");
    EXPECT_TRUE(logged("identity_throttle_circuit_tripped").empty());
    call("POST", "/p");
    EXPECT_EQ(logged("identity_throttle_circuit_tripped").size(), 1u) << "one failure per POST";
}

TEST_F(IdentityThrottleTest, AGetThatKeepsFailingIsSentFourTimes) {
    int n = 0;
    server().route("GET", "/down", [&](const platform::HttpRequest&) {
        return SimHttpReply::http(500, "attempt " + std::to_string(++n));
    });
    Call c = call("GET", "/down");
    EXPECT_EQ(c.status(), 500);
    EXPECT_EQ(c.body(), "attempt 4") << "the fourth answer reaches the caller";
    EXPECT_EQ(server().count("GET", "/down"), 4u);
    // Back-off d = 2^attempt plus up to d/2.
    ASSERT_EQ(sleeps.size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const double d = 1 << i;
        EXPECT_GE(sleeps[i], d) << i;
        EXPECT_LE(sleeps[i], d * 1.5) << i;
    }
    auto backoffs = logged("identity_throttle_server_backoff");
    ASSERT_EQ(backoffs.size(), 3u);
    EXPECT_EQ(backoffs[2].fields.at("attempt"), "2");
    EXPECT_EQ(backoffs[2].level, CorvaneLogLevel::info) << "5xx logs at info";
    // Each attempt took a budget token: 26 are left in this minute.
    server().route("POST", "/ok", SimHttpReply::http(200));
    for (int i = 0; i < 26; ++i)
        ASSERT_EQ(call("POST", "/ok").status(), 200) << i;
    EXPECT_EQ(call("POST", "/ok").status(), 429);
}

TEST_F(IdentityThrottleTest, TransportErrorsAreRetriedWithoutTokensAndTheLastIsRethrown) {
    int n = 0;
    server().route("GET", "/flaky", [&](const platform::HttpRequest&) {
        ++n;
        return SimHttpReply::failure(n < 4 ? platform::URLError::timedOut
                                           : platform::URLError::networkConnectionLost);
    });
    server().route("POST", "/ok", SimHttpReply::http(200));
    Call c = call("GET", "/flaky");
    ASSERT_TRUE(c.threw<platform::HttpTransportError>());
    try {
        std::rethrow_exception(c.error);
    } catch (const platform::HttpTransportError& e) {
        EXPECT_EQ(e.urlErrorCode(), platform::URLError::networkConnectionLost);
    }
    EXPECT_EQ(n, 4);
    EXPECT_EQ(sleeps.size(), 3u);
    EXPECT_TRUE(logged("identity_throttle_server_backoff").empty());

    // Only the first attempt took a token: 29 more requests fit in this minute.
    for (int i = 0; i < 29; ++i)
        ASSERT_EQ(call("POST", "/ok").status(), 200) << i;
    EXPECT_EQ(call("POST", "/ok").status(), 429);
}

TEST_F(IdentityThrottleTest, ARetryWithoutABudgetTokenReturnsTheLastAnswer) {
    server().route("POST", "/ok", SimHttpReply::http(200));
    server().route("GET", "/busy", SimHttpReply::http(503, "busy").header("Retry-After", "1"));
    for (int i = 0; i < 29; ++i)
        call("POST", "/ok");
    Call c = call("GET", "/busy");
    EXPECT_EQ(c.status(), 503);
    EXPECT_EQ(c.body(), "busy") << "the server's own answer, not a synthetic one";
    EXPECT_EQ(server().count("GET", "/busy"), 1u);
    EXPECT_EQ(sleeps, std::vector<double>{1});
}

TEST_F(IdentityThrottleTest, CancellingDuringBackoffEndsTheCallPromptly) {
    server().route("GET", "/busy", SimHttpReply::http(503).header("Retry-After", "100"));
    asio::cancellation_signal signal;
    auto c = start("GET", "/busy", signal.slot());
    host.advance(10);
    ASSERT_FALSE(c->finished);
    signal.emit(asio::cancellation_type::terminal);
    host.runUntilIdle();
    ASSERT_TRUE(c->finished);
    EXPECT_TRUE(c->threw<corvane::CancellationError>());
    EXPECT_DOUBLE_EQ(c->finishedAt, 10);
    host.advance(200);
    EXPECT_EQ(server().count("GET", "/busy"), 1u) << "no retry after the cancellation";
}

TEST_F(IdentityThrottleTest, AWaitDeafToCancellationStillEndsTheCallAtTheNextCheck) {
    throttle = std::make_unique<IdentityThrottle>(
        IdentityThrottleOptions{}, corvane::CorvaneLogger{}, IdentityThrottle::Clock{},
        [](double seconds) -> asio::awaitable<void> {
            // A wait that no cancellation reaches.
            auto deaf =
                asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable);
            co_await platform::asyncSleep(platform::libraryRuntime(), seconds, deaf);
        });
    server().route("GET", "/busy", SimHttpReply::http(503).header("Retry-After", "20"));
    asio::cancellation_signal signal;
    auto c = start("GET", "/busy", signal.slot());
    host.advance(5);
    signal.emit(asio::cancellation_type::terminal);
    host.advance(10);
    EXPECT_FALSE(c->finished) << "the wait goes on";
    host.advance(10);
    ASSERT_TRUE(c->finished);
    EXPECT_TRUE(c->threw<corvane::CancellationError>());
    EXPECT_DOUBLE_EQ(c->finishedAt, 20);
    EXPECT_EQ(server().count("GET", "/busy"), 1u);
}

TEST_F(IdentityThrottleTest, ACancelledSendIsNotCountedAsAFailure) {
    server().route("POST", "/fail", SimHttpReply::http(500));
    server().route("POST", "/slow", SimHttpReply::http(200).after(30));
    server().route("POST", "/ok", SimHttpReply::http(200));
    for (int i = 0; i < 4; ++i)
        call("POST", "/fail");

    asio::cancellation_signal signal;
    auto c = start("POST", "/slow", signal.slot());
    host.advance(5);
    signal.emit(asio::cancellation_type::terminal);
    host.runUntilIdle();
    ASSERT_TRUE(c->finished);
    EXPECT_TRUE(c->threw<corvane::CancellationError>());
    EXPECT_EQ(call("POST", "/ok").status(), 200) << "the circuit did not open";
    EXPECT_TRUE(logged("identity_throttle_circuit_tripped").empty());
}

TEST_F(IdentityThrottleTest, AnErrorOfTheWaitReachesTheCaller) {
    struct WaitBroke : std::runtime_error {
        WaitBroke() : std::runtime_error("wait broke") {}
    };
    throttle = std::make_unique<IdentityThrottle>(
        IdentityThrottleOptions{}, corvane::CorvaneLogger{}, IdentityThrottle::Clock{},
        [](double) -> asio::awaitable<void> {
            throw WaitBroke();
            co_return;
        });
    server().route("GET", "/busy", SimHttpReply::http(503));
    Call c = call("GET", "/busy");
    EXPECT_TRUE(c.threw<WaitBroke>());
    EXPECT_EQ(server().count("GET", "/busy"), 1u);
}

TEST_F(IdentityThrottleTest, OtherRequestsPassWhileOneWaits) {
    // The actor is free while a request backs off: a POST started later finishes first, and
    // its success resets the count that the GET's failure raised.
    server().routeSequence(
        "GET", "/busy",
        {SimHttpReply::http(503).header("Retry-After", "30"), SimHttpReply::http(200)});
    server().route("POST", "/ok", SimHttpReply::http(200).after(1));
    server().route("POST", "/fail", SimHttpReply::http(500));
    auto get = start("GET", "/busy");
    host.advance(5);
    auto post = start("POST", "/ok");
    host.advance(1);
    ASSERT_TRUE(post->finished);
    EXPECT_FALSE(get->finished);
    host.advance(30);
    ASSERT_TRUE(get->finished);
    EXPECT_EQ(get->status(), 200);
    for (int i = 0; i < 4; ++i)
        call("POST", "/fail");
    EXPECT_TRUE(logged("identity_throttle_circuit_tripped").empty());
}

TEST_F(IdentityThrottleTest, NonHttpAnswersAndOptionsAreHonoured) {
    makeThrottle({.maxRequestsPerMinute = 2,
                  .circuitBreakerThreshold = 1,
                  .circuitBreakerOpenDuration = 10,
                  .maxBackoff = 0.5,
                  .backoffBase = 2,
                  .maxRetries = 1});
    server().route("GET", "/file", SimHttpReply::nonHTTP("x"));
    Call c = call("GET", "/file");
    ASSERT_TRUE(c.result);
    EXPECT_FALSE(c.result->response.isHTTP);
    EXPECT_TRUE(logged("identity_throttle_circuit_tripped").empty());

    server().route("GET", "/busy", SimHttpReply::http(503).header("Retry-After", "60"));
    Call busy = call("GET", "/busy");
    EXPECT_EQ(server().count("GET", "/busy"), 1u) << "budget of 2 spent by the retry's token";
    EXPECT_EQ(busy.status(), 503);
    EXPECT_EQ(sleeps, std::vector<double>{0.5}) << "Retry-After capped at maxBackoff";
    EXPECT_EQ(logged("identity_throttle_circuit_tripped").size(), 1u) << "threshold of 1";
    expectSynthetic(call("GET", "/file"), 503, "circuit_open", "9");
}

namespace {

// A send that no cancellation reaches: it takes `seconds` and then fails with a timeout, as a
// transfer does that ends on its own while its task is being cancelled.
IdentityThrottle::Send deafSendFailingAfter(double seconds, int& sent) {
    return [seconds, &sent]() -> asio::awaitable<HttpResult> {
        ++sent;
        auto deaf = asio::bind_cancellation_slot(asio::cancellation_slot(), asio::use_awaitable);
        co_await platform::asyncSleep(platform::libraryRuntime(), seconds, deaf);
        throw platform::HttpTransportError::urlError(platform::URLError::timedOut);
    };
}

} // namespace

TEST_F(IdentityThrottleTest, AnErrorOfASendWhoseTaskWasCancelledIsRecordedAndRethrown) {
    server().route("POST", "/fail", SimHttpReply::http(500));
    for (int i = 0; i < 4; ++i)
        call("POST", "/fail");

    // A POST: the failure counts (the fifth opens the circuit) and its own error comes back.
    int sent = 0;
    asio::cancellation_signal signal;
    auto post = start("POST", "/p", signal.slot(), deafSendFailingAfter(10, sent));
    host.advance(5);
    signal.emit(asio::cancellation_type::terminal);
    host.advance(10);
    ASSERT_TRUE(post->finished);
    EXPECT_TRUE(post->threw<platform::HttpTransportError>()) << "the send's error, not a cancel";
    EXPECT_EQ(logged("identity_throttle_circuit_tripped").size(), 1u) << "the failure counted";
    // The circuit opened when the send failed, 5 s ago.
    expectSynthetic(call("GET", "/ok"), 503, "circuit_open", "295");

    // A GET with retries left: the failure counts, and the cancellation is seen after the wait,
    // which ends at once for a cancelled task; nothing is sent again.
    makeThrottle({.circuitBreakerThreshold = 1});
    sent = 0;
    const double t0 = host.simRunLoop().monotonicNow();
    asio::cancellation_signal getSignal;
    auto get = start("GET", "/g", getSignal.slot(), deafSendFailingAfter(10, sent));
    host.advance(5);
    getSignal.emit(asio::cancellation_type::terminal);
    host.advance(10);
    ASSERT_TRUE(get->finished);
    EXPECT_TRUE(get->threw<corvane::CancellationError>());
    EXPECT_DOUBLE_EQ(get->finishedAt - t0, 10) << "no back-off was waited out";
    EXPECT_EQ(logged("identity_throttle_circuit_tripped").size(), 2u) << "the failure counted";
    host.advance(100);
    EXPECT_EQ(sent, 1);

    // Out of retries, the error itself is rethrown even for a cancelled GET.
    makeThrottle({.maxRetries = 0});
    sent = 0;
    asio::cancellation_signal lastSignal;
    auto last = start("GET", "/g", lastSignal.slot(), deafSendFailingAfter(10, sent));
    host.advance(5);
    lastSignal.emit(asio::cancellation_type::terminal);
    host.advance(10);
    ASSERT_TRUE(last->finished);
    EXPECT_TRUE(last->threw<platform::HttpTransportError>());
}

TEST_F(IdentityThrottleTest, DestroyingTheThrottleEndsItsCallsWithoutTouchingItAgain) {
    // Mid back-off: the call ends at once with a cancellation, nothing more is sent or logged.
    server().route("GET", "/busy", SimHttpReply::http(503).header("Retry-After", "100"));
    auto waiting = start("GET", "/busy");
    host.advance(10);
    ASSERT_FALSE(waiting->finished);
    const std::size_t logLines = logs.size();
    throttle.reset();
    host.runUntilIdle();
    ASSERT_TRUE(waiting->finished);
    EXPECT_TRUE(waiting->threw<corvane::CancellationError>());
    EXPECT_DOUBLE_EQ(waiting->finishedAt, 10);
    host.advance(300);
    EXPECT_EQ(server().count("GET", "/busy"), 1u);
    EXPECT_EQ(logs.size(), logLines);

    // During a send that no cancellation reaches: the send's own outcome ends the call; the
    // failure is neither counted nor logged and nothing is retried.
    makeThrottle({.circuitBreakerThreshold = 1});
    int sent = 0;
    auto sending = start("GET", "/g", {}, deafSendFailingAfter(10, sent));
    host.advance(5);
    throttle.reset();
    host.advance(10);
    ASSERT_TRUE(sending->finished);
    EXPECT_TRUE(sending->threw<platform::HttpTransportError>());
    host.advance(100);
    EXPECT_EQ(sent, 1);
    EXPECT_TRUE(logged("identity_throttle_circuit_tripped").empty());
}
