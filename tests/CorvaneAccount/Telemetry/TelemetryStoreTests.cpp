// Undelivered error batches between launches: what a quit or a kill leaves in the store, what
// the next launch sends, what consent deletes, and stores that were not written by this client.
#include "CorvaneAccount/Telemetry/TelemetryStore.h"
#include "TelemetryTestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <string>

using corvane::CoalescedEntry;
using corvane::ErrorFirehoseClient;
using corvane::ErrorTelemetryConsent::setEnabled;
using corvane::telemetry::decodeStore;
using corvane::telemetry::encodeStore;
using corvane::telemetry::maxStoreBytes;
using corvane::telemetry::StoredBatches;
using corvane::telemetry::storeFileName;
using platform::sim::SimHttpReply;
using telemetry_test::TelemetryTest;

namespace {

std::set<std::string> templatesIn(const nlohmann::ordered_json& body) {
    std::set<std::string> out;
    for (const auto& e : body["events"])
        out.insert(e["message_template"].get<std::string>());
    return out;
}

CoalescedEntry entry(int i, std::string message = "") {
    CoalescedEntry e;
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016x", i);
    e.fingerprint = hex;
    e.severity = "error";
    e.category = "auth";
    e.messageTemplate = message.empty() ? "failure " + std::to_string(i) : message;
    e.count = 1 + i;
    e.firstSeen =
        std::chrono::system_clock::time_point(std::chrono::milliseconds(1'700'000'000'123));
    e.lastSeen = e.firstSeen + std::chrono::seconds(i);
    return e;
}

std::string wire(const CoalescedEntry& e) {
    return corvane::coalescedEventJSON(e, "id").dump();
}

} // namespace

class TelemetryStoreTest : public TelemetryTest {
protected:
    std::optional<std::string> stored() { return host.simCacheFiles().contents(storeFileName); }

    // The process ends without a word (killed, or crashed): its tasks and the client go,
    // nothing is saved; a new process makes a new client.
    void relaunch() {
        client.reset();
        host.relaunch();
        makeClient({}, {});
    }
};

TEST_F(TelemetryStoreTest, WhatAQuitLeavesIsSentFirstAtTheNextLaunchAndThenForgotten) {
    answer(503); // the service is down this session
    observe("queued before quit");
    client->start();
    host.advance(60); // the tick queues it and the pass starts trying
    observe("buffered at quit");
    ASSERT_TRUE(client->saveForQuit());
    ASSERT_TRUE(stored());
    const auto triedBefore = uploads.size();
    ASSERT_GE(triedBefore, 1u);

    relaunch();
    uploads.clear();
    answer(202);
    observe("new in this launch");
    client->start();
    host.advance(60);
    ASSERT_EQ(uploads.size(), 3u);
    // The earlier launch's errors go first, in the batches they were queued in.
    EXPECT_EQ(templatesIn(uploads[0].body), std::set<std::string>{"queued before quit"});
    EXPECT_EQ(templatesIn(uploads[1].body), std::set<std::string>{"buffered at quit"});
    EXPECT_EQ(templatesIn(uploads[2].body), std::set<std::string>{"new in this launch"});
    EXPECT_NE(uploads[0].body["batch_id"], uploads[1].body["batch_id"]);
    EXPECT_FALSE(stored()) << "delivered batches leave the store";

    // A third launch sends nothing again.
    relaunch();
    uploads.clear();
    client->start();
    host.advance(600);
    EXPECT_TRUE(uploads.empty());
}

TEST_F(TelemetryStoreTest, AKillDuringAnUploadLosesNeitherTheBatchBeingSentNorTheQueue) {
    // The first pass waits in back-off after a failed try when the process is killed; another
    // batch waits behind it.
    answer(500);
    for (int i = 0; i < 60; ++i)
        observe("distinct failure " + std::string(1, char('a' + i % 26)) +
                std::string(1, char('a' + i / 26)));
    client->start();
    host.advance(61);
    ASSERT_EQ(uploads.size(), 1u);
    ASSERT_EQ(client->pendingBatches().size(), 1u) << "one batch in flight, one queued";
    relaunch();

    uploads.clear();
    answer(200);
    client->start();
    host.advance(60);
    ASSERT_EQ(uploads.size(), 2u);
    std::set<std::string> sent;
    for (const auto& u : uploads)
        for (const auto& t : templatesIn(u.body))
            sent.insert(t);
    EXPECT_EQ(sent.size(), 60u) << "all sixty errors arrive after the kill";
    EXPECT_FALSE(stored());
}

