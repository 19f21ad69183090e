// The identity throttle's own cost per request: a request through the throttle against the same
// request sent directly, both on the simulated host's library executor with a send that answers
// at once. The difference is the throttle's overhead (strand hop, budget and circuit checks).
#include "CorvaneAccount/Transport/IdentityThrottle.h"
#include "Platform/Async.h"
#include "Platform/Sim/SimHost.h"

#include <benchmark/benchmark.h>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

#include <climits>

namespace asio = boost::asio;
using corvane::IdentityThrottle;
using corvane::IdentityThrottleOptions;
using platform::HttpResult;

namespace {

HttpResult okResult() {
    HttpResult r;
    r.response.statusCode = 200;
    r.response.httpVersion = "HTTP/1.1";
    r.response.headers.add("Content-Type", "application/json");
    const std::string body = R"({"ok":true})";
    r.data.assign(body.begin(), body.end());
    return r;
}

IdentityThrottle::Send answeringSend() {
    return []() -> asio::awaitable<HttpResult> { co_return okResult(); };
}

// Every so many requests virtual time moves on, so the budget window stays short.
constexpr int windowEvery = 4096;

void BM_DirectSend(benchmark::State& state) {
    platform::sim::SimHost host;
    const IdentityThrottle::Send send = answeringSend();
    int status = 0;
    for (auto _ : state) {
        auto task = [&]() -> asio::awaitable<void> {
            auto op = send();
            HttpResult r = co_await std::move(op);
            status = r.response.statusCode;
        };
        asio::co_spawn(platform::libraryExecutor(), task, asio::detached);
        host.runUntilIdle();
        benchmark::DoNotOptimize(status);
    }
}
BENCHMARK(BM_DirectSend);

void BM_ThrottledSend(benchmark::State& state) {
    platform::sim::SimHost host;
    IdentityThrottleOptions options;
    options.maxRequestsPerMinute = INT_MAX;
    IdentityThrottle throttle(options);
    const IdentityThrottle::Send send = answeringSend();
    const std::string url = "https://id.corvane.example/api/app-sessions/refresh";
    const std::string method = "POST";
    int status = 0;
    long n = 0;
    for (auto _ : state) {
        auto task = [&]() -> asio::awaitable<void> {
            auto op = throttle.run(url, method, send);
            HttpResult r = co_await std::move(op);
            status = r.response.statusCode;
        };
        asio::co_spawn(platform::libraryExecutor(), task, asio::detached);
        host.runUntilIdle();
        benchmark::DoNotOptimize(status);
        if (++n % windowEvery == 0)
            host.advance(61);
    }
    if (status != 200)
        state.SkipWithError("the throttle did not pass the request");
}
BENCHMARK(BM_ThrottledSend);

void BM_BudgetRefusal(benchmark::State& state) {
    platform::sim::SimHost host;
    IdentityThrottleOptions options;
    options.maxRequestsPerMinute = 0;
    IdentityThrottle throttle(options);
    const IdentityThrottle::Send send = answeringSend();
    const std::string url = "https://id.corvane.example/api/app-sessions/refresh";
    const std::string method = "GET";
    int status = 0;
    for (auto _ : state) {
        auto task = [&]() -> asio::awaitable<void> {
            auto op = throttle.run(url, method, send);
            HttpResult r = co_await std::move(op);
            status = r.response.statusCode;
        };
        asio::co_spawn(platform::libraryExecutor(), task, asio::detached);
        host.runUntilIdle();
        benchmark::DoNotOptimize(status);
    }
    if (status != 429)
        state.SkipWithError("the throttle did not refuse");
}
BENCHMARK(BM_BudgetRefusal);

} // namespace

BENCHMARK_MAIN();
