#include "CorvaneAccount/Telemetry/CoalescedEntry.h"

#include "CorvaneAccount/Foundation/CorvaneJSON.h"

namespace corvane {

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
