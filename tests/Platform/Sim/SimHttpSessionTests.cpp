#include "Platform/Async.h"
#include "Platform/HttpSession.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace asio = boost::asio;
using platform::HttpRequest;
using platform::HttpResult;
using platform::HttpTransportError;
using platform::sim::SimHttpReply;
using platform::sim::SimHttpSession;

namespace {

struct Exchange {
    bool finished = false;
    std::optional<HttpResult> result;
    std::optional<HttpTransportError> error;
    double finishedAt = -1;
};

class SimHttp : public ::testing::Test {
protected:
    SimHttpSession& server() { return host.simHttp(); }

    void send(Exchange& ex, HttpRequest request, asio::cancellation_slot slot = {}) {
        auto body = [request = std::move(request)]() -> asio::awaitable<HttpResult> {
            co_return co_await platform::httpSession().send(request);
        };
        auto done = [this, &ex](std::exception_ptr e, HttpResult r) {
            ex.finished = true;
            ex.finishedAt = host.simRunLoop().monotonicNow();
            if (!e) {
                ex.result = std::move(r);
                return;
            }
            try {
                std::rethrow_exception(e);
            } catch (const HttpTransportError& err) {
                ex.error = err;
            }
        };
        if (slot.is_connected())
            asio::co_spawn(platform::libraryExecutor(), body,
                           asio::bind_cancellation_slot(slot, done));
        else
            asio::co_spawn(platform::libraryExecutor(), body, done);
    }

    static HttpRequest getRequest(std::string url) {
        HttpRequest r;
        r.url = std::move(url);
        return r;
    }

    static std::string text(const HttpResult& r) { return {r.data.begin(), r.data.end()}; }

    platform::sim::SimHost host;
};

} // namespace

TEST(HttpHeaders, LookupIgnoresCaseAndSetReplacesEveryField) {
    platform::HttpHeaders h{{"Retry-After", "5"}, {"X-A", "1"}, {"retry-after", "7"}};
    EXPECT_EQ(h.value("RETRY-AFTER"), "5");
    EXPECT_EQ(h.value("missing"), std::nullopt);

    h.set("RETRY-after", "9");
    ASSERT_EQ(h.size(), 2u);
    EXPECT_EQ(h.fields()[0], (platform::HttpHeaders::Field{"RETRY-after", "9"}));
    EXPECT_EQ(h.fields()[1].first, "X-A");

    h.add("x-a", "2");
    EXPECT_EQ(h.value("X-A"), "1");
    h.remove("X-a");
    EXPECT_EQ(h.size(), 1u);
}

TEST_F(SimHttp, RoutesByMethodAndPathAndRecordsRequests) {
    server().route("POST", "/api/thing",
                   SimHttpReply::json(201, R"({"ok":true})").header("Retry-After", "3"));
    server().route("*", "/any", SimHttpReply::http(204));

    Exchange post, get, other, unrouted;
    HttpRequest p = getRequest("https://id.example/api/thing?x=1#f");
    p.method = "post";
    p.body = {'{', '}'};
    send(post, p);
    send(get, getRequest("https://id.example/api/thing"));
    send(other, getRequest("https://id.example/any"));
    send(unrouted, getRequest("https://id.example/nowhere"));
    EXPECT_FALSE(post.finished) << "answers arrive on a later turn";
    host.runUntilIdle();

    ASSERT_TRUE(post.result);
    EXPECT_EQ(post.result->response.statusCode, 201);
    EXPECT_EQ(post.result->response.httpVersion, "HTTP/1.1");
    EXPECT_TRUE(post.result->response.isHTTP);
    EXPECT_EQ(post.result->response.headers.value("content-type"), "application/json");
    EXPECT_EQ(post.result->response.headers.value("retry-after"), "3");
    EXPECT_EQ(text(*post.result), R"({"ok":true})");
    ASSERT_TRUE(get.result);
    EXPECT_EQ(get.result->response.statusCode, 404) << "POST route does not answer a GET";
    ASSERT_TRUE(other.result);
    EXPECT_EQ(other.result->response.statusCode, 204);
    ASSERT_TRUE(unrouted.result);
    EXPECT_EQ(unrouted.result->response.statusCode, 404);

    ASSERT_EQ(server().requests().size(), 4u);
    EXPECT_EQ(server().requests()[0].body, (std::vector<std::uint8_t>{'{', '}'}));
    EXPECT_EQ(server().count("POST", "/api/thing"), 1u);
    EXPECT_EQ(server().count("*", "/api/thing"), 2u);
}

