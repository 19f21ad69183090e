// The coalescing buffer: one entry per distinct fingerprint of the current window, repeats merged
// into it, errors beyond its room only counted. Not thread-safe: the owner's lock guards it.
#pragma once

#include "CorvaneAccount/Telemetry/CoalescedEntry.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

namespace corvane::telemetry {

struct TelemetryObservation;

class TelemetryBuffer {
public:
    using TimePoint = std::chrono::system_clock::time_point;
    // The fingerprint of a message without frames under the app's current slug and platform.
    using Fingerprinter = std::function<std::string(
        const std::string& severity, const std::string& category, const std::string& message)>;

    // The template of the entry that counts the errors the buffer had no room for.
    static constexpr const char* overflowTemplate = "client.distinct_fingerprint_overflow";

    TelemetryBuffer(std::size_t maxDistinctFingerprints, double windowSeconds);

    // What new and merged entries record of the session; the uptime is rounded down to 30 s.
    void setSession(bool signedIn, bool online, std::optional<std::int64_t> uptimeSeconds);

    // A new window, starting at `now`, with nothing dropped in it yet.
    void startWindow(TimePoint now);
    // The window has lasted longer than its length at `now`.
    bool windowOutlasted(TimePoint now) const;

    bool contains(const std::string& fingerprint) const { return index_.count(fingerprint) > 0; }
    // Merges a repeat into its entry; gives a new error an entry while there is room, otherwise
    // only counts it as dropped.
    void add(TelemetryObservation&& observation);
    bool isFull() const { return entries_.size() >= maxDistinctFingerprints_; }

    // Takes every entry, followed by one overflow entry (fingerprinted by `overflowFingerprint`,
    // asked only then) when errors were dropped; the buffer is left empty.
    std::vector<CoalescedEntry> drain(TimePoint now, const Fingerprinter& overflowFingerprint);
    // Forgets every entry and the count of dropped errors; the window goes on.
    void clear();

    const std::vector<CoalescedEntry>& entries() const { return entries_; }
    std::int64_t droppedCount() const { return droppedCount_; }

private:
    const std::size_t maxDistinctFingerprints_;
    const double windowSeconds_;
    std::vector<CoalescedEntry> entries_;
    std::unordered_map<std::string, std::size_t> index_;
    TimePoint windowStart_;
    std::int64_t droppedCount_ = 0;
    bool signedIn_ = false;
    bool online_ = true;
    std::optional<std::int64_t> sessionUptimeSeconds_;
};

} // namespace corvane::telemetry
