// One batch's upload on its own, on the simulated Mac: the bytes sent are the wire format's, a
// later first try leaves fewer retries, and a batch too large is never sent.
#include "CorvaneAccount/Telemetry/TelemetryUpload.h"
#include "CorvaneAccount/Telemetry/TelemetryWireFormat.h"
#include "Platform/Async.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"

#include <boost/asio/co_spawn.hpp>

#include <gtest/gtest.h>

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
        context.appSlug = "quillet";
        context.identityURL = "https://id.example/v2";
        entries.resize(2);
        entries[0].messageTemplate = "one";
        entries[1].messageTemplate = "two";
    }

    // Answers every upload with `status` and records the bodies with their virtual time.
    void answer(int status) {
        host.simHttp().route("POST", "/v2/api/error-events",
                             [this, status](const platform::HttpRequest& request) {
                                 times.push_back(host.runLoop().monotonicNow());
                                 bodies.emplace_back(request.body.begin(), request.body.end());
                                 return SimHttpReply::http(status);
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