TEST_F(SimHttp, DelaysTimeOutsAndSequencesRunOnVirtualTime) {
    server().routeSequence("GET", "/seq",
                           {SimHttpReply::http(503).after(2), SimHttpReply::http(200).after(1)});
    Exchange first, second, third;
    send(first, getRequest("https://id.example/seq"));
    host.advance(1.5);
    EXPECT_FALSE(first.finished);
    EXPECT_EQ(server().inFlight(), 1u);
    host.advance(0.5);
    ASSERT_TRUE(first.result);
    EXPECT_EQ(first.result->response.statusCode, 503);
    EXPECT_DOUBLE_EQ(first.finishedAt, 2);

    send(second, getRequest("https://id.example/seq"));
    send(third, getRequest("https://id.example/seq"));
    host.advance(1);
    ASSERT_TRUE(second.result && third.result);
    EXPECT_EQ(second.result->response.statusCode, 200);
    EXPECT_EQ(third.result->response.statusCode, 200) << "the last answer repeats";

    // An answer slower than the request's time-out fails at the time-out.
    server().route("GET", "/slow", SimHttpReply::http(200).after(100));
    Exchange slow;
    HttpRequest r = getRequest("https://id.example/slow");
    r.timeout = 30;
    const double start = host.simRunLoop().monotonicNow();
    send(slow, r);
    host.advance(200);
    ASSERT_TRUE(slow.error);
    EXPECT_EQ(slow.error->urlErrorCode(), platform::URLError::timedOut);
    EXPECT_EQ(slow.error->domain(), "NSURLErrorDomain");
    EXPECT_DOUBLE_EQ(slow.finishedAt - start, 30);
    EXPECT_EQ(server().inFlight(), 0u);
}

TEST_F(SimHttp, TransportErrorsOfflineAndNonHttpAnswers) {
    server().route("GET", "/refused",
                   SimHttpReply::failure(platform::URLError::cannotConnectToHost));
    server().route("GET", "/file", SimHttpReply::nonHTTP("plain"));
    Exchange refused, file, offline;
    send(refused, getRequest("https://id.example/refused"));
    send(file, getRequest("https://id.example/file"));
    host.runUntilIdle();
    ASSERT_TRUE(refused.error);
    EXPECT_EQ(refused.error->urlErrorCode(), -1004);
    EXPECT_EQ(refused.error->code(), -1004);
    ASSERT_TRUE(file.result);
    EXPECT_FALSE(file.result->response.isHTTP);
    EXPECT_EQ(text(*file.result), "plain");

    server().online = false;
    send(offline, getRequest("https://id.example/file"));
    host.runUntilIdle();
    ASSERT_TRUE(offline.error);
    EXPECT_EQ(offline.error->urlErrorCode(), platform::URLError::notConnectedToInternet);
}

TEST_F(SimHttp, CancellingASendFailsItAtOnceAndDropsTheAnswer) {
    int answered = 0;
    server().route("GET", "/slow", [&](const HttpRequest&) {
        ++answered;
        return SimHttpReply::http(200).after(10);
    });
    asio::cancellation_signal signal;
    Exchange ex;
    send(ex, getRequest("https://id.example/slow"), signal.slot());
    host.advance(3);
    ASSERT_FALSE(ex.finished);
    signal.emit(asio::cancellation_type::terminal);
    host.runUntilIdle();
    ASSERT_TRUE(ex.error);
    EXPECT_TRUE(ex.error->isCancelled());
    EXPECT_DOUBLE_EQ(ex.finishedAt, 3);
    EXPECT_EQ(server().inFlight(), 0u);
    EXPECT_EQ(host.simRunLoop().pendingTimerCount(), 0u);
    EXPECT_EQ(answered, 1);
}

TEST_F(SimHttp, ARelaunchDropsRequestsInFlightButKeepsTheRoutes) {
    server().route("GET", "/slow", SimHttpReply::http(200).after(5));
    Exchange before, after;
    send(before, getRequest("https://id.example/slow"));
    host.advance(1);
    EXPECT_EQ(server().inFlight(), 1u);
    host.relaunch();
    EXPECT_EQ(server().inFlight(), 0u);
    host.advance(10);
    EXPECT_FALSE(before.finished) << "the old process is gone";

    send(after, getRequest("https://id.example/slow"));
    host.advance(5);
    ASSERT_TRUE(after.result);
    EXPECT_EQ(after.result->response.statusCode, 200);
}

TEST(SimHttpPath, PathOfCutsQueryAndFragment) {
    EXPECT_EQ(SimHttpSession::pathOf("https://h.example/a/b?c=1"), "/a/b");
    EXPECT_EQ(SimHttpSession::pathOf("https://h.example/a#frag"), "/a");
    EXPECT_EQ(SimHttpSession::pathOf("https://h.example"), "/");
    EXPECT_EQ(SimHttpSession::pathOf("https://h.example?x"), "/");
    EXPECT_EQ(SimHttpSession::pathOf("/rel/path?q"), "/rel/path");
}
