// The telemetry client's upload over real HTTP: the desktop URL session on the library thread
// posts a batch to a loopback server, which checks the request as the identity service would.
#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"
#include "Platform/Desktop/Services/DesktopHttpSession.h"
#include "Platform/Desktop/Services/LibraryThread.h"
#include "tests/Desktop/Services/Http/LoopbackHttpServer.h"

#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <set>

namespace asio = boost::asio;
using corvane::ErrorFirehoseClient;
using testing_http::LoopbackHttpServer;
using testing_http::Reply;
using testing_http::Request;

namespace {

// What the identity service checks of a batch: the key set in order, the types, no credentials.
bool acceptable(const Request& r, std::string& why) {
    if (r.method != "POST" || r.target != "/id/api/error-events")
        return why = "method or path", false;
    if (r.header("Content-Type") != "application/json" || r.header("Authorization") ||
        r.header("DPoP") || r.header("Cookie"))
        return why = "headers", false;
    auto j = nlohmann::ordered_json::parse(r.body, nullptr, false);
    if (!j.is_object())
        return why = "not an object", false;
    std::vector<std::string> keys;
    for (auto it = j.begin(); it != j.end(); ++it)
        keys.push_back(it.key());
    if (keys != std::vector<std::string>{"schema_version", "batch_id", "daily_token", "app_slug",
                                         "platform", "app_version", "os_version", "events"})
        return why = "batch keys", false;
    if (j["schema_version"] != 1 || !j["events"].is_array() || j["events"].empty() ||
        j["daily_token"].get<std::string>().size() != 16)
        return why = "batch values", false;
    for (const auto& e : j["events"])
        if (!e["count"].is_number_integer() || !e["signed_in"].is_boolean() ||
            e["fingerprint"].get<std::string>().size() != 16)
            return why = "event values", false;
    return true;
}

} // namespace

TEST(DesktopTelemetryUpload, BatchIsPostedOverRealHttpAndAccepted) {
    std::mutex mutex;
    std::vector<std::string> rejections;
    LoopbackHttpServer server([&](const Request& r) {
        std::string why;
        if (!acceptable(r, why)) {
            std::lock_guard guard(mutex);
            rejections.push_back(why);
            return Reply{400, "Bad Request", {}, "", false};
        }
        return Reply{202, "Accepted", {{"Content-Type", "application/json"}}, "{}", false};
    });
    desktop::LibraryThread library;
    // Owned here, as the host owns its session, and so gone before the library thread: a
    // transfer it ends then completes onto the stopped (not yet destroyed) thread. The client
    // gets a reference that does not own it.
    auto owned = std::make_shared<desktop::DesktopHttpSession>();
    std::shared_ptr<platform::HttpSession> session(std::shared_ptr<void>(), owned.get());

    // The flush loop's first sleep ends at once (one tick, no waiting on the clock); later
    // ones wait on a timer that never fires until the library thread stops.
    auto timer = std::make_shared<asio::steady_timer>(library.executor());
    auto sleeps = std::make_shared<std::atomic<int>>(0);
    ErrorFirehoseClient::Environment env;
    env.executor = library.executor();
    env.consent = [] { return true; };
    env.clock = [] { return std::chrono::system_clock::now(); };
    env.sleep = [timer, sleeps](double) -> asio::awaitable<void> {
        if (sleeps->fetch_add(1) == 0)
            co_return;
        timer->expires_at(asio::steady_timer::time_point::max());
        co_await timer->async_wait(asio::use_awaitable);
    };
    auto client = ErrorFirehoseClient::make({}, env);
    client->configure("quillet", std::nullopt, "0.3.1", std::string("6.1.0"), "install-1",
                      server.url("/id"), session);
    client->observe("error", "network", "Connection to api.example.com failed after 30000 ms");
    client->observe("warn", "auth", "Token refresh for me@example.com rejected");
    client->start();
    ASSERT_TRUE(server.waitFor([&] { return !server.requests().empty(); }));
    // The flush has ended (the loop sleeps again) before the thread stops: no transfer is left
    // in flight when the session and the thread go.
    ASSERT_TRUE(server.waitFor([&] { return sleeps->load() >= 2; }));
    library.stop();
    const auto requests = server.requests();
    ASSERT_GE(requests.size(), 1u);
    EXPECT_TRUE(rejections.empty()) << rejections.front();
    auto body = nlohmann::json::parse(requests[0].body);
    ASSERT_EQ(body["events"].size(), 2u);
    std::set<std::string> templates;
    for (const auto& e : body["events"])
        templates.insert(e["message_template"]);
    EXPECT_EQ(templates, (std::set<std::string>{"connection to api.example.com failed after <n> ms",
                                                "token refresh for <email> rejected"}));
    EXPECT_EQ(body["os_version"], "6.1.0");
}
