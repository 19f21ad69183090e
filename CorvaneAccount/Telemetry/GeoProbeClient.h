// Asks the identity service once whether the user is in the EU and caches the answer in the user
// defaults, where it decides the telemetry consent default. Type-level, no state of its own; the
// probe runs on the caller's coroutine.
#pragma once

#include "Platform/HttpSession.h"

#include <boost/asio/awaitable.hpp>

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

// The probe's answer: {"eu": Bool}.
struct GeoResponse {
    bool isEU = false;
};

namespace GeoProbeClient {

inline constexpr std::string_view userDefaultsKey = "corvane.error_telemetry_eu_region";

// The cached answer; none while no probe has succeeded.
std::optional<bool> cachedIsEU();
// GET <identityURL>/api/geo through `session`. Returns the decoded answer and caches it; any
// failure (transfer, not JSON, "eu" missing or not a Bool) returns false and leaves the cache as
// it was. The status code is not looked at. Never throws (cancellation included).
boost::asio::awaitable<bool> probe(platform::HttpSession& session, std::string identityURL);

// The request the probe sends.
platform::HttpRequest probeRequest(const std::string& identityURL);
// The answer in `body`, none when it does not decode.
std::optional<GeoResponse> decodeResponse(std::string_view body);

} // namespace GeoProbeClient

// `base` with the relative path `component` appended after a single "/" (query and fragment of
// the base are dropped).
std::string appendingPathComponent(const std::string& base, std::string_view component);

} // namespace corvane
