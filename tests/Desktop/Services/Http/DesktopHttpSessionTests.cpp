#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Desktop/Services/LibraryThread.h"
#include "Platform/HttpRedirect.h"
#include "tests/Desktop/Services/Http/LoopbackHttpServer.h"

#include <boost/asio/bind_cancellation_slot.hpp>
#include <boost/asio/cancellation_signal.hpp>
#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_future.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <optional>
#include <string>
#include <thread>

namespace asio = boost::asio;
using desktop::DesktopHttpSession;
using desktop::LibraryThread;
using platform::HttpRequest;
using platform::HttpResult;
using platform::HttpTransportError;
using testing_http::LoopbackHttpServer;
using testing_http::Reply;
using testing_http::Request;

namespace {

// Generous bound for an answer over loopback; tests never wait for time to pass.
constexpr auto answerBound = std::chrono::seconds(20);

Reply route(const Request& r) {
    if (r.target == "/hello")
        return Reply{200,
                     "OK",
                     {{"Content-Type", "text/plain"}, {"X-Multi", "a"}, {"x-multi", "b"}},
                     "hello world",
                     false};
    if (r.target == "/echo")
        return Reply{201, "Created", {{"Content-Type", "application/octet-stream"}}, r.body, false};
    if (r.target == "/busy")
        return Reply{503, "Service Unavailable", {{"Retry-After", "7"}}, "", false};
    if (r.target == "/redirect")
        return Reply{302, "Found", {{"Location", "/hello"}}, "", false};
    if (r.target == "/chain") // absolute, to this server by its address
        return Reply{308,
                     "Permanent Redirect",
                     {{"Location", "http://" + r.header("Host").value_or("") + "/redirect"}},
                     "",
                     false};
    if (r.target == "/identity")
        return Reply{307, "Temporary Redirect", {{"Location", "/elsewhere"}}, "moved", false};
    if (r.target == "/keep")
        return Reply{307, "Temporary Redirect", {{"Location", "/echo"}}, "", false};
    if (r.target == "/see-other")
        return Reply{303, "See Other", {{"Location", "/echo"}}, "", false};
    if (r.target == "/to-plain") // TEST-NET-1: reached by nobody
        return Reply{302, "Found", {{"Location", "http://192.0.2.1/feed"}}, "", false};
    if (r.target == "/to-file")
        return Reply{302, "Found", {{"Location", "file:///etc/hostname"}}, "", false};
    if (r.target == "/loop")
        return Reply{302, "Found", {{"Location", "/loop"}}, "", false};
    if (r.target == "/endless") // a body far beyond any cap, whose end never comes
        return Reply{200, "OK", {}, std::string(4096, 'x'), false, std::size_t{1} << 30};
    if (r.target == "/hang")
        return Reply{200, "OK", {}, "", true};
    return Reply{404, "Not Found", {}, "", false};
}

class DesktopHttp : public ::testing::Test {
protected:
    std::future<HttpResult> send(HttpRequest request, asio::cancellation_slot slot = {}) {
        auto body = [this, request]() -> asio::awaitable<HttpResult> {
            auto op = session->send(request);
            co_return co_await std::move(op);
        };
        if (slot.is_connected())
            return asio::co_spawn(library.executor(), body,
                                  asio::bind_cancellation_slot(slot, asio::use_future));
        return asio::co_spawn(library.executor(), body, asio::use_future);
    }

    HttpRequest request(const std::string& target, const std::string& method = "GET") {
        HttpRequest r;
        r.method = method;
        r.url = server.url(target);
        return r;
    }

    static std::optional<HttpTransportError> failure(std::future<HttpResult>& f) {
        if (f.wait_for(answerBound) != std::future_status::ready) {
            ADD_FAILURE() << "no answer";
            return std::nullopt;
        }
        try {
            f.get();
        } catch (const HttpTransportError& e) {
            return e;
        }
        return std::nullopt;
    }

    static HttpResult answer(std::future<HttpResult>& f) {
        if (f.wait_for(answerBound) != std::future_status::ready) {
            ADD_FAILURE() << "no answer";
            return {};
        }
        return f.get();
    }

    LibraryThread library;
    std::unique_ptr<DesktopHttpSession> session = std::make_unique<DesktopHttpSession>();
    LoopbackHttpServer server{route};
};

} // namespace

