// The upload format on its own: the exact bytes of a batch, ids that are missing, text that is
// not UTF-8, and the shape of the random ids.
#include "CorvaneAccount/Telemetry/TelemetryWireFormat.h"

#include <nlohmann/json.hpp>

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

using corvane::CoalescedEntry;
using corvane::ErrorFirehoseClient;
namespace telemetry = corvane::telemetry;

namespace {

ErrorFirehoseClient::ContextSnapshot context() {
    ErrorFirehoseClient::ContextSnapshot c;
    c.appSlug = "quillet";
    c.platform = "mac";
    c.appVersion = "1.2";
    c.osVersion = "14.5.0";
    c.dailyToken = "D";
    c.identityURL = "https://id.example";
    return c;
}

CoalescedEntry entry() {
    using namespace std::chrono;
    CoalescedEntry e;
    e.fingerprint = "0123456789abcdef";
    e.severity = "error";
    e.category = "auth";
    e.messageTemplate = "x";
    e.count = 3;
    e.firstSeen = sys_days{2026y / 1 / 5};
    e.lastSeen = e.firstSeen + milliseconds(1500);
    e.signedIn = true;
    e.online = false;
    return e;
}

} // namespace

TEST(TelemetryWireFormat, BatchIsCompactJSONWithItsKeysInWireOrder) {
    EXPECT_EQ(telemetry::encodeBatch(context(), {entry()}, "B", {"E"}),
              "{\"schema_version\":1,\"batch_id\":\"B\",\"daily_token\":\"D\","
              "\"app_slug\":\"quillet\",\"platform\":\"mac\",\"app_version\":\"1.2\","
              "\"os_version\":\"14.5.0\",\"events\":[{\"client_event_id\":\"E\","
              "\"severity\":\"error\",\"category\":\"auth\",\"fingerprint\":\"0123456789abcdef\","
              "\"message_template\":\"x\",\"count\":3,\"first_seen\":\"2026-01-05T00:00:00.000Z\","
              "\"last_seen\":\"2026-01-05T00:00:01.500Z\",\"signed_in\":true,\"online\":false}]}");
    // The client's own encoder is this one.
    EXPECT_EQ(ErrorFirehoseClient::encodeBatch(context(), {entry()}, "B", {"E"}),
              telemetry::encodeBatch(context(), {entry()}, "B", {"E"}));
}

TEST(TelemetryWireFormat, EventsWithoutAnIdGetAnEmptyOneAndAnEmptyBatchHasNoEvents) {
    const auto body = nlohmann::json::parse(
        telemetry::encodeBatch(context(), {entry(), entry(), entry()}, "B", {"first"}));
    ASSERT_EQ(body["events"].size(), 3u);
    EXPECT_EQ(body["events"][0]["client_event_id"], "first");
    EXPECT_EQ(body["events"][1]["client_event_id"], "");
    EXPECT_EQ(body["events"][2]["client_event_id"], "");
    EXPECT_EQ(nlohmann::json::parse(telemetry::encodeBatch(context(), {}, "B", {}))["events"],
              nlohmann::json::array());
}

TEST(TelemetryWireFormat, InvalidUTF8IsReplacedAndOtherTextIsWrittenAsIs) {
    auto c = context();
    c.appSlug = "bad\xff";
    auto e = entry();
    e.messageTemplate = "caf\u00e9 \"quoted\"";
    const std::string text = telemetry::encodeBatch(c, {e}, "B", {"E"});
    EXPECT_NE(text.find("\"app_slug\":\"bad\xef\xbf\xbd\""), std::string::npos) << text;
    EXPECT_NE(text.find("\"message_template\":\"caf\u00e9 \\\"quoted\\\"\""), std::string::npos)
        << text;
}

TEST(TelemetryWireFormat, RandomIdsAreDistinctLowerCaseVersion4UUIDs) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        const std::string id = telemetry::randomUUID();
        ASSERT_EQ(id.size(), 36u) << id;
        for (std::size_t k = 0; k < id.size(); ++k) {
            if (k == 8 || k == 13 || k == 18 || k == 23)
                ASSERT_EQ(id[k], '-') << id;
            else
                ASSERT_NE(std::string("0123456789abcdef").find(id[k]), std::string::npos) << id;
        }
        EXPECT_EQ(id[14], '4') << id;
        EXPECT_NE(std::string("89ab").find(id[19]), std::string::npos) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 200u);
}
