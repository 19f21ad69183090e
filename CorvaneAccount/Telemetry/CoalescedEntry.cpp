#include "CorvaneAccount/Telemetry/CoalescedEntry.h"

#include "CorvaneAccount/Foundation/CorvaneJSON.h"
#include "CorvaneAccount/Telemetry/TelemetryText.h"

#include <algorithm>

namespace corvane {

namespace {

bool isLowerHex(const std::string& text, std::size_t length) {
    return text.size() == length && std::all_of(text.begin(), text.end(), [](char c) {
               return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
           });
}

} // namespace

bool keepsInvariants(const CoalescedEntry& entry) {
    return entry.count >= 1 && entry.lastSeen >= entry.firstSeen &&
           (!entry.topFrames || entry.topFrames->size() <= 3) &&
           (!entry.breadcrumbs || entry.breadcrumbs->size() <= 10) &&
           isLowerHex(entry.fingerprint, 16) &&
           (!entry.frameDigest || isLowerHex(*entry.frameDigest, 12)) &&
           (!entry.sessionUptimeSeconds ||
            (*entry.sessionUptimeSeconds >= 0 && *entry.sessionUptimeSeconds % 30 == 0)) &&
           TelemetryText::characterCount(entry.messageTemplate, 257) <= 256;
}

nlohmann::ordered_json breadcrumbJSON(const BreadcrumbEntry& entry) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    j["ts"] = entry.ts;
    j["level"] = entry.level;
    j["category"] = entry.category;
    j["msg"] = entry.msg;
    return j;
}

nlohmann::ordered_json coalescedEventJSON(const CoalescedEntry& entry,
                                          const std::string& clientEventId) {
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    j["client_event_id"] = clientEventId;
    j["severity"] = entry.severity;
    j["category"] = entry.category;
    if (entry.specId)
        j["spec_id"] = *entry.specId;
    j["fingerprint"] = entry.fingerprint;
    j["message_template"] = entry.messageTemplate;
    if (entry.exceptionType)
        j["exception_type"] = *entry.exceptionType;
    if (entry.topFrames)
        j["top_frames"] = *entry.topFrames;
    if (entry.frameDigest)
        j["frame_digest"] = *entry.frameDigest;
    if (entry.breadcrumbs) {
        auto crumbs = nlohmann::ordered_json::array();
        for (const auto& b : *entry.breadcrumbs)
            crumbs.push_back(breadcrumbJSON(b));
        j["breadcrumbs"] = std::move(crumbs);
    }
    j["count"] = entry.count;
    j["first_seen"] = CorvaneJSON::encodeDate(entry.firstSeen);
    j["last_seen"] = CorvaneJSON::encodeDate(entry.lastSeen);
    j["signed_in"] = entry.signedIn;
    j["online"] = entry.online;
    if (entry.sessionUptimeSeconds)
        j["session_uptime_seconds"] = *entry.sessionUptimeSeconds;
    return j;
}

} // namespace corvane
