// The coalescing buffer and the batch queue on their own: merging, room, the overflow entry,
// window edges; chunking, the full queue and putting a batch back.
#include "CorvaneAccount/Telemetry/TelemetryBuffer.h"
#include "CorvaneAccount/Telemetry/TelemetryObservation.h"
#include "CorvaneAccount/Telemetry/TelemetryQueue.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

using corvane::BreadcrumbEntry;
using corvane::CoalescedEntry;
using corvane::telemetry::TelemetryBuffer;
using corvane::telemetry::TelemetryObservation;
using corvane::telemetry::TelemetryQueue;

namespace {

const TelemetryBuffer::TimePoint t0 = std::chrono::sys_days{std::chrono::year{2026} / 1 / 5};

TelemetryBuffer::TimePoint at(double seconds) {
    return t0 + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::duration<double>(seconds));
}

TelemetryObservation observation(const std::string& fingerprint, double seconds,
                                 std::optional<std::vector<BreadcrumbEntry>> crumbs = {}) {
    TelemetryObservation o;
    o.now = at(seconds);
    o.fingerprint = fingerprint;
    o.severity = "error";
    o.category = "auth";
    o.normalized = "failure " + fingerprint;
    o.messageTemplate = o.normalized;
    o.breadcrumbs = std::move(crumbs);
    return o;
}

// A fingerprinter that records how often it is asked.
struct CountingFingerprinter {
    int calls = 0;
    TelemetryBuffer::Fingerprinter fn() {
        return [this](const std::string& severity, const std::string& category,
                      const std::string& message) {
            ++calls;
            return severity + "/" + category + "/" + message;
        };
    }
};

std::vector<CoalescedEntry> entries(std::size_t n, const std::string& tag) {
    std::vector<CoalescedEntry> out(n);
    for (std::size_t i = 0; i < n; ++i)
        out[i].messageTemplate = tag + std::to_string(i);
    return out;
}

} // namespace

TEST(TelemetryBuffer, RepeatMergesAndRestampsTheSessionAndKeepsBreadcrumbsWhenNoneCome) {
    TelemetryBuffer buffer(5, 60);
    buffer.startWindow(at(0));
    buffer.setSession(false, true, 59);
    buffer.add(observation("a", 1, std::vector<BreadcrumbEntry>{{"t", "info", "ui", "first"}}));
    buffer.setSession(true, false, 61);
    buffer.add(observation("a", 7));
    ASSERT_EQ(buffer.entries().size(), 1u);
    const auto& e = buffer.entries()[0];
    EXPECT_EQ(e.count, 2);
    EXPECT_EQ(e.firstSeen, at(1));
    EXPECT_EQ(e.lastSeen, at(7));
    EXPECT_TRUE(e.signedIn);
    EXPECT_FALSE(e.online);
    EXPECT_EQ(e.sessionUptimeSeconds, 60);
    ASSERT_TRUE(e.breadcrumbs);
    EXPECT_EQ(e.breadcrumbs->at(0).msg, "first");
    EXPECT_EQ(e.messageTemplate, "failure a");
}

TEST(TelemetryBuffer, WithoutRoomNewErrorsAreCountedAndDrainAddsOneOverflowEntry) {
    TelemetryBuffer buffer(2, 60);
    buffer.startWindow(at(0));
    buffer.add(observation("a", 0));
    EXPECT_FALSE(buffer.isFull());
    buffer.add(observation("b", 0));
    EXPECT_TRUE(buffer.isFull());
    buffer.add(observation("c", 1));
    buffer.add(observation("d", 1));
    buffer.add(observation("a", 1)); // a repeat still merges
    EXPECT_EQ(buffer.droppedCount(), 2);
    EXPECT_EQ(buffer.entries().at(0).count, 2);

    CountingFingerprinter fingerprinter;
    auto drained = buffer.drain(at(5), fingerprinter.fn());
    ASSERT_EQ(drained.size(), 3u);
    const auto& overflow = drained[2];
    EXPECT_EQ(overflow.messageTemplate, TelemetryBuffer::overflowTemplate);
    EXPECT_EQ(overflow.fingerprint, "warn/client/client.distinct_fingerprint_overflow");
    EXPECT_EQ(overflow.severity, "warn");
    EXPECT_EQ(overflow.count, 2);
    EXPECT_EQ(overflow.firstSeen, at(5));
    EXPECT_FALSE(overflow.sessionUptimeSeconds);
    EXPECT_EQ(fingerprinter.calls, 1);
    EXPECT_TRUE(buffer.entries().empty());
    EXPECT_EQ(buffer.droppedCount(), 0);
    EXPECT_FALSE(buffer.contains("a"));

    // Nothing dropped: no overflow entry, and the identity is not asked for.
    buffer.add(observation("a", 6));
    drained = buffer.drain(at(7), fingerprinter.fn());
    ASSERT_EQ(drained.size(), 1u);
    EXPECT_EQ(drained[0].count, 1) << "a fresh entry after the drain";
    EXPECT_EQ(fingerprinter.calls, 1);
}

