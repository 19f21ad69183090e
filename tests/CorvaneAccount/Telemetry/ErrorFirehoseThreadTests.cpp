// Observations from several real threads while the configuration changes and the flush loop
// drains and uploads on the simulated run loop (this test is the one run under ThreadSanitizer).
#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"
#include "TelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>

using corvane::ErrorFirehoseClient;
using telemetry_test::identityBase;
using telemetry_test::TelemetryTest;

TEST_F(TelemetryTest, ObserversOnSeveralThreadsWhileConfigureAndFlushRun) {
    // The observers' clock stands still (virtual time belongs to the main thread), so no breaker
    // or coalescing window expires on its own: only flush ticks close windows.
    const auto fixed = host.now();
    ErrorFirehoseClient::Environment env;
    env.clock = [fixed] { return fixed; };
    makeClient({}, env);
    answer(202);
    client->start();

    constexpr int threads = 4, messagesPerThread = 10, repeats = 50;
    std::atomic<int> finished{0};
    std::vector<std::thread> observers;
    for (int t = 0; t < threads; ++t)
        observers.emplace_back([&, t] {
            for (int r = 0; r < repeats; ++r)
                for (int m = 0; m < messagesPerThread; ++m)
                    client->observe("error", "thread" + std::to_string(t),
                                    "failure number " + std::to_string(m) + " in a thread");
            finished.fetch_add(1);
        });
    int ticks = 0;
    while (finished.load() < threads || ticks < 2) {
        // Same slug and platform, new strings every time: a torn read would show in the
        // fingerprints, a racy one under the thread sanitizer.
        client->configure(std::string("quillet"), std::string("mac"), "1." + std::to_string(ticks),
                          std::nullopt, "install-1", identityBase);
        client->updateContext(ticks % 2 == 0, true, ticks * 30);
        host.advance(60);
        ++ticks;
    }
    for (auto& o : observers)
        o.join();
    host.advance(60);

    std::set<std::string> expected;
    for (int t = 0; t < threads; ++t)
        for (int m = 0; m < messagesPerThread; ++m)
            expected.insert(ErrorFirehoseClient::fingerprint(
                "quillet", "mac", "error", "thread" + std::to_string(t),
                "failure number " + std::to_string(m) + " in a thread", std::nullopt));
    std::int64_t total = 0;
    for (const auto& u : uploads)
        for (const auto& e : u.body["events"]) {
            EXPECT_TRUE(expected.count(e["fingerprint"].get<std::string>()));
            total += e["count"].get<std::int64_t>();
        }
    EXPECT_TRUE(client->bufferedEntries().empty());
    EXPECT_TRUE(client->pendingBatches().empty());
    EXPECT_EQ(total, threads * messagesPerThread * repeats);
}