TEST_F(DesktopHttp, DeliversStatusVersionHeadersAndBody) {
    auto f = send(request("/hello"));
    HttpResult r = answer(f);
    EXPECT_TRUE(r.response.isHTTP);
    EXPECT_EQ(r.response.statusCode, 200);
    EXPECT_EQ(r.response.httpVersion, "HTTP/1.1");
    EXPECT_EQ(r.response.url, server.url("/hello"));
    EXPECT_EQ(r.response.headers.value("content-TYPE"), "text/plain");
    EXPECT_EQ(r.response.headers.value("X-MULTI"), "a");
    int multi = 0;
    for (const auto& [name, value] : r.response.headers.fields())
        multi += platform::HttpHeaders::namesEqual(name, "x-multi") ? 1 : 0;
    EXPECT_EQ(multi, 2) << "repeated fields are all kept";
    EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "hello world");

    // A server error is an answer, not a transport failure.
    auto busy = send(request("/busy"));
    HttpResult b = answer(busy);
    EXPECT_EQ(b.response.statusCode, 503);
    EXPECT_EQ(b.response.headers.value("Retry-After"), "7");
    EXPECT_TRUE(b.data.empty());
}

TEST_F(DesktopHttp, SendsMethodHeaderFieldsAndBodyAsGiven) {
    HttpRequest post = request("/echo", "POST");
    post.headers.add("Content-Type", "application/json");
    post.headers.add("Corvane-Client-Version", "0.3.1");
    const std::string json = R"({"app_slug":"quillet"})";
    post.body.assign(json.begin(), json.end());
    auto f = send(post);
    HttpResult r = answer(f);
    EXPECT_EQ(r.response.statusCode, 201);
    EXPECT_EQ(std::string(r.data.begin(), r.data.end()), json);

    HttpRequest put = request("/echo", "PUT");
    auto g = send(put);
    EXPECT_EQ(answer(g).response.statusCode, 201);
    auto h = send(request("/hello"));
    answer(h);

    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].body, json);
    EXPECT_EQ(seen[0].header("content-type"), "application/json");
    EXPECT_EQ(seen[0].header("Corvane-Client-Version"), "0.3.1");
    EXPECT_EQ(seen[0].header("Expect"), std::nullopt);
    EXPECT_EQ(seen[1].method, "PUT");
    EXPECT_EQ(seen[1].header("Content-Type"), std::nullopt) << "no invented form content type";
    EXPECT_EQ(seen[2].method, "GET");
    EXPECT_EQ(seen[2].body, "");
}

TEST_F(DesktopHttp, ARedirectComesBackAsTheAnswerUnlessTheRequestFollowsHttpsOnly) {
    // A 307 to a POST that carries a code: the answer is the 307, and the body goes nowhere else.
    HttpRequest post = request("/identity", "POST");
    const std::string json = R"({"code":"c0de"})";
    post.body.assign(json.begin(), json.end());
    post.headers.add("DPoP", "proof");
    auto f = send(post);
    HttpResult r = answer(f);
    EXPECT_EQ(r.response.statusCode, 307);
    EXPECT_EQ(r.response.url, server.url("/identity"));
    EXPECT_EQ(r.response.headers.value("Location"), "/elsewhere");
    EXPECT_EQ(std::string(r.data.begin(), r.data.end()), "moved");
    auto g = send(request("/redirect"));
    EXPECT_EQ(answer(g).response.statusCode, 302) << "GETs follow nothing by default either";
    // The server has seen every request made once this one is answered.
    auto h = send(request("/hello"));
    answer(h);
    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].target, "/identity");
    EXPECT_EQ(seen[1].target, "/redirect");
    EXPECT_EQ(seen[2].target, "/hello");

    // Following: a 308 to an absolute address, then a 302 to a relative one; the final answer
    // and its address come back.
    HttpRequest chain = request("/chain");
    chain.redirects = platform::RedirectPolicy::httpsOnly;
    auto c = send(chain);
    HttpResult followed = answer(c);
    EXPECT_EQ(followed.response.statusCode, 200);
    EXPECT_EQ(followed.response.url, server.url("/hello"));
    EXPECT_EQ(followed.response.headers.value("Location"), std::nullopt)
        << "only the final answer's fields";
    EXPECT_EQ(std::string(followed.data.begin(), followed.data.end()), "hello world");
    seen = server.requests();
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(seen[3].target, "/chain");
    EXPECT_EQ(seen[4].target, "/redirect");
    EXPECT_EQ(seen[5].target, "/hello");
}

