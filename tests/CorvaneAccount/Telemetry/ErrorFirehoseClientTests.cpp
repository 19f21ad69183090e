#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"
#include "CorvaneAccount/Telemetry/ErrorTelemetryConsent.h"
#include "CorvaneAccount/Telemetry/TelemetryText.h"
#include "Platform/Async.h"
#include "Platform/Host.h"
#include "TelemetryTestSupport.h"

#include "CorvaneAccount/Foundation/CorvaneJSON.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <set>
#include <stdexcept>

using corvane::BreadcrumbEntry;
using corvane::CorvaneLogLevel;
using corvane::ErrorFirehoseClient;
using platform::sim::SimHttpReply;
using telemetry_test::identityBase;
using telemetry_test::TelemetryTest;

namespace {

// Fifty-odd messages that stay distinct after normalisation.
std::string distinct(int i) {
    return "failure kind " + std::string(1, char('a' + i % 26)) +
           std::string(1, char('a' + i / 26));
}

} // namespace

// --- the front half: fingerprint and entry fields ---

TEST_F(TelemetryTest, NewEntryCarriesTheScrubbedTemplateFingerprintAndContext) {
    client->updateContext(true, false, 95);
    std::runtime_error error("boom");
    std::vector<std::string> frames{"foo(a:b:) -> Int", "bar()", "baz", "qux", "quux"};
    std::vector<BreadcrumbEntry> crumbs;
    for (int i = 0; i < 25; ++i)
        crumbs.push_back({"t" + std::to_string(i), "info", "ui", "step"});
    client->observe("error", "network", "Login failed for a.b@example.com at 2024-05-01T10:00:00Z",
                    &error, std::string("spec-7"), frames, crumbs);

    auto entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 1u);
    const auto& e = entries[0];
    EXPECT_EQ(e.messageTemplate, "login failed for <email> at <ts>");
    EXPECT_EQ(e.exceptionType, "runtime_error");
    EXPECT_EQ(e.specId, "spec-7");
    ASSERT_TRUE(e.topFrames);
    EXPECT_EQ(*e.topFrames, (std::vector<std::string>{"foo(a:b:) -> Int", "bar()", "baz"}));
    ASSERT_TRUE(e.breadcrumbs);
    ASSERT_EQ(e.breadcrumbs->size(), 10u);
    EXPECT_EQ(e.breadcrumbs->back().ts, "t9");
    EXPECT_EQ(e.frameDigest, ErrorFirehoseClient::computeFrameDigest({"foo", "bar", "baz"}));
    EXPECT_EQ(e.fingerprint,
              ErrorFirehoseClient::fingerprint("quillet", "mac", "error", "network",
                                               "login failed for <email> at <ts>", e.frameDigest));
    EXPECT_EQ(e.fingerprint.size(), 16u);
    EXPECT_EQ(e.count, 1);
    EXPECT_TRUE(e.signedIn);
    EXPECT_FALSE(e.online);
    EXPECT_EQ(e.sessionUptimeSeconds, 90);
    EXPECT_EQ(e.firstSeen, host.now());
}

TEST_F(TelemetryTest, FingerprintHashesTheFullTemplateAndEndsWithBarWithoutFrames) {
    EXPECT_EQ(ErrorFirehoseClient::fingerprint("a", "b", "c", "d", "e", std::nullopt),
              corvane::TelemetryText::sha256Hex("a|b|c|d|e|", 16));
    EXPECT_EQ(ErrorFirehoseClient::fingerprint("a", "b", "c", "d", "e", std::string("f")),
              corvane::TelemetryText::sha256Hex("a|b|c|d|e|f", 16));
    // Two messages that differ only after character 256 share a template, not a fingerprint.
    std::string longA(300, 'x'), longB(300, 'x');
    longB.back() = 'y';
    observe(longA);
    observe(longB);
    auto entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].messageTemplate, std::string(256, 'x'));
    EXPECT_EQ(entries[1].messageTemplate, std::string(256, 'x'));
}

