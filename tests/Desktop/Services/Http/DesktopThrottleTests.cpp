// The identity throttle on the desktop's real library thread, sending over libcurl to a loopback
// server: its owner may go while a call backs off or waits for an answer. Run under ASan, a
// call that touched the destroyed throttle would be reported as a use after free.
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Transport/IdentityThrottle.h"
#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Desktop/Services/LibraryThread.h"
#include "tests/Desktop/Services/Http/LoopbackHttpServer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace asio = boost::asio;
using corvane::IdentityThrottle;
using platform::HttpResult;
using testing_http::LoopbackHttpServer;
using testing_http::Reply;
using testing_http::Request;

namespace {

// Generous bound for loopback answers and for a cancelled call to end; nothing waits for time
// to pass.
constexpr auto bound = std::chrono::seconds(20);

Reply route(const Request& r) {
    if (r.target == "/busy")
        return Reply{503, "Service Unavailable", {{"Retry-After", "1"}}, "", false};
    if (r.target == "/hang")
        return Reply{200, "OK", {}, "", true};
    return Reply{404, "Not Found", {}, "", false};
}

// What the throttle logged, from the library thread.
struct LogRecord {
    std::mutex mutex;
    std::vector<std::string> events;
    std::promise<void> backingOff;
    bool announced = false;

    void add(const std::string& event) {
        std::lock_guard lock(mutex);
        events.push_back(event);
        if (event == "identity_throttle_server_backoff" && !announced) {
            announced = true;
            backingOff.set_value();
        }
    }
    std::size_t size() {
        std::lock_guard lock(mutex);
        return events.size();
    }
};

// Owns the throttle, as the identity HTTP client does.
struct Owner {
    Owner(desktop::LibraryThread& library, LogRecord& record)
        : throttle(
              corvane::IdentityThrottleOptions{},
              [&record](corvane::CorvaneLogLevel, const std::string& event,
                        const std::map<std::string, std::string>&) { record.add(event); },
              [] { return std::chrono::system_clock::now(); },
              [&library](double seconds) -> asio::awaitable<void> {
                  co_await platform::asyncSleep(library, seconds, asio::use_awaitable);
              },
              library.executor()) {}

    IdentityThrottle throttle;
};

class DesktopThrottle : public ::testing::Test {
protected:
    // Starts a GET of `target` through the owner's throttle on the library thread.
    std::future<HttpResult> get(const std::string& target) {
        const std::string url = server.url(target);
        IdentityThrottle::Send send = [this, url]() -> asio::awaitable<HttpResult> {
            platform::HttpRequest request;
            request.method = "GET";
            request.url = url;
            auto op = session.send(std::move(request));
            co_return co_await std::move(op);
        };
        IdentityThrottle* throttle = &owner->throttle;
        auto body = [throttle, url, send]() -> asio::awaitable<HttpResult> {
            auto op = throttle->run(url, "GET", send);
            co_return co_await std::move(op);
        };
        return asio::co_spawn(library.executor(), body, asio::use_future);
    }

    static bool endedWithCancellation(std::future<HttpResult>& call) {
        EXPECT_EQ(call.wait_for(bound), std::future_status::ready);
        try {
            call.get();
        } catch (const corvane::CancellationError&) {
            return true;
        } catch (...) {
        }
        return false;
    }

    desktop::LibraryThread library;
    desktop::DesktopHttpSession session;
    LoopbackHttpServer server{route};
    LogRecord record;
    std::unique_ptr<Owner> owner = std::make_unique<Owner>(library, record);
};

} // namespace

TEST_F(DesktopThrottle, OwnerDestroyedDuringABackOffEndsTheCallWithoutTouchingTheThrottle) {
    auto call = get("/busy");
    ASSERT_EQ(record.backingOff.get_future().wait_for(bound), std::future_status::ready);
    const std::size_t logged = record.size();

    owner.reset();
    EXPECT_TRUE(endedWithCancellation(call));
    EXPECT_EQ(server.requests().size(), 1u) << "no retry after the throttle went";
    EXPECT_EQ(record.size(), logged) << "nothing logged after the throttle went";
}

TEST_F(DesktopThrottle, OwnerDestroyedWhileASendWaitsForItsAnswerCancelsTheTransfer) {
    auto call = get("/hang");
    ASSERT_TRUE(server.waitFor([&] { return server.requests().size() == 1; }));

    owner.reset();
    EXPECT_TRUE(endedWithCancellation(call));
    EXPECT_TRUE(server.waitFor([&] { return server.closedByClient() == 1; }))
        << "the transfer was abandoned";
    EXPECT_EQ(server.requests().size(), 1u);
    EXPECT_EQ(record.size(), 0u) << "nothing logged after the throttle went";
}
