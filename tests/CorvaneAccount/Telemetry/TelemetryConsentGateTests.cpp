// Consent governs every step of error telemetry, not only the observation: each flush and each
// try of an upload asks again, withdrawing it forgets what was recorded at once, and while the
// region is unknown errors are recorded but none leaves the machine.
#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"
#include "CorvaneAccount/Telemetry/ErrorTelemetryConsent.h"
#include "TelemetryTestSupport.h"

#include <gtest/gtest.h>

namespace consent = corvane::ErrorTelemetryConsent;
using platform::sim::SimHttpReply;
using telemetry_test::TelemetryTest;

namespace {

std::string distinct(int i) {
    return "failure kind " + std::string(1, char('a' + i % 26)) +
           std::string(1, char('a' + i / 26));
}

} // namespace

TEST_F(TelemetryTest, TurningConsentOffForgetsBufferedAndQueuedErrorsAtOnce) {
    answer(202);
    for (int i = 0; i < 60; ++i) // one batch queued, ten entries buffered
        observe(distinct(i));
    ASSERT_EQ(client->pendingBatches().size(), 1u);
    ASSERT_EQ(client->bufferedEntries().size(), 10u);
    consent::setEnabled(false);
    EXPECT_TRUE(client->pendingBatches().empty());
    EXPECT_TRUE(client->bufferedEntries().empty());
    client->start();
    host.advance(600);
    EXPECT_TRUE(uploads.empty());
}

TEST_F(TelemetryTest, EventsRecordedBeforeAnOptOutAreNeverSentNorRetried) {
    // Consent withdrawn without the switch's notice (another process, a restored preference):
    // the flush and the upload ask for themselves.
    bool allowed = true;
    corvane::ErrorFirehoseClient::Environment env;
    env.consent = [&] { return allowed; };
    makeClient({}, env);
    answer(500);
    observe("failing upload");
    client->start();
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    allowed = false; // during the back-off
    observe("ignored");
    host.advance(600);
    EXPECT_EQ(uploads.size(), 1u) << "no retry after the opt-out";
    EXPECT_TRUE(client->pendingBatches().empty());
    EXPECT_TRUE(client->bufferedEntries().empty());

    // Buffered before an opt-out, the flush finds no consent and sends nothing.
    allowed = true;
    makeClient({}, env);
    answer(202);
    uploads.clear();
    observe("buffered");
    client->start();
    allowed = false;
    host.advance(120);
    EXPECT_TRUE(uploads.empty());
    EXPECT_TRUE(client->bufferedEntries().empty());
}

TEST_F(TelemetryTest, WhileTheRegionIsUnknownErrorsAreRecordedButNotSent) {
    setRegion(std::nullopt);
    answer(202);
    observe("early failure");
    client->start();
    host.advance(600);
    EXPECT_TRUE(uploads.empty()) << "an EU user's errors must not leave before the probe";
    ASSERT_EQ(client->pendingBatches().size(), 1u);
    EXPECT_EQ(client->pendingBatches()[0][0].messageTemplate, "early failure");

    // In the EU without a choice: off, and what was kept is forgotten at the next flush.
    setRegion(true);
    host.advance(60);
    EXPECT_TRUE(uploads.empty());
    EXPECT_TRUE(client->pendingBatches().empty());

    // Outside the EU the kept errors go at the next flush.
    setRegion(std::nullopt);
    observe("second failure");
    host.advance(60);
    setRegion(false);
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(uploads[0].body["events"][0]["message_template"], "second failure");
}

TEST_F(TelemetryTest, AnExplicitYesSendsWhateverTheRegion) {
    setRegion(std::nullopt);
    consent::setEnabled(true);
    answer(202);
    observe("failure");
    client->start();
    host.advance(60);
    EXPECT_EQ(uploads.size(), 1u);
}