TEST_F(TelemetryTest, ConfigurationEntersFingerprintAndAbsentPlatformKeepsTheCurrentOne) {
    EXPECT_EQ(client->config()->osVersion, "14.5.0"); // the running system's version
    client->configure("other-app", std::string("ios"), "1.0", std::string("17.1.0"), "i",
                      identityBase);
    observe("same failure text");
    auto entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].fingerprint,
              ErrorFirehoseClient::fingerprint("other-app", "ios", "error", "auth",
                                               "same failure text", std::nullopt));
    client->configure("third", std::nullopt, "2.0", std::nullopt, "i", identityBase);
    EXPECT_EQ(client->config()->platform, "ios");
    EXPECT_EQ(client->config()->osVersion, "17.1.0");
    EXPECT_EQ(client->config()->appSlug, "third");
}

TEST_F(TelemetryTest, WithoutConsentNothingIsRecorded) {
    corvane::ErrorTelemetryConsent::setEnabled(false);
    for (int i = 0; i < 200; ++i)
        observe("anything at all");
    EXPECT_TRUE(client->bufferedEntries().empty());
    EXPECT_EQ(client->breakerCount(), 0u);
    EXPECT_EQ(client->droppedCount(), 0);
    corvane::ErrorTelemetryConsent::setEnabled(true);
    observe("anything at all");
    EXPECT_EQ(client->bufferedEntries().size(), 1u);
}

TEST_F(TelemetryTest, FacadeLogCallsMapToObservations) {
    client->observeFromFacade(CorvaneLogLevel::info, "ignored", {});
    client->observeFromFacade(CorvaneLogLevel::debug, "ignored", {{"a", "1"}});
    EXPECT_TRUE(client->bufferedEntries().empty());

    client->observeFromFacade(CorvaneLogLevel::warning, "event", {{"b", "2"}, {"a", "1"}},
                              std::string("s1"));
    client->observeFromFacade(CorvaneLogLevel::error, "request_server_failed",
                              {{"class", "server"}, {"category", "ignored"}});
    client->observeFromFacade(CorvaneLogLevel::error, "plain", {{"category", "storage"}});
    client->observeFromFacade(CorvaneLogLevel::error, "bare", {});
    auto entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].severity, "warn");
    EXPECT_EQ(entries[0].category, "auth");
    EXPECT_EQ(entries[0].messageTemplate, "event: a=1 b=2");
    EXPECT_EQ(entries[0].specId, "s1");
    EXPECT_FALSE(entries[0].exceptionType);
    EXPECT_FALSE(entries[0].topFrames);
    EXPECT_EQ(entries[1].severity, "error");
    EXPECT_EQ(entries[1].category, "server");
    EXPECT_EQ(entries[2].category, "storage");
    EXPECT_EQ(entries[3].messageTemplate, "bare"); // fields empty: the event name alone
}

// --- the circuit breaker ---

TEST_F(TelemetryTest, BreakerAllows100AndSilencesThe101stFor300Seconds) {
    for (int i = 0; i < 100; ++i)
        observe("noisy failure");
    auto entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].count, 100);
    EXPECT_TRUE(client->pendingBatches().empty());

    observe("other failure"); // drained along with the noisy one
    observe("noisy failure"); // the 101st: trips, drains the whole buffer, is not recorded
    EXPECT_TRUE(client->bufferedEntries().empty());
    auto batches = client->pendingBatches();
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0].size(), 2u);
    for (const auto& e : batches[0])
        EXPECT_EQ(e.count, e.messageTemplate == "noisy failure" ? 100 : 1);

    host.advance(299);
    observe("noisy failure"); // still silenced
    EXPECT_TRUE(client->bufferedEntries().empty());
    host.advance(1.5);
    observe("noisy failure"); // the silence is over: counted afresh
    entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].count, 1);
}

TEST_F(TelemetryTest, BreakerNeverTripsWhenRepeatsAreMoreThanTenSecondsApart) {
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 100; ++i)
            observe("periodic failure");
        host.advance(10.5);
    }
    // 300 observations in three breaker windows, one coalescing window: none dropped.
    auto entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].count, 300);
}

TEST_F(TelemetryTest, BreakerTableStaysBoundedUnderManyDistinctErrorsOverTime) {
    // Thousands of distinct errors spread over time: forgotten breaker windows are pruned,
    // which changes nothing since a finished window restarts at zero anyway.
    for (int i = 0; i < 5000; ++i) {
        observe("error number " + std::to_string(i) + "x");
        host.advance(0.1);
    }
    EXPECT_LT(client->breakerCount(), 2100u);
    EXPECT_GT(client->breakerCount(), 99u);
}

