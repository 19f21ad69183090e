// The identity client on the desktop's real library thread, over libcurl to a loopback server:
// its owner lets go of it while a call waits for its answer. The call must finish on its own,
// mapping and decoding the answer with the client it started with; run under ASan, a call that
// touched the released client after resuming would be reported as a use after free.
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Transport/AuthClient.h"
#include "CorvaneAccount/Transport/IdentityThrottle.h"
#include "CorvaneAccount/Transport/TokenRefresher.h"
#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Desktop/Services/LibraryThread.h"
#include "tests/Desktop/Services/Http/LoopbackHttpServer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/asio/use_future.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <string>

namespace asio = boost::asio;
using corvane::AuthClient;
using testing_http::LoopbackHttpServer;
using testing_http::Reply;
using testing_http::Request;

namespace {

constexpr auto bound = std::chrono::seconds(20);

class DesktopAuthClientLifetime : public ::testing::Test {
protected:
    // Every answer waits until the test lets it go; a deprecation notice rides along, so that
    // the client's notice handling runs after the answer, too.
    Reply answer(const Request& r) {
        {
            std::lock_guard lock(mutex);
            ++received;
        }
        arrived.notify_all();
        released.wait();
        Reply reply;
        reply.headers = {{"Content-Type", "application/json"},
                         {"Corvane-Deprecation", "client;min-version=0.1;current=0.9"}};
        if (r.target == "/api/app-data-token")
            reply.body =
                R"({"ok":true,"app_data_token":"adt","expires_at":"2027-01-01T00:00:00Z"})";
        else if (r.target == "/api/sessions/revoke")
            reply.body = R"({"ok":true})";
        else
            reply.body = R"({"ok":true,"cas":"cas-2","refresh_token":"rt-2",)"
                         R"("expires_at":"2027-01-01T00:00:00Z",)"
                         R"("corvane_account_id":"ca_0190a5a0-1c2d-7e3f-8a4b-5c6d7e8f9a0b",)"
                         R"("email":"ada@example.com","app_slug":"quillet"})";
        return reply;
    }

    std::shared_ptr<AuthClient> makeClient() {
        corvane::CorvaneConfig config(
            boost::urls::url(server.url("/")), boost::urls::url(server.url("/")), "quillet",
            "quillet-desktop", "1.0.0", "0.9.5", boost::urls::url("quillet://auth/callback"),
            corvane::AuthScheme::systemBrowser, std::nullopt, {"openid"}, &session,
            [](corvane::CorvaneLogLevel, const std::string&,
               const std::map<std::string, std::string>&) {},
            "install-1");
        desktop::LibraryThread* library = &this->library;
        auto throttle = std::make_shared<corvane::IdentityThrottle>(
            corvane::IdentityThrottleOptions{}, corvane::CorvaneLogger{},
            [] { return std::chrono::system_clock::now(); },
            [library](double seconds) -> asio::awaitable<void> {
                co_await platform::asyncSleep(*library, seconds, asio::use_awaitable);
            },
            library->executor());
        auto client = AuthClient::create(std::move(config), nullptr, std::move(throttle),
                                         corvane::TokenRefresher::create(library->executor()));
        client->onDeprecationNotice = [](const auto&) {};
        return client;
    }

    // Starts `call` with a client of its own on the library thread, lets go of the client
    // while the answer is pending, then lets the answer come; returns what the call ended with.
    template <class T>
    std::future<T> callAndRelease(std::function<asio::awaitable<T>(AuthClient&)> call) {
        auto client = makeClient();
        auto op = call(*client);
        auto result = asio::co_spawn(library.executor(), std::move(op), asio::use_future);
        {
            std::unique_lock lock(mutex);
            EXPECT_TRUE(arrived.wait_for(lock, bound, [&] { return received == calls + 1; }));
        }
        ++calls;
        // The test held the only reference the caller had.
        client.reset();
        return result;
    }

    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    std::mutex mutex;
    std::condition_variable arrived;
    int received = 0;
    int calls = 0;
    desktop::LibraryThread library;
    desktop::DesktopHttpSession session;
    LoopbackHttpServer server{[this](const Request& r) { return answer(r); }};
};

} // namespace

TEST_F(DesktopAuthClientLifetime, CallsFinishAfterTheirClientWasReleased) {
    auto token =
        callAndRelease<std::string>([](AuthClient& c) { return c.getAppDataToken("cas-1"); });
    auto revoked = callAndRelease<void>([](AuthClient& c) { return c.revokeSession("cas-1"); });
    auto refreshed =
        callAndRelease<corvane::CasResponse>([](AuthClient& c) { return c.refresh("rt-1"); });
    auto exchanged = callAndRelease<corvane::CasResponse>([](AuthClient& c) {
        return c.exchange(corvane::ExchangeBody{"quillet", "code", "verifier",
                                                "quillet://auth/callback", "1.0.0", "install-1"});
    });
    release.set_value();

    ASSERT_EQ(token.wait_for(bound), std::future_status::ready);
    EXPECT_EQ(token.get(), "adt");
    ASSERT_EQ(revoked.wait_for(bound), std::future_status::ready);
    EXPECT_NO_THROW(revoked.get());
    ASSERT_EQ(refreshed.wait_for(bound), std::future_status::ready);
    EXPECT_EQ(refreshed.get().cas, "cas-2");
    ASSERT_EQ(exchanged.wait_for(bound), std::future_status::ready);
    EXPECT_EQ(exchanged.get().refreshToken, "rt-2");
}
