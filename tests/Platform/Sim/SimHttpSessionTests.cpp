#include "Platform/Async.h"
#include "Platform/HttpRedirect.h"
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

TEST_F(SimHttp, ARedirectComesBackAsTheAnswerUnlessTheRequestFollowsHttpsOnly) {
    server().route(
        "POST", "/api/app-sessions/exchange",
        SimHttpReply::http(307, "moved").header("Location", "https://elsewhere.example/take"));
    server().route("*", "/take", SimHttpReply::http(200, "taken"));
    HttpRequest post = getRequest("https://id.example/api/app-sessions/exchange");
    post.method = "POST";
    post.body = {'{', '}'};
    Exchange ex;
    send(ex, post);
    host.runUntilIdle();
    ASSERT_TRUE(ex.result);
    EXPECT_EQ(ex.result->response.statusCode, 307);
    EXPECT_EQ(ex.result->response.url, post.url);
    EXPECT_EQ(ex.result->response.headers.value("Location"), "https://elsewhere.example/take");
    EXPECT_EQ(text(*ex.result), "moved");
    EXPECT_EQ(server().count("*", "/take"), 0u) << "the body went nowhere else";

    // A chain of https hops is followed, each an answer of its own in virtual time.
    server().route("GET", "/feed", SimHttpReply::http(302).header("Location", "/v2/feed").after(1));
    server().route("GET", "/v2/feed",
                   SimHttpReply::http(301).header("Location", "https://cdn.example/appcast.xml"));
    server().route("GET", "/appcast.xml", SimHttpReply::http(200, "<rss/>").after(2));
    HttpRequest feed = getRequest("https://updates.example/feed");
    feed.redirects = platform::RedirectPolicy::httpsOnly;
    Exchange followed;
    const double start = host.simRunLoop().monotonicNow();
    send(followed, feed);
    host.runUntilIdle();
    host.advance(3);
    ASSERT_TRUE(followed.result);
    EXPECT_EQ(followed.result->response.statusCode, 200);
    EXPECT_EQ(followed.result->response.url, "https://cdn.example/appcast.xml");
    EXPECT_EQ(text(*followed.result), "<rss/>");
    EXPECT_DOUBLE_EQ(followed.finishedAt - start, 3);
    const auto& seen = server().requests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[2].url, "https://updates.example/v2/feed");
    EXPECT_EQ(seen[3].url, "https://cdn.example/appcast.xml");
}

TEST_F(SimHttp, HttpsOnlyRefusesAPlainHopAnywhereInTheChainAndEndlessChains) {
    // The second hop is clear text, the third would be https again: the chain ends at the
    // second, which is never requested.
    server().route("GET", "/feed",
                   SimHttpReply::http(302).header("Location", "https://cdn.example/mid"));
    server().route("GET", "/mid",
                   SimHttpReply::http(302).header("Location", "http://mirror.example/plain"));
    server().route("GET", "/plain",
                   SimHttpReply::http(302).header("Location", "https://cdn.example/appcast.xml"));
    server().route("GET", "/appcast.xml", SimHttpReply::http(200, "<rss/>"));
    HttpRequest feed = getRequest("https://updates.example/feed");
    feed.redirects = platform::RedirectPolicy::httpsOnly;
    Exchange ex;
    send(ex, feed);
    host.runUntilIdle();
    ASSERT_TRUE(ex.error);
    EXPECT_EQ(ex.error->urlErrorCode(),
              platform::URLError::appTransportSecurityRequiresSecureConnection);
    EXPECT_EQ(std::string(ex.error->what()),
              "The server redirected the request to an address that does not use HTTPS; the "
              "redirect was not followed.");
    EXPECT_EQ(server().count("*", "/plain"), 0u);
    EXPECT_EQ(server().count("*", "/appcast.xml"), 0u);

    // Loopback clear text is followed between loopback addresses.
    server().route("GET", "/local",
                   SimHttpReply::http(307).header("Location", "http://localhost:9/appcast.xml"));
    HttpRequest local = getRequest("http://127.0.0.1:8/local");
    local.redirects = platform::RedirectPolicy::httpsOnly;
    Exchange loopback;
    send(loopback, local);
    host.runUntilIdle();
    ASSERT_TRUE(loopback.result);
    EXPECT_EQ(loopback.result->response.url, "http://localhost:9/appcast.xml");

    server().route("GET", "/loop", SimHttpReply::http(302).header("Location", "/loop"));
    HttpRequest loop = getRequest("https://updates.example/loop");
    loop.redirects = platform::RedirectPolicy::httpsOnly;
    Exchange endless;
    send(endless, loop);
    host.runUntilIdle();
    ASSERT_TRUE(endless.error);
    EXPECT_EQ(endless.error->urlErrorCode(), platform::URLError::httpTooManyRedirects);
    EXPECT_EQ(server().count("GET", "/loop"), 1u + platform::maxRedirects);
}

TEST_F(SimHttp, ARedirectChainSharesTheRequestsTimeOutAndCancellation) {
    server().route("GET", "/a", SimHttpReply::http(302).header("Location", "/b").after(2));
    server().route("GET", "/b", SimHttpReply::http(302).header("Location", "/c").after(2));
    server().route("GET", "/c", SimHttpReply::http(200).after(2));
    HttpRequest r = getRequest("https://u.example/a");
    r.redirects = platform::RedirectPolicy::httpsOnly;
    r.timeout = 5;
    Exchange slow;
    const double start = host.simRunLoop().monotonicNow();
    send(slow, r);
    host.advance(10);
    ASSERT_TRUE(slow.error);
    EXPECT_EQ(slow.error->urlErrorCode(), platform::URLError::timedOut);
    EXPECT_DOUBLE_EQ(slow.finishedAt - start, 5) << "five seconds for the whole chain";

    asio::cancellation_signal signal;
    r.timeout = 60;
    Exchange cancelled;
    send(cancelled, r, signal.slot());
    host.advance(3); // on the second hop
    ASSERT_FALSE(cancelled.finished);
    signal.emit(asio::cancellation_type::terminal);
    host.runUntilIdle();
    ASSERT_TRUE(cancelled.error);
    EXPECT_TRUE(cancelled.error->isCancelled());
    EXPECT_EQ(server().inFlight(), 0u);
    host.advance(10);
    EXPECT_EQ(server().count("GET", "/c"), 1u) << "only the timed-out exchange got that far";
}

TEST_F(SimHttp, ABodyLargerThanItsCapFails) {
    server().route("GET", "/feed", SimHttpReply::http(200, std::string(100, 'x')));
    auto fetch = [&](std::optional<std::size_t> cap) {
        HttpRequest r = getRequest("https://u.example/feed");
        r.maxBodyBytes = cap;
        Exchange ex;
        send(ex, r);
        host.runUntilIdle();
        return ex;
    };
    auto exact = fetch(100);
    ASSERT_TRUE(exact.result);
    EXPECT_EQ(exact.result->data.size(), 100u);
    auto over = fetch(99);
    ASSERT_TRUE(over.error);
    EXPECT_EQ(over.error->urlErrorCode(), platform::URLError::dataLengthExceedsMaximum);

    // Without a cap of its own a request has the session's.
    server().route("GET", "/huge",
                   SimHttpReply::http(200, std::string(SimHttpSession::maxBodyBytes + 1, 'x')));
    Exchange huge;
    send(huge, getRequest("https://u.example/huge"));
    host.runUntilIdle();
    ASSERT_TRUE(huge.error);
    EXPECT_EQ(huge.error->urlErrorCode(), platform::URLError::dataLengthExceedsMaximum);
}