TEST_F(TelemetryStoreTest, ConsentDecidesWhetherStoredReportsAreKeptSentOrDeleted) {
    answer(500);
    observe("before the opt-out");
    client->start();
    host.advance(61);
    ASSERT_TRUE(stored());
    // Turning telemetry off deletes what waits on disk at once, not at the next tick.
    setEnabled(false);
    EXPECT_FALSE(stored());

    // A store found at launch while consent is off is deleted unsent.
    host.simCacheFiles().put(storeFileName, encodeStore({{entry(1)}}));
    relaunch();
    uploads.clear();
    client->start();
    EXPECT_FALSE(stored());
    setEnabled(true);
    host.advance(600);
    EXPECT_TRUE(uploads.empty());
}

TEST_F(TelemetryStoreTest, WhileTheRegionIsUnknownStoredReportsWaitOnDisk) {
    host.simCacheFiles().put(storeFileName, encodeStore({{entry(7, "from last launch")}}));
    setRegion(std::nullopt);
    answer(202);
    client->start();
    host.advance(600);
    EXPECT_TRUE(uploads.empty());
    EXPECT_TRUE(stored()) << "kept, neither sent nor deleted";
    setRegion(false);
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    EXPECT_EQ(templatesIn(uploads[0].body), std::set<std::string>{"from last launch"});
}

TEST_F(TelemetryStoreTest, AStoreThatCannotBeWrittenCostsNothingButItsCopy) {
    host.simCacheFiles().setFailWrites(true);
    answer(202);
    observe("sent although the disk is full");
    client->start();
    host.advance(60);
    ASSERT_EQ(uploads.size(), 1u);
    // The service goes down: what waits cannot reach the disk either, and the quit says so.
    answer(500);
    observe("kept in memory");
    host.advance(61);
    EXPECT_FALSE(client->saveForQuit());
    EXPECT_FALSE(stored());
    host.simCacheFiles().setFailWrites(false);
    EXPECT_TRUE(client->saveForQuit());
    auto text = stored();
    ASSERT_TRUE(text);
    EXPECT_EQ(decodeStore(*text, 10, 50).batches.at(0).at(0).messageTemplate, "kept in memory");
}

TEST(TelemetryStoreFile, KeepsEveryFieldAcrossALaunch) {
    CoalescedEntry full = entry(3);
    full.specId = "5.3";
    full.exceptionType = "CorvaneError";
    full.topFrames = std::vector<std::string>{"a()", "b()"};
    full.frameDigest = "0123456789ab";
    full.signedIn = true;
    full.online = false;
    full.sessionUptimeSeconds = 90;
    full.breadcrumbs = std::vector<corvane::BreadcrumbEntry>{{"t", "info", "ui", "tap \"x\"\n"}};
    CoalescedEntry bare = entry(4, "caf\u00e9 \u202e <email>");
    auto decoded = decodeStore(encodeStore({{full, bare}, {entry(5)}}), 10, 50);
    ASSERT_FALSE(decoded.unreadable);
    ASSERT_EQ(decoded.batches.size(), 2u);
    ASSERT_EQ(decoded.batches[0].size(), 2u);
    EXPECT_EQ(wire(decoded.batches[0][0]), wire(full));
    EXPECT_EQ(decoded.batches[0][0].lastSeen, full.lastSeen);
    EXPECT_EQ(wire(decoded.batches[0][1]), wire(bare));
    EXPECT_EQ(wire(decoded.batches[1][0]), wire(entry(5)));
}