TEST(TelemetryBuffer, WindowOutlastsItsLengthOnlyStrictlyAfterIt) {
    TelemetryBuffer buffer(5, 60);
    buffer.startWindow(at(10));
    EXPECT_FALSE(buffer.windowOutlasted(at(70)));
    EXPECT_TRUE(buffer.windowOutlasted(at(70.001)));
    buffer.add(observation("x", 0));
    buffer.add(observation("y", 0));
    buffer.add(observation("z", 0));
    buffer.add(observation("w", 0));
    buffer.add(observation("v", 0));
    buffer.add(observation("u", 0));
    ASSERT_EQ(buffer.droppedCount(), 1);
    buffer.startWindow(at(80));
    EXPECT_EQ(buffer.droppedCount(), 0) << "a new window has dropped nothing yet";
    EXPECT_FALSE(buffer.windowOutlasted(at(140)));
}

TEST(TelemetryQueue, EntriesAreQueuedInChunksOfTheBatchSize) {
    TelemetryQueue queue(10, 4);
    queue.enqueue({});
    EXPECT_TRUE(queue.batches().empty());
    queue.enqueue(entries(9, "e"));
    ASSERT_EQ(queue.batches().size(), 3u);
    EXPECT_EQ(queue.batches()[0].size(), 4u);
    EXPECT_EQ(queue.batches()[2].size(), 1u);
    EXPECT_EQ(queue.batches()[2][0].messageTemplate, "e8");

    TelemetryQueue unsized(10, 0); // a batch size of zero counts as one
    unsized.enqueue(entries(3, "u"));
    EXPECT_EQ(unsized.batches().size(), 3u);
}

TEST(TelemetryQueue, AFullQueueGivesUpItsOldestOnceAndDiscardsChunksWithoutRoom) {
    TelemetryQueue queue(3, 2);
    queue.enqueue(entries(6, "a")); // a0-a1, a2-a3, a4-a5
    queue.enqueue(entries(6, "b")); // drops a0-a1; b0-b1 fits; the rest is discarded
    ASSERT_EQ(queue.batches().size(), 3u);
    EXPECT_EQ(queue.batches()[0][0].messageTemplate, "a2");
    EXPECT_EQ(queue.batches()[2][0].messageTemplate, "b0");
    EXPECT_EQ(queue.batches()[2][1].messageTemplate, "b1");
}

TEST(TelemetryQueue, TakesOldestFirstAndPutsBackAtTheHeadOnlyWhileThereIsRoom) {
    TelemetryQueue queue(2, 1);
    EXPECT_FALSE(queue.takeOldest());
    queue.enqueue(entries(2, "q"));
    auto oldest = queue.takeOldest();
    ASSERT_TRUE(oldest);
    EXPECT_EQ(oldest->at(0).messageTemplate, "q0");
    queue.putBack(*oldest);
    ASSERT_EQ(queue.batches().size(), 2u);
    EXPECT_EQ(queue.batches()[0][0].messageTemplate, "q0");
    queue.putBack(entries(1, "late"));
    EXPECT_EQ(queue.batches().size(), 2u) << "no room: the batch is given up";
    EXPECT_EQ(queue.batches()[0][0].messageTemplate, "q0");
}
