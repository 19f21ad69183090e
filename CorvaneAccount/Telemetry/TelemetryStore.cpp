#include "CorvaneAccount/Telemetry/TelemetryStore.h"

#include <nlohmann/json.hpp>

#include <chrono>
#include <optional>

namespace corvane::telemetry {

namespace {

using json = nlohmann::json;
using std::chrono::milliseconds;
using TimePoint = CoalescedEntry::TimePoint;

constexpr int storeVersion = 1;

std::int64_t toMillis(TimePoint t) {
    return std::chrono::duration_cast<milliseconds>(t.time_since_epoch()).count();
}

TimePoint fromMillis(std::int64_t ms) {
    return TimePoint(std::chrono::duration_cast<TimePoint::duration>(milliseconds(ms)));
}

json entryJSON(const CoalescedEntry& e) {
    json j = json::object();
    j["fingerprint"] = e.fingerprint;
    j["severity"] = e.severity;
    j["category"] = e.category;
    if (e.specId)
        j["spec_id"] = *e.specId;
    j["message_template"] = e.messageTemplate;
    if (e.exceptionType)
        j["exception_type"] = *e.exceptionType;
    if (e.topFrames)
        j["top_frames"] = *e.topFrames;
    if (e.frameDigest)
        j["frame_digest"] = *e.frameDigest;
    j["count"] = e.count;
    j["first_seen_ms"] = toMillis(e.firstSeen);
    j["last_seen_ms"] = toMillis(e.lastSeen);
    j["signed_in"] = e.signedIn;
    j["online"] = e.online;
    if (e.sessionUptimeSeconds)
        j["session_uptime_seconds"] = *e.sessionUptimeSeconds;
    if (e.breadcrumbs) {
        json crumbs = json::array();
        for (const auto& b : *e.breadcrumbs)
            crumbs.push_back(
                {{"ts", b.ts}, {"level", b.level}, {"category", b.category}, {"msg", b.msg}});
        j["breadcrumbs"] = std::move(crumbs);
    }
    return j;
}

// Reads a member of the wanted type; false when it is there with another type (or, when
// `required`, missing).
template <typename T>
bool member(const json& j, const char* key, std::optional<T>& out, bool required) {
    auto it = j.find(key);
    if (it == j.end())
        return !required;
    if constexpr (std::is_same_v<T, std::string>) {
        if (!it->is_string())
            return false;
    } else if constexpr (std::is_same_v<T, bool>) {
        if (!it->is_boolean())
            return false;
    } else if constexpr (std::is_same_v<T, std::int64_t>) {
        if (!it->is_number_integer())
            return false;
    } else {
        // A list of strings.
        if (!it->is_array())
            return false;
        T list;
        for (const auto& item : *it) {
            if (!item.is_string())
                return false;
            list.push_back(item.get<std::string>());
        }
        out = std::move(list);
        return true;
    }
    out = it->get<T>();
    return true;
}

std::optional<CoalescedEntry> entryFrom(const json& j) {
    if (!j.is_object())
        return std::nullopt;
    std::optional<std::string> fingerprint, severity, category, specId, messageTemplate,
        exceptionType, frameDigest;
    std::optional<std::vector<std::string>> topFrames;
    std::optional<std::int64_t> count, firstSeen, lastSeen, uptime;
    std::optional<bool> signedIn, online;
    if (!member(j, "fingerprint", fingerprint, true) || !member(j, "severity", severity, true) ||
        !member(j, "category", category, true) || !member(j, "spec_id", specId, false) ||
        !member(j, "message_template", messageTemplate, true) ||
        !member(j, "exception_type", exceptionType, false) ||
        !member(j, "top_frames", topFrames, false) ||
        !member(j, "frame_digest", frameDigest, false) || !member(j, "count", count, true) ||
        !member(j, "first_seen_ms", firstSeen, true) ||
        !member(j, "last_seen_ms", lastSeen, true) || !member(j, "signed_in", signedIn, true) ||
        !member(j, "online", online, true) || !member(j, "session_uptime_seconds", uptime, false))
        return std::nullopt;
    // Times far outside any clock's range would overflow the conversion.
    constexpr std::int64_t limit = std::int64_t{1} << 50;
    if (*firstSeen < -limit || *firstSeen > limit || *lastSeen < -limit || *lastSeen > limit)
        return std::nullopt;
    CoalescedEntry e;
    e.fingerprint = std::move(*fingerprint);
    e.severity = std::move(*severity);
    e.category = std::move(*category);
    e.specId = std::move(specId);
    e.messageTemplate = std::move(*messageTemplate);
    e.exceptionType = std::move(exceptionType);
    e.topFrames = std::move(topFrames);
    e.frameDigest = std::move(frameDigest);
    e.count = *count;
    e.firstSeen = fromMillis(*firstSeen);
    e.lastSeen = fromMillis(*lastSeen);
    e.signedIn = *signedIn;
    e.online = *online;
    e.sessionUptimeSeconds = uptime;
    if (auto it = j.find("breadcrumbs"); it != j.end()) {
        if (!it->is_array())
            return std::nullopt;
        std::vector<BreadcrumbEntry> crumbs;
        for (const auto& c : *it) {
            if (!c.is_object())
                return std::nullopt;
            std::optional<std::string> ts, level, cat, msg;
            if (!member(c, "ts", ts, true) || !member(c, "level", level, true) ||
                !member(c, "category", cat, true) || !member(c, "msg", msg, true))
                return std::nullopt;
            crumbs.push_back({std::move(*ts), std::move(*level), std::move(*cat), std::move(*msg)});
        }
        e.breadcrumbs = std::move(crumbs);
    }
    if (!keepsInvariants(e))
        return std::nullopt;
    return e;
}

} // namespace

std::string encodeStore(const StoredBatches& batches, std::size_t maxBytes) {
    const std::string head = "{\"version\":" + std::to_string(storeVersion) + ",\"batches\":[";
    const std::string tail = "]}";
    // The newest batches first, as long as they fit.
    std::vector<std::string> kept;
    std::size_t size = head.size() + tail.size();
    for (auto it = batches.rbegin(); it != batches.rend(); ++it) {
        if (it->empty())
            continue;
        json batch = json::array();
        for (const auto& entry : *it)
            batch.push_back(entryJSON(entry));
        std::string text = batch.dump(-1, ' ', false, json::error_handler_t::replace);
        const std::size_t added = text.size() + (kept.empty() ? 0 : 1);
        if (size + added > maxBytes)
            break;
        size += added;
        kept.push_back(std::move(text));
    }
    std::string out;
    out.reserve(size);
    out += head;
    for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
        if (it != kept.rbegin())
            out += ',';
        out += *it;
    }
    out += tail;
    return out;
}

DecodedStore decodeStore(std::string_view text, std::size_t maxBatches, std::size_t maxBatchSize) {
    DecodedStore result;
    json doc = json::parse(text, nullptr, /*allow_exceptions=*/false);
    const bool known = doc.is_object() && doc.contains("version") &&
                       doc["version"].is_number_integer() &&
                       doc["version"].get<std::int64_t>() == storeVersion &&
                       doc.contains("batches") && doc["batches"].is_array();
    if (!known) {
        result.unreadable = true;
        return result;
    }
    const auto& batches = doc["batches"];
    const std::size_t first = batches.size() > maxBatches ? batches.size() - maxBatches : 0;
    for (std::size_t i = first; i < batches.size(); ++i) {
        const auto& batch = batches[i];
        if (!batch.is_array()) {
            result.unreadable = true;
            result.batches.clear();
            return result;
        }
        std::vector<CoalescedEntry> entries;
        for (const auto& item : batch) {
            if (entries.size() >= maxBatchSize)
                break;
            if (auto entry = entryFrom(item))
                entries.push_back(std::move(*entry));
        }
        if (!entries.empty())
            result.batches.push_back(std::move(entries));
    }
    return result;
}

} // namespace corvane::telemetry