// --- the coalescing buffer ---

TEST_F(TelemetryTest, FiveRepeatsCoalesceIntoOneEventWithCountFive) {
    answer(202);
    client->start();
    const auto first = host.now();
    for (int i = 0; i < 5; ++i) {
        client->observe(
            "error", "auth", "same failure", nullptr, std::nullopt, std::nullopt,
            i == 2 ? std::optional<std::vector<BreadcrumbEntry>>({{"t", "info", "c", "third"}})
                   : std::nullopt);
        host.advance(2);
    }
    const auto last = host.now() - std::chrono::seconds(2);
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    const auto& events = uploads[0].body["events"];
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["count"], 5);
    EXPECT_EQ(events[0]["first_seen"], corvane::CorvaneJSON::encodeDate(first));
    EXPECT_EQ(events[0]["last_seen"], corvane::CorvaneJSON::encodeDate(last));
    // Only an observation that carries breadcrumbs replaces them.
    ASSERT_EQ(events[0]["breadcrumbs"].size(), 1u);
    EXPECT_EQ(events[0]["breadcrumbs"][0]["msg"], "third");
}

TEST_F(TelemetryTest, FiftiethDistinctFingerprintDrainsIntoOneBatch) {
    for (int i = 0; i < 49; ++i)
        observe(distinct(i));
    EXPECT_EQ(client->bufferedEntries().size(), 49u);
    EXPECT_TRUE(client->pendingBatches().empty());
    observe(distinct(49));
    EXPECT_TRUE(client->bufferedEntries().empty());
    auto batches = client->pendingBatches();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0].size(), 50u);
}

TEST_F(TelemetryTest, ObservationAfter61SecondsOpensANewWindow) {
    observe("windowed failure");
    observe("windowed failure");
    host.advance(61);
    observe("windowed failure");
    auto batches = client->pendingBatches();
    ASSERT_EQ(batches.size(), 1u);
    ASSERT_EQ(batches[0].size(), 1u);
    EXPECT_EQ(batches[0][0].count, 2);
    auto entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].count, 1);
    EXPECT_EQ(entries[0].firstSeen, host.now());
}

// --- the queue ---

TEST_F(TelemetryTest, EnqueueingOneHundredTwentyWhileTenWaitDropsOldestAndKeepsOneChunk) {
    ErrorFirehoseClient::Tuning tuning;
    tuning.maxDistinctFingerprints = 120;
    makeClient(tuning, {});
    int next = 0;
    auto drainOf120 = [&] {
        for (int i = 0; i < 120; ++i)
            observe("failure " + std::to_string(next++) + "a");
    };
    drainOf120(); // 3 batches
    drainOf120(); // 6
    drainOf120(); // 9
    drainOf120(); // 10: one chunk fits, two are discarded
    auto batches = client->pendingBatches();
    ASSERT_EQ(batches.size(), 10u);
    const auto oldest = batches[0][0].messageTemplate;
    const auto secondOldest = batches[1][0].messageTemplate;
    EXPECT_EQ(oldest, "failure 0a");

    drainOf120(); // observations 480..599
    batches = client->pendingBatches();
    ASSERT_EQ(batches.size(), 10u);
    EXPECT_EQ(batches[0][0].messageTemplate, secondOldest); // the oldest was removed, once
    ASSERT_EQ(batches[9].size(), 50u);
    EXPECT_EQ(batches[9][0].messageTemplate, "failure 480a"); // the first chunk of the drain
    EXPECT_EQ(batches[9][49].messageTemplate, "failure 529a");
}

// --- starting and flushing ---

TEST_F(TelemetryTest, WithoutStartNoRequestIsEverMade) {
    answer(200);
    for (int i = 0; i < 500; ++i) {
        observe(distinct(i % 60) + std::to_string(i));
        host.advance(3);
    }
    host.advance(3600);
    EXPECT_FALSE(client->pendingBatches().empty());
    EXPECT_EQ(host.simHttp().requests().size(), 0u);
}