TEST_F(DesktopHttp, AFollowedRedirectKeepsOrDropsTheBodyAsItsStatusSays) {
    auto follow = [this](const std::string& target) {
        HttpRequest post = request(target, "POST");
        post.redirects = platform::RedirectPolicy::httpsOnly;
        post.headers.add("Content-Type", "application/json");
        const std::string json = R"({"n":1})";
        post.body.assign(json.begin(), json.end());
        auto f = send(post);
        return answer(f);
    };
    HttpResult kept = follow("/keep");
    EXPECT_EQ(kept.response.statusCode, 201);
    EXPECT_EQ(std::string(kept.data.begin(), kept.data.end()), R"({"n":1})");
    HttpResult seeOther = follow("/see-other");
    EXPECT_EQ(seeOther.response.statusCode, 201);
    EXPECT_TRUE(seeOther.data.empty());

    auto seen = server.requests();
    ASSERT_EQ(seen.size(), 4u);
    EXPECT_EQ(seen[1].method, "POST") << "307 repeats the request";
    EXPECT_EQ(seen[1].body, R"({"n":1})");
    EXPECT_EQ(seen[3].method, "GET") << "303 turns it into a GET";
    EXPECT_EQ(seen[3].body, "");
    EXPECT_EQ(seen[3].header("Content-Type"), std::nullopt);
}

TEST_F(DesktopHttp, HttpsOnlyRefusesAPlainOrForeignHopAtOnceAndStopsEndlessChains) {
    for (const char* target : {"/to-plain", "/to-file"}) {
        HttpRequest r = request(target);
        r.redirects = platform::RedirectPolicy::httpsOnly;
        r.timeout = 600;
        auto f = send(r);
        auto error = failure(f);
        ASSERT_TRUE(error) << target;
        EXPECT_EQ(error->urlErrorCode(),
                  platform::URLError::appTransportSecurityRequiresSecureConnection);
        EXPECT_EQ(error->code(), -1022);
        EXPECT_EQ(error->domain(), "NSURLErrorDomain");
        EXPECT_EQ(std::string(error->what()),
                  "The server redirected the request to an address that does not use HTTPS; the "
                  "redirect was not followed.");
    }
    EXPECT_EQ(server.requests().size(), 2u);

    HttpRequest loop = request("/loop");
    loop.redirects = platform::RedirectPolicy::httpsOnly;
    auto f = send(loop);
    auto error = failure(f);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->urlErrorCode(), platform::URLError::httpTooManyRedirects);
    EXPECT_EQ(server.requests().size(), 2u + 1u + platform::maxRedirects)
        << "the request and ten redirects";
}

TEST_F(DesktopHttp, ABodyPastTheRequestsCapFailsAsSoonAsItGoesPast) {
    // The server sends 4 KiB of a body announced as 1 GiB and then waits: only a transfer that
    // stops at its cap can end.
    HttpRequest endless = request("/endless");
    endless.timeout = 600;
    endless.maxBodyBytes = 1000;
    auto f = send(endless);
    auto error = failure(f);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->urlErrorCode(), platform::URLError::dataLengthExceedsMaximum);
    EXPECT_TRUE(server.waitFor([&] { return server.closedByClient() == 1; }))
        << "the connection is closed at once";

    // A body exactly at the cap is whole.
    HttpRequest exact = request("/hello");
    exact.maxBodyBytes = 11;
    auto g = send(exact);
    EXPECT_EQ(answer(g).data.size(), 11u);
    HttpRequest over = request("/hello");
    over.maxBodyBytes = 10;
    auto h = send(over);
    auto overError = failure(h);
    ASSERT_TRUE(overError);
    EXPECT_EQ(overError->urlErrorCode(), platform::URLError::dataLengthExceedsMaximum);
}

TEST_F(DesktopHttp, ASlowAnswerTimesOut) {
    HttpRequest r = request("/hang");
    r.timeout = 0.3;
    auto f = send(r);
    auto error = failure(f);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->urlErrorCode(), platform::URLError::timedOut);
    EXPECT_EQ(error->domain(), "NSURLErrorDomain");
    EXPECT_TRUE(server.waitFor([&] { return server.closedByClient() == 1; }))
        << "the timed-out transfer's connection is closed";
}

