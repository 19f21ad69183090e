#include "CorvaneAccount/Telemetry/TelemetryBuffer.h"

#include "CorvaneAccount/Telemetry/TelemetryObservation.h"
#include "CorvaneAccount/Telemetry/TelemetryTime.h"

#include <algorithm>

namespace corvane::telemetry {

namespace {

std::optional<std::int64_t> roundDown30(std::optional<std::int64_t> seconds) {
    if (!seconds)
        return std::nullopt;
    return *seconds / 30 * 30;
}

} // namespace

TelemetryBuffer::TelemetryBuffer(std::size_t maxDistinctFingerprints, double windowSeconds)
    : maxDistinctFingerprints_(maxDistinctFingerprints), windowSeconds_(windowSeconds) {}

void TelemetryBuffer::setSession(bool signedIn, bool online,
                                 std::optional<std::int64_t> uptimeSeconds) {
    signedIn_ = signedIn;
    online_ = online;
    sessionUptimeSeconds_ = roundDown30(uptimeSeconds);
}

void TelemetryBuffer::startWindow(TimePoint now) {
    windowStart_ = now;
    droppedCount_ = 0;
}

bool TelemetryBuffer::windowOutlasted(TimePoint now) const {
    return secondsBetween(windowStart_, now) > windowSeconds_;
}

void TelemetryBuffer::add(TelemetryObservation&& o) {
    const TimePoint now = o.now;
    if (auto at = index_.find(o.fingerprint); at != index_.end()) {
        // A repeat merges into its entry; only one that carries breadcrumbs replaces them.
        auto& entry = entries_[at->second];
        entry.count += 1;
        // Observations reach the lock in any order, and the clock may step back: the entry
        // keeps the latest time it has seen, never one before its first.
        entry.lastSeen = std::max(entry.lastSeen, now);
        entry.signedIn = signedIn_;
        entry.online = online_;
        entry.sessionUptimeSeconds = sessionUptimeSeconds_;
        if (o.breadcrumbs)
            entry.breadcrumbs = std::move(o.breadcrumbs);
    } else if (entries_.size() < maxDistinctFingerprints_) {
        // A new error gets an entry while there is room; otherwise it is only counted.
        CoalescedEntry entry;
        entry.fingerprint = o.fingerprint;
        entry.severity = std::move(o.severity);
        entry.category = std::move(o.category);
        entry.specId = std::move(o.specId);
        entry.messageTemplate = std::move(o.messageTemplate);
        entry.exceptionType = std::move(o.exceptionType);
        entry.topFrames = std::move(o.topFrames);
        entry.frameDigest = std::move(o.frameDigest);
        entry.count = 1;
        entry.firstSeen = entry.lastSeen = now;
        entry.signedIn = signedIn_;
        entry.online = online_;
        entry.sessionUptimeSeconds = sessionUptimeSeconds_;
        entry.breadcrumbs = std::move(o.breadcrumbs);
        index_.emplace(o.fingerprint, entries_.size());
        entries_.push_back(std::move(entry));
    } else {
        droppedCount_ += 1;
    }
}

void TelemetryBuffer::clear() {
    entries_.clear();
    index_.clear();
    droppedCount_ = 0;
}

std::vector<CoalescedEntry> TelemetryBuffer::drain(TimePoint now,
                                                   const Fingerprinter& overflowFingerprint) {
    std::vector<CoalescedEntry> entries = std::move(entries_);
    entries_.clear();
    index_.clear();
    if (droppedCount_ > 0) {
        CoalescedEntry overflow;
        overflow.severity = "warn";
        overflow.category = "client";
        overflow.messageTemplate = overflowTemplate;
        overflow.fingerprint = overflowFingerprint("warn", "client", overflowTemplate);
        overflow.count = droppedCount_;
        overflow.firstSeen = overflow.lastSeen = now;
        overflow.signedIn = signedIn_;
        overflow.online = online_;
        entries.push_back(std::move(overflow));
        droppedCount_ = 0;
    }
    return entries;
}

} // namespace corvane::telemetry