TEST_F(TelemetryTest, ObservationsWaitForTheNextTickAndTwoStartsMakeOneLoop) {
    answerSequence({SimHttpReply::http(200).after(5)});
    for (int i = 0; i < 100; ++i) // two full drains: two batches
        observe(distinct(i));
    ASSERT_EQ(client->pendingBatches().size(), 2u);
    client->start();
    client->start();
    EXPECT_TRUE(client->isStarted());
    host.advance(59.9);
    EXPECT_TRUE(uploads.empty());
    host.advance(0.1);
    // One loop: one pass sends the batches one after the other.
    EXPECT_EQ(uploads.size(), 1u);
    host.advance(5);
    ASSERT_EQ(uploads.size(), 2u);
    EXPECT_DOUBLE_EQ(uploads[1].at - uploads[0].at, 5);
    // The buffer at a tick is drained and sent by that tick.
    observe("late failure");
    host.advance(60);
    ASSERT_EQ(uploads.size(), 3u);
    EXPECT_EQ(uploads[2].body["events"][0]["message_template"], "late failure");
    EXPECT_TRUE(client->pendingBatches().empty());
}

TEST_F(TelemetryTest, AClientThatGoesAwayEndsItsFlushLoopAtOnce) {
    client->start();
    host.advance(30);
    ASSERT_EQ(host.simRunLoop().pendingTimerCount(), 1u) << "the loop sleeps until its tick";
    std::weak_ptr<corvane::ErrorFirehoseClient> weak = client;
    client.reset();
    ASSERT_TRUE(weak.expired());
    host.runUntilIdle();
    EXPECT_EQ(host.simRunLoop().pendingTimerCount(), 0u) << "the loop waits for a tick of no use";

    // A sleep of the environment's own, however long, is cancelled the same way.
    auto cancelled = std::make_shared<int>(0);
    corvane::ErrorFirehoseClient::Environment env;
    env.sleep = [cancelled](double) -> boost::asio::awaitable<void> {
        try {
            co_await platform::sleepFor(1e9);
        } catch (...) {
            ++*cancelled;
            throw;
        }
    };
    makeClient({}, env);
    client->start();
    host.advance(3600);
    client.reset();
    host.runUntilIdle();
    EXPECT_EQ(*cancelled, 1);
    EXPECT_EQ(host.simRunLoop().pendingTimerCount(), 0u);
}

TEST_F(TelemetryTest, BatchWireFormatHasKeysInOrderAndOmitsAbsentOptionals) {
    answerSequence({SimHttpReply::http(202)}, "/v1/api/error-events");
    client->updateContext(false, true, std::nullopt);
    client->configure("quillet", std::nullopt, "0.3.1", std::nullopt, "install-1",
                      std::string(identityBase) + "/v1/");
    observe("plain failure");
    std::runtime_error error("x");
    client->updateContext(true, true, 61);
    client->observe("warn", "storage", "full failure", &error, std::string("spec-1"),
                    std::vector<std::string>{"frame()"},
                    std::vector<BreadcrumbEntry>{{"ts1", "info", "ui", "tapped"}});
    client->start();
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    const auto& u = uploads[0];
    EXPECT_EQ(u.request.method, "POST");
    EXPECT_EQ(u.request.url, std::string(identityBase) + "/v1/api/error-events");
    EXPECT_EQ(u.request.headers.fields(),
              (std::vector<platform::HttpHeaders::Field>{{"Content-Type", "application/json"}}));
    EXPECT_EQ(u.request.redirects, platform::RedirectPolicy::none);
    EXPECT_DOUBLE_EQ(u.request.timeout, 60);

    std::vector<std::string> keys;
    for (auto it = u.body.begin(); it != u.body.end(); ++it)
        keys.push_back(it.key());
    EXPECT_EQ(keys,
              (std::vector<std::string>{"schema_version", "batch_id", "daily_token", "app_slug",
                                        "platform", "app_version", "os_version", "events"}));
    EXPECT_EQ(u.body["schema_version"], 1);
    const std::string batchId = u.body["batch_id"];
    EXPECT_EQ(batchId.size(), 36u);
    EXPECT_EQ(batchId, corvane::TelemetryText::lowercased(batchId));
    EXPECT_EQ(u.body["daily_token"],
              ErrorFirehoseClient::computeDailyToken("install-1", host.now()));
    EXPECT_EQ(u.body["app_slug"], "quillet");
    EXPECT_EQ(u.body["platform"], "mac");
    EXPECT_EQ(u.body["app_version"], "0.3.1");
    EXPECT_EQ(u.body["os_version"], "14.5.0");
    // Compact: no pretty printing.
    EXPECT_EQ(u.text.find('\n'), std::string::npos);
    EXPECT_EQ(u.text.rfind("{\"schema_version\":1,\"batch_id\":", 0), 0u);

    const auto& events = u.body["events"];
    ASSERT_EQ(events.size(), 2u);
    auto eventKeys = [](const nlohmann::ordered_json& e) {
        std::vector<std::string> k;
        for (auto it = e.begin(); it != e.end(); ++it)
            k.push_back(it.key());
        return k;
    };
    EXPECT_EQ(eventKeys(events[0]),
              (std::vector<std::string>{"client_event_id", "severity", "category", "fingerprint",
                                        "message_template", "count", "first_seen", "last_seen",
                                        "signed_in", "online"}));
    EXPECT_EQ(
        eventKeys(events[1]),
        (std::vector<std::string>{"client_event_id", "severity", "category", "spec_id",
                                  "fingerprint", "message_template", "exception_type", "top_frames",
                                  "frame_digest", "breadcrumbs", "count", "first_seen", "last_seen",
                                  "signed_in", "online", "session_uptime_seconds"}));
    EXPECT_EQ(eventKeys(events[1]["breadcrumbs"][0]),
              (std::vector<std::string>{"ts", "level", "category", "msg"}));
    EXPECT_EQ(events[1]["session_uptime_seconds"], 60);
    EXPECT_EQ(events[1]["exception_type"], "runtime_error");
    EXPECT_EQ(events[0]["first_seen"], "2026-01-05T09:00:00.000Z");
    EXPECT_NE(events[0]["client_event_id"], events[1]["client_event_id"]);
}