TEST_F(DesktopHttp, CancellingRemovesTheTransfer) {
    asio::cancellation_signal signal;
    HttpRequest r = request("/hang");
    r.timeout = 600;
    auto f = send(r, signal.slot());
    ASSERT_TRUE(server.waitFor([&] { return server.requests().size() == 1; }));
    // Cancellation signals are emitted on the operation's executor.
    asio::post(library.executor(), [&signal] { signal.emit(asio::cancellation_type::terminal); });
    auto error = failure(f);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->isCancelled());
    EXPECT_TRUE(server.waitFor([&] { return server.closedByClient() == 1; }))
        << "the connection of the cancelled transfer is closed";
}

TEST_F(DesktopHttp, ARefusedConnectionFailsWithCannotConnect) {
    HttpRequest r;
    r.url = "http://127.0.0.1:" + std::to_string(LoopbackHttpServer::unusedPort()) + "/x";
    auto f = send(r);
    auto error = failure(f);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->urlErrorCode(), platform::URLError::cannotConnectToHost);
    EXPECT_EQ(error->code(), -1004);
}

TEST_F(DesktopHttp, RefusesInjectedHeaderFieldsAndForeignSchemes) {
    HttpRequest bad = request("/hello");
    bad.headers.add("X-Evil", "a\r\nX-Injected: yes");
    auto f = send(bad);
    auto error = failure(f);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->urlErrorCode(), platform::URLError::badURL);

    HttpRequest file;
    file.url = "file:///etc/hostname";
    auto g = send(file);
    auto fileError = failure(g);
    ASSERT_TRUE(fileError);
    EXPECT_EQ(fileError->urlErrorCode(), platform::URLError::unsupportedURL);
    EXPECT_TRUE(server.requests().empty());
}

TEST_F(DesktopHttp, DestroyingTheSessionFailsTransfersInFlight) {
    HttpRequest r = request("/hang");
    r.timeout = 600;
    auto f = send(r);
    ASSERT_TRUE(server.waitFor([&] { return server.requests().size() == 1; }));
    session.reset();
    auto error = failure(f);
    ASSERT_TRUE(error);
    EXPECT_TRUE(error->isCancelled());
}

TEST(LibraryThread, TimersFireOnTheLibraryThreadUnlessInvalidated) {
    LibraryThread library;
    std::promise<bool> fired;
    auto firedOn = fired.get_future();
    std::atomic<int> invalidatedRuns{0};
    auto dropped = library.scheduleTimer(0.01, [&] { ++invalidatedRuns; });
    dropped->invalidate();
    EXPECT_FALSE(dropped->isValid());
    auto timer = library.scheduleTimer(0.02, [&] { fired.set_value(library.isCurrent()); });
    ASSERT_EQ(firedOn.wait_for(answerBound), std::future_status::ready);
    EXPECT_TRUE(firedOn.get()) << "the block runs on the library thread";
    EXPECT_FALSE(timer->isValid()) << "a fired timer is no longer valid";
    EXPECT_EQ(invalidatedRuns.load(), 0);
    EXPECT_FALSE(library.isCurrent());
}

TEST(LibraryThread, CancelledSleepEndsAtOnceAndStopIsIdempotent) {
    auto library = std::make_unique<LibraryThread>();
    asio::cancellation_signal signal;
    std::promise<void> started;
    auto body = [&library, &started]() -> asio::awaitable<void> {
        // The sleep starts in the same turn as this signal, before any later posted work.
        started.set_value();
        co_await platform::asyncSleep(*library, 600, asio::use_awaitable);
    };
    auto f = asio::co_spawn(library->executor(), body,
                            asio::bind_cancellation_slot(signal.slot(), asio::use_future));
    ASSERT_EQ(started.get_future().wait_for(answerBound), std::future_status::ready);
    asio::post(library->executor(), [&signal] { signal.emit(asio::cancellation_type::terminal); });
    ASSERT_EQ(f.wait_for(answerBound), std::future_status::ready);
    try {
        f.get();
        ADD_FAILURE() << "the sleep ran to its end";
    } catch (const boost::system::system_error& e) {
        EXPECT_EQ(e.code(), asio::error::operation_aborted);
    }
    library->stop();
    library->stop();

    // Work posted after stop() is dropped: by the time the library is gone it has been
    // destroyed without running.
    std::atomic<bool> ran{false};
    auto token = std::make_shared<int>(0);
    std::weak_ptr<int> held = token;
    asio::post(library->executor(), [&ran, token = std::move(token)] { ran = true; });
    EXPECT_FALSE(held.expired()) << "the work is queued";
    library.reset();
    EXPECT_TRUE(held.expired()) << "the queued work went with the library";
    EXPECT_FALSE(ran.load()) << "a stopped library thread runs nothing";
}
