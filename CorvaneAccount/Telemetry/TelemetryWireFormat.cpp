#include "CorvaneAccount/Telemetry/TelemetryWireFormat.h"

#include <nlohmann/json.hpp>
#include <openssl/rand.h>

#include <random>

namespace corvane::telemetry {

std::string encodeBatch(const ErrorFirehoseClient::ContextSnapshot& context,
                        const std::vector<CoalescedEntry>& entries, const std::string& batchId,
                        const std::vector<std::string>& eventIds) {
    nlohmann::ordered_json batch = nlohmann::ordered_json::object();
    batch["schema_version"] = 1;
    batch["batch_id"] = batchId;
    batch["daily_token"] = context.dailyToken;
    batch["app_slug"] = context.appSlug;
    batch["platform"] = context.platform;
    batch["app_version"] = context.appVersion;
    batch["os_version"] = context.osVersion;
    auto events = nlohmann::ordered_json::array();
    for (std::size_t i = 0; i < entries.size(); ++i)
        events.push_back(coalescedEventJSON(entries[i], i < eventIds.size() ? eventIds[i] : ""));
    batch["events"] = std::move(events);
    // Text that is not valid UTF-8 (callers pass raw bytes) is written with U+FFFD in its place
    // rather than failing the whole batch.
    return batch.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

// Falls back to a per-thread generator should the system source ever fail: an id only has to be
// unique, and telemetry never throws.
std::string randomUUID() {
    unsigned char b[16];
    if (RAND_bytes(b, sizeof b) != 1) {
        thread_local std::mt19937_64 fallback{std::random_device{}()};
        for (auto& byte : b)
            byte = static_cast<unsigned char>(fallback());
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0f) | 0x40);
    b[8] = static_cast<unsigned char>((b[8] & 0x3f) | 0x80);
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(36);
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            out += '-';
        out += hex[b[i] >> 4];
        out += hex[b[i] & 0x0f];
    }
    return out;
}

} // namespace corvane::telemetry