TEST_F(TelemetryTest, DailyTokenIsTheHashOfInstallDateAndSuffixAndTurnsAtMidnightUTC) {
    using namespace std::chrono;
    const auto day = sys_days{2026y / 1 / 2};
    EXPECT_EQ(ErrorFirehoseClient::utcDateString(day + hours(23) + minutes(59)), "2026-01-02");
    EXPECT_EQ(ErrorFirehoseClient::computeDailyToken("abc", day + hours(23)),
              corvane::TelemetryText::sha256Hex("abc|2026-01-02|marlock-sieve-v1", 16));
    EXPECT_NE(ErrorFirehoseClient::computeDailyToken("abc", day + hours(23) + minutes(59)),
              ErrorFirehoseClient::computeDailyToken("abc", day + hours(24)));
}

// --- retries ---

TEST_F(TelemetryTest, ServerErrorIsRetriedAfterAbout30_60_120SecondsThenRequeuedAtTheHead) {
    answer(500);
    observe("failing upload");
    client->start();
    host.advance(60 + 130 + 70 + 40); // the tick, then at most 40 + 70 + 130 of back-off
    ASSERT_GE(uploads.size(), 4u);
    EXPECT_DOUBLE_EQ(uploads[0].at, 60);
    const double gaps[3] = {uploads[1].at - uploads[0].at, uploads[2].at - uploads[1].at,
                            uploads[3].at - uploads[2].at};
    const double bases[3] = {30, 60, 120};
    for (int i = 0; i < 3; ++i) {
        EXPECT_GE(gaps[i], bases[i] - 10) << i;
        EXPECT_LE(gaps[i], bases[i] + 10) << i;
    }
    // The same ids on every try of one pass.
    for (int i = 1; i < 4; ++i) {
        EXPECT_EQ(uploads[i].body["batch_id"], uploads[0].body["batch_id"]);
        EXPECT_EQ(uploads[i].body["events"][0]["client_event_id"],
                  uploads[0].body["events"][0]["client_event_id"]);
    }
    // After the fourth answer the batch is back at the head of the queue, for a later pass.
    const double fourth = uploads[3].at;
    host.advance(0);
    auto batches = client->pendingBatches();
    if (uploads.size() == 4) {
        ASSERT_EQ(batches.size(), 1u);
        EXPECT_EQ(batches[0][0].messageTemplate, "failing upload");
    }
    // The next tick after the fourth try sends it again, with new ids.
    host.advance(61);
    ASSERT_GE(uploads.size(), 5u);
    EXPECT_GE(uploads[4].at, fourth);
    EXPECT_NE(uploads[4].body["batch_id"], uploads[0].body["batch_id"]);
}