TEST(TelemetryStoreFile, StaysWithinItsBoundKeepingTheNewestBatches) {
    // Ten batches of fifty entries with long templates and full breadcrumbs: well over 1 MiB.
    StoredBatches batches;
    for (int b = 0; b < 10; ++b) {
        std::vector<CoalescedEntry> batch;
        for (int i = 0; i < 50; ++i) {
            auto e = entry(b * 50 + i, std::string(250, char('a' + b)));
            e.breadcrumbs = std::vector<corvane::BreadcrumbEntry>(
                10, {"2026-12-07T00:00:00Z", "info", "ui", std::string(400, 'x')});
            batch.push_back(std::move(e));
        }
        batches.push_back(std::move(batch));
    }
    const std::string text = encodeStore(batches);
    EXPECT_LE(text.size(), maxStoreBytes);
    auto decoded = decodeStore(text, 10, 50);
    ASSERT_FALSE(decoded.unreadable);
    ASSERT_GE(decoded.batches.size(), 1u);
    ASSERT_LT(decoded.batches.size(), 10u);
    // The batches kept are the newest, in order.
    EXPECT_EQ(decoded.batches.back()[0].messageTemplate, std::string(250, 'j'));
    const std::size_t firstKept = 10 - decoded.batches.size();
    EXPECT_EQ(decoded.batches.front()[0].messageTemplate, std::string(250, char('a' + firstKept)));
}

TEST(TelemetryStoreFile, TakesNothingFromAStoreItDidNotWriteAndOnlySoundEntriesFromOneItDid) {
    const std::string good = encodeStore({{entry(1), entry(2)}, {entry(3)}});
    // Cut anywhere (a write that was not atomic), not JSON, another version, other shapes.
    for (std::size_t cut : {std::size_t{0}, std::size_t{1}, good.size() / 2, good.size() - 1}) {
        auto d = decodeStore(good.substr(0, cut), 10, 50);
        EXPECT_TRUE(d.unreadable) << cut;
        EXPECT_TRUE(d.batches.empty()) << cut;
    }
    for (const char* text :
         {"null", "[]", "{\"version\":2,\"batches\":[]}", "{\"version\":\"1\",\"batches\":[]}",
          "{\"version\":1}", "{\"version\":1,\"batches\":{}}", "{\"version\":1,\"batches\":[7]}"})
        EXPECT_TRUE(decodeStore(text, 10, 50).unreadable) << text;

    // Entries that break the event model or have the wrong types are left out, the rest kept.
    auto doc = nlohmann::json::parse(good);
    doc["batches"][0][0]["last_seen_ms"] = 0; // before first_seen
    doc["batches"][0][1]["count"] = "2";
    doc["batches"][1].push_back({{"fingerprint", "zz"}});
    doc["batches"][1].push_back(nlohmann::json(42));
    doc["batches"][1][0]["first_seen_ms"] = std::numeric_limits<std::int64_t>::max();
    doc["batches"].push_back(nlohmann::json::array(
        {nlohmann::json::parse(corvane::telemetry::encodeStore({{entry(9)}}))["batches"][0][0]}));
    auto d = decodeStore(doc.dump(), 10, 50);
    ASSERT_FALSE(d.unreadable);
    ASSERT_EQ(d.batches.size(), 1u) << "batches left empty are dropped";
    EXPECT_EQ(wire(d.batches[0][0]), wire(entry(9)));

    // More batches or entries than the queue holds: the newest batches, the first entries.
    StoredBatches many;
    for (int b = 0; b < 14; ++b)
        many.push_back(std::vector<CoalescedEntry>(3, entry(b)));
    auto bounded = decodeStore(encodeStore(many), 10, 2);
    ASSERT_EQ(bounded.batches.size(), 10u);
    EXPECT_EQ(bounded.batches.front()[0].fingerprint, entry(4).fingerprint);
    EXPECT_EQ(bounded.batches.front().size(), 2u);
}

TEST_F(TelemetryStoreTest, AForeignStoreIsDeletedAtLaunchAndReplacedByTheNextWrite) {
    host.simCacheFiles().put(storeFileName, "{\"version\":1,\"batches\":[[{\"fin");
    answer(500);
    client->start();
    EXPECT_FALSE(stored());
    EXPECT_TRUE(client->pendingBatches().empty());
    observe("after the damage");
    host.advance(61);
    auto text = stored();
    ASSERT_TRUE(text);
    auto d = decodeStore(*text, 10, 50);
    ASSERT_EQ(d.batches.size(), 1u);
    EXPECT_EQ(d.batches[0][0].messageTemplate, "after the damage");
}
