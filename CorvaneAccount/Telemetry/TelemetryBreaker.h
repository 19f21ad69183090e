// The per-fingerprint circuit breakers: each counts its fingerprint in a short window and
// silences it for a while once the count passes the threshold. Not thread-safe: the owner's lock.
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>
#include <unordered_map>

namespace corvane::telemetry {

class TelemetryBreaker {
public:
    using TimePoint = std::chrono::system_clock::time_point;

    enum class Verdict {
        // Silenced: dropped without being counted.
        silenced,
        // Counted, within the threshold: to be recorded.
        admitted,
        // This one passed the threshold: silenced from now on, and itself not recorded.
        tripped,
    };

    TelemetryBreaker(int threshold, double windowSeconds, double silenceSeconds);

    // Counts one observation of `fingerprint` at `now`.
    Verdict admit(const std::string& fingerprint, TimePoint now);
    // Number of fingerprints with a breaker.
    std::size_t size() const { return breakers_.size(); }

private:
    struct State {
        int countInWindow = 0;
        TimePoint windowStart;
        std::optional<TimePoint> silencedUntil;
    };

    void prune(TimePoint now);

    const int threshold_;
    const double windowSeconds_;
    const double silenceSeconds_;
    std::unordered_map<std::string, State> breakers_;
    std::size_t pruneThreshold_ = 1024;
};

} // namespace corvane::telemetry