TEST_F(TelemetryTest, BackOffWaitsBasePlusJitterAndNeverLessThanOneSecond) {
    ErrorFirehoseClient::Tuning tuning;
    tuning.backoffSeconds = {0.5, 30, 60};
    ErrorFirehoseClient::Environment env;
    env.uniform = [](double low, double) { return low; }; // jitter -10 every time
    makeClient(tuning, env);
    answer(503);
    observe("retried upload");
    client->start();
    host.advance(60 + 1 + 20 + 50);
    ASSERT_EQ(uploads.size(), 4u);
    EXPECT_DOUBLE_EQ(uploads[1].at - uploads[0].at, 1);  // 0.5 - 10 waits 1 s
    EXPECT_DOUBLE_EQ(uploads[2].at - uploads[1].at, 20); // 30 - 10
    EXPECT_DOUBLE_EQ(uploads[3].at - uploads[2].at, 50); // 60 - 10
}

TEST_F(TelemetryTest, AnswersThatFinishABatchAndAnswersThatRetryIt) {
    struct Case {
        SimHttpReply reply;
        bool retried;
    };
    const std::vector<Case> cases{
        {SimHttpReply::http(200), false},
        {SimHttpReply::http(202), false},
        {SimHttpReply::http(400), false},
        {SimHttpReply::http(413), false},
        {SimHttpReply::nonHTTP(), false},
        {SimHttpReply::http(429), true},
        {SimHttpReply::http(404), true},
        {SimHttpReply::failure(platform::URLError::notConnectedToInternet), true},
    };
    std::vector<std::shared_ptr<ErrorFirehoseClient>> clients;
    std::vector<std::vector<double>> times(cases.size());
    // Each case has a client and a path of its own, all on one virtual clock.
    for (std::size_t i = 0; i < cases.size(); ++i) {
        auto c = ErrorFirehoseClient::make();
        const std::string prefix = "/case" + std::to_string(i);
        c->configure("quillet", std::nullopt, "1", std::nullopt, "id",
                     std::string(identityBase) + prefix);
        host.simHttp().route("POST", prefix + "/api/error-events",
                             [&, i, reply = cases[i].reply](const platform::HttpRequest&) {
                                 times[i].push_back(seconds());
                                 return reply;
                             });
        c->observe("error", "auth", "upload outcome");
        c->start();
        clients.push_back(c);
    }
    host.advance(60);
    host.advance(41);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        EXPECT_EQ(times[i].size(), cases[i].retried ? 2u : 1u) << "case " << i;
        if (!cases[i].retried) {
            EXPECT_TRUE(clients[i]->pendingBatches().empty()) << "case " << i;
        }
    }
    host.advance(600);
    for (std::size_t i = 0; i < cases.size(); ++i) {
        if (!cases[i].retried) {
            EXPECT_EQ(times[i].size(), 1u) << "dropped for good, case " << i;
        } else {
            EXPECT_GE(times[i].size(), 5u) << "kept and sent again, case " << i;
        }
    }
}

TEST_F(TelemetryTest, OversizedBatchIsDroppedWithoutARequest) {
    answer(200);
    const std::string longText(2000, 'm');
    std::vector<BreadcrumbEntry> crumbs(10, BreadcrumbEntry{"ts", "info", "ui", longText});
    for (int i = 0; i < 20; ++i) // 20 events of about 20 KB: about 400 KB
        client->observe("error", "auth", distinct(i), nullptr, std::nullopt, std::nullopt, crumbs);
    client->start();
    host.advance(60);
    EXPECT_TRUE(uploads.empty());
    EXPECT_TRUE(client->pendingBatches().empty());
    // A batch just under the limit goes out.
    for (int i = 0; i < 10; ++i)
        client->observe("error", "auth", distinct(i), nullptr, std::nullopt, std::nullopt, crumbs);
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_LE(uploads[0].text.size(), 262144u);
}

