// One batch's upload on its own, on the simulated Mac: the bytes sent are the wire format's, a
// later first try leaves fewer retries, and a batch too large is never sent.
#include "CorvaneAccount/Telemetry/TelemetryObservation.h"
#include "CorvaneAccount/Telemetry/TelemetryUpload.h"
#include "CorvaneAccount/Telemetry/TelemetryWireFormat.h"
#include "Platform/Async.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"

#include <boost/asio/co_spawn.hpp>

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include <optional>
#include <string>
#include <vector>

using corvane::CoalescedEntry;
using corvane::ErrorFirehoseClient;
using platform::sim::SimHttpReply;
namespace telemetry = corvane::telemetry;

namespace {

class TelemetryUpload : public ::testing::Test {
protected:
    TelemetryUpload() {
        env.uniform = [](double, double) { return 0.0; }; // no jitter
        env.consent = [this] { return consent; };
        context.appSlug = "quillet";
        context.identityURL = "https://id.example/v2";
        entries.resize(2);
        entries[0].messageTemplate = "one";
        entries[1].messageTemplate = "two";
        entries[0].fingerprint = "0123456789abcdef";
        entries[1].fingerprint = "fedcba9876543210";
    }

    // Answers every upload with `status` and records the bodies with their virtual time.
    void answer(int status) { answer(SimHttpReply::http(status)); }
    void answer(SimHttpReply reply) {
        host.simHttp().route("POST", "/v2/api/error-events",
                             [this, reply](const platform::HttpRequest& request) {
                                 times.push_back(host.runLoop().monotonicNow());
                                 bodies.emplace_back(request.body.begin(), request.body.end());
                                 return reply;
                             });
    }

    // Runs one send to its end on virtual time.
    std::optional<bool> send(int retryCount) {
        std::optional<bool> result;
        boost::asio::co_spawn(
            platform::libraryExecutor(),
            telemetry::sendBatchWithIds(tuning, env, entries, context, retryCount, "batch", ids),
            [&](std::exception_ptr, bool finished) { result = finished; });
        host.advance(1000);
        return result;
    }

    platform::sim::SimHost host;
    bool consent = true;
    ErrorFirehoseClient::Tuning tuning;
    ErrorFirehoseClient::Environment env;
    ErrorFirehoseClient::ContextSnapshot context;
    std::vector<CoalescedEntry> entries;
    std::vector<std::string> ids{"id-1", "id-2"};
    std::vector<double> times;
    std::vector<std::string> bodies;
};

} // namespace

TEST_F(TelemetryUpload, SendsTheEncodedBatchOnceWhenItIsAccepted) {
    answer(202);
    EXPECT_EQ(send(0), true);
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_EQ(bodies[0], telemetry::encodeBatch(context, entries, "batch", ids));
}

TEST_F(TelemetryUpload, RetriesStartAtTheBackOffOfTheGivenTry) {
    answer(503);
    EXPECT_EQ(send(0), false);
    ASSERT_EQ(times.size(), 4u);
    EXPECT_DOUBLE_EQ(times[1] - times[0], 30);
    EXPECT_DOUBLE_EQ(times[3] - times[2], 120);

    times.clear();
    EXPECT_EQ(send(2), false);
    ASSERT_EQ(times.size(), 2u) << "one try, then the last back-off and one more";
    EXPECT_DOUBLE_EQ(times[1] - times[0], 120);

    times.clear();
    EXPECT_EQ(send(3), false);
    EXPECT_EQ(times.size(), 1u) << "no back-off left";
    EXPECT_EQ(bodies.front(), bodies.back()) << "the same ids on every try";
}

TEST_F(TelemetryUpload, ABatchLargerThanTheLimitIsFinishedWithoutARequest) {
    answer(202);
    tuning.maxBatchBytes = telemetry::encodeBatch(context, entries, "batch", ids).size();
    EXPECT_EQ(send(0), true);
    EXPECT_EQ(bodies.size(), 1u) << "exactly at the limit is sent";
    tuning.maxBatchBytes -= 1;
    EXPECT_EQ(send(0), true);
    EXPECT_EQ(bodies.size(), 1u);
}

