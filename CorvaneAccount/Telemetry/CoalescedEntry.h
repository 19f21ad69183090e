// The records of error telemetry: a caller's breadcrumb, one coalesced error as the client
// buffers it, and their wire form (keys in the order the upload format lists them). Plain values.
#pragma once

#include <nlohmann/json.hpp>

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace corvane {

// One step the caller went through before an error; the library never makes these itself.
struct BreadcrumbEntry {
    std::string ts;
    std::string level;
    std::string category;
    std::string msg;

    bool operator==(const BreadcrumbEntry&) const = default;
};

// One distinct error of the current coalescing window, keyed by its fingerprint.
// Invariants: count >= 1; lastSeen >= firstSeen; at most 3 topFrames and 10 breadcrumbs;
// messageTemplate at most 256 characters; fingerprint 16 hex digits, frameDigest 12.
struct CoalescedEntry {
    using TimePoint = std::chrono::system_clock::time_point;

    std::string fingerprint;
    std::string severity;
    std::string category;
    std::optional<std::string> specId;
    std::string messageTemplate;
    std::optional<std::string> exceptionType;
    std::optional<std::vector<std::string>> topFrames;
    std::optional<std::string> frameDigest;
    std::int64_t count = 1;
    TimePoint firstSeen;
    TimePoint lastSeen;
    bool signedIn = false;
    bool online = true;
    std::optional<std::int64_t> sessionUptimeSeconds;
    std::optional<std::vector<BreadcrumbEntry>> breadcrumbs;
};

// The entry holds the invariants above (the service refuses a batch with one that does not).
bool keepsInvariants(const CoalescedEntry& entry);

// {"ts", "level", "category", "msg"}, in that order.
nlohmann::ordered_json breadcrumbJSON(const BreadcrumbEntry& entry);
// The event object of one entry, with its client event id; optional keys are left out when
// the entry has no value for them.
nlohmann::ordered_json coalescedEventJSON(const CoalescedEntry& entry,
                                          const std::string& clientEventId);

} // namespace corvane