TEST_F(TelemetryTest, InvalidUTF8FromCallersIsReplacedRatherThanLosingTheBatch) {
    answer(200);
    client->observe("error", std::string("bad\xff"), "first");
    observe("second failure");
    client->start();
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].body["events"].size(), 2u);
    EXPECT_EQ(uploads[0].body["events"][0]["category"], "bad\uFFFD");
}

// Another thread may record the same error first, or the clock may step back after sleep: a
// repeat never moves last_seen before first_seen, so the service never refuses the batch.
TEST_F(TelemetryTest, ARepeatWithAnEarlierTimeKeepsLastSeenAtTheLatest) {
    auto clock = std::make_shared<ErrorFirehoseClient::TimePoint>(host.now());
    ErrorFirehoseClient::Environment env;
    env.clock = [clock] { return *clock; };
    makeClient({}, env);
    answer(202);
    const auto t0 = *clock;
    observe("clock failure");
    *clock = t0 + std::chrono::seconds(5);
    observe("clock failure");
    *clock = t0 - std::chrono::seconds(30); // stepped back
    observe("clock failure");
    auto entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(entries[0].count, 3);
    EXPECT_EQ(entries[0].firstSeen, t0);
    EXPECT_EQ(entries[0].lastSeen, t0 + std::chrono::seconds(5));
    client->start();
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    const auto& event = uploads[0].body["events"][0];
    EXPECT_GE(event["last_seen"].get<std::string>(), event["first_seen"].get<std::string>());
}

// Frames and every breadcrumb field leave the machine scrubbed as messages are; the frame digest
// is taken of the scrubbed frames, so it no longer differs from user to user.
TEST_F(TelemetryTest, FramesAndBreadcrumbsAreScrubbedLikeMessages) {
    answer(202);
    std::vector<std::string> frames{"load(_:) at /Users/jane/src/Store.swift:42",
                                    "mail(jane@example.com)", "Session.refresh", "fourth"};
    std::vector<BreadcrumbEntry> crumbs{
        {"2024-05-01T10:00:00Z", "info", "acct ca_01HZXabc", "signed in as jane@example.com"},
        {"t", "debug", "net", "GET https://10.0.0.7/api Bearer abcdefgh12345678"},
    };
    client->observe("error", "auth", "refresh failed", nullptr, std::nullopt, frames, crumbs);
    auto entries = client->bufferedEntries();
    ASSERT_EQ(entries.size(), 1u);
    ASSERT_TRUE(entries[0].topFrames);
    const std::vector<std::string> scrubbed{"load(_:) at <path>", "mail(<email>)",
                                            "Session.refresh"};
    EXPECT_EQ(*entries[0].topFrames, scrubbed);
    EXPECT_EQ(entries[0].frameDigest, ErrorFirehoseClient::computeFrameDigest(scrubbed));
    // Another user's paths and addresses give the same fingerprint.
    client->observe("error", "auth", "refresh failed", nullptr, std::nullopt,
                    std::vector<std::string>{"load(_:) at /Users/omar/src/Store.swift:42",
                                             "mail(omar@example.org)", "Session.refresh"},
                    std::nullopt);
    ASSERT_EQ(client->bufferedEntries().size(), 1u);
    EXPECT_EQ(client->bufferedEntries()[0].count, 2);

    client->start();
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    const auto& sent = uploads[0].body["events"][0]["breadcrumbs"];
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[0]["ts"], "<ts>");
    EXPECT_EQ(sent[0]["category"], "acct <ca_id>");
    EXPECT_EQ(sent[0]["msg"], "signed in as <email>");
    EXPECT_EQ(sent[1]["msg"], "GET http<path> bearer <token>");
    EXPECT_EQ(uploads[0].text.find("jane"), std::string::npos);
}

// Telemetry never takes the program down: with no host installed there is no consent and no
// clock, and the observation is dropped.
TEST(TelemetryWithoutHost, ObservingBeforeAHostIsInstalledDropsTheObservation) {
    ASSERT_FALSE(platform::hasHost());
    auto client = ErrorFirehoseClient::make();
    client->observe("error", "auth", "early failure at /Users/x/a.json");
    client->observeFromFacade(CorvaneLogLevel::error, "early", {{"k", "v"}});
    EXPECT_TRUE(client->bufferedEntries().empty());
    EXPECT_EQ(client->droppedCount(), 0);
}