// The service refuses a whole batch for one entry that breaks the event model: such an entry is
// left out and the other 49 are delivered.
TEST_F(TelemetryUpload, AnEntryThatBreaksTheEventModelIsLeftOutAndTheOthersAreSent) {
    answer(202);
    const auto t0 = std::chrono::system_clock::time_point{} + std::chrono::hours(24 * 20000);
    entries.assign(50, CoalescedEntry{});
    ids.clear();
    for (int i = 0; i < 50; ++i) {
        entries[i].fingerprint =
            corvane::telemetry::fingerprint("a", "b", "c", "d", std::to_string(i), std::nullopt);
        entries[i].messageTemplate = "failure " + std::to_string(i);
        entries[i].firstSeen = entries[i].lastSeen = t0;
        ids.push_back("id-" + std::to_string(i));
    }
    entries[7].lastSeen = t0 - std::chrono::seconds(3); // the clock stepped back
    entries[9].count = 0;
    EXPECT_EQ(send(0), true);
    ASSERT_EQ(bodies.size(), 1u);
    const auto body = nlohmann::json::parse(bodies[0]);
    ASSERT_EQ(body["events"].size(), 48u);
    for (const auto& event : body["events"]) {
        EXPECT_NE(event["client_event_id"], "id-7");
        EXPECT_NE(event["client_event_id"], "id-9");
        EXPECT_GE(event["last_seen"].get<std::string>(), event["first_seen"].get<std::string>());
    }
}

// A 429 with Retry-After is asked again when the service said, capped as the identity throttle
// caps it; without the header it is an ordinary failure.
TEST_F(TelemetryUpload, TooManyRequestsIsRetriedWhenRetryAfterSays) {
    answer(SimHttpReply::http(429).header("Retry-After", "7"));
    EXPECT_EQ(send(0), false);
    ASSERT_EQ(times.size(), 4u);
    EXPECT_DOUBLE_EQ(times[1] - times[0], 7);
    EXPECT_DOUBLE_EQ(times[3] - times[2], 7);

    times.clear();
    answer(SimHttpReply::http(429).header("Retry-After", "86400"));
    EXPECT_EQ(send(2), false);
    ASSERT_EQ(times.size(), 2u);
    EXPECT_DOUBLE_EQ(times[1] - times[0], telemetry::maxRetryAfterSeconds);

    times.clear();
    answer(SimHttpReply::http(429).header("Retry-After", "soon"));
    EXPECT_EQ(send(2), false);
    ASSERT_EQ(times.size(), 2u);
    EXPECT_DOUBLE_EQ(times[1] - times[0], 120) << "an unreadable value: the back-off";
}

// Consent is asked before every try: withdrawn during a back-off, the retry is never sent.
TEST_F(TelemetryUpload, ConsentWithdrawnDuringTheBackOffStopsTheRetry) {
    answer(503);
    std::optional<bool> result;
    boost::asio::co_spawn(
        platform::libraryExecutor(),
        telemetry::sendBatchWithIds(tuning, env, entries, context, 0, "batch", ids),
        [&](std::exception_ptr, bool finished) { result = finished; });
    host.advance(10);
    ASSERT_EQ(times.size(), 1u);
    consent = false;
    host.advance(1000);
    EXPECT_EQ(times.size(), 1u);
    EXPECT_EQ(result, true) << "finished: the batch is not kept";
}

// A session the uploader was configured with stays alive through the back-off of a batch that
// started on it, whatever its other owner does meanwhile.
TEST_F(TelemetryUpload, TheSessionABatchStartedWithOutlivesItsOtherOwners) {
    struct CountingSession : platform::HttpSession {
        explicit CountingSession(platform::HttpSession& inner) : inner(inner) {}
        boost::asio::awaitable<platform::HttpResult> send(platform::HttpRequest request) override {
            ++sends;
            co_return co_await inner.send(std::move(request));
        }
        platform::HttpSession& inner;
        int sends = 0;
    };
    answer(503);
    auto session = std::make_shared<CountingSession>(host.simHttp());
    std::weak_ptr<CountingSession> watch = session;
    context.urlSession = session;
    std::optional<bool> result;
    boost::asio::co_spawn(
        platform::libraryExecutor(),
        telemetry::sendBatchWithIds(tuning, env, entries, context, 0, "batch", ids),
        [&](std::exception_ptr, bool finished) { result = finished; });
    host.advance(10);
    // The host replaces its session: every other owner lets go.
    context.urlSession.reset();
    session.reset();
    ASSERT_FALSE(watch.expired()) << "the upload holds the session it started with";
    host.advance(1000);
    EXPECT_EQ(times.size(), 4u);
    EXPECT_EQ(result, false);
    EXPECT_TRUE(watch.expired()) << "and lets it go when it is done";
}
