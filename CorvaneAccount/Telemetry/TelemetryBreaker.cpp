#include "CorvaneAccount/Telemetry/TelemetryBreaker.h"

#include "CorvaneAccount/Telemetry/TelemetryTime.h"

#include <algorithm>

namespace corvane::telemetry {

TelemetryBreaker::TelemetryBreaker(int threshold, double windowSeconds, double silenceSeconds)
    : threshold_(threshold), windowSeconds_(windowSeconds), silenceSeconds_(silenceSeconds) {}

TelemetryBreaker::Verdict TelemetryBreaker::admit(const std::string& fingerprint, TimePoint now) {
    // A silenced fingerprint is dropped without any count.
    auto found = breakers_.find(fingerprint);
    if (found != breakers_.end() && found->second.silencedUntil &&
        *found->second.silencedUntil > now)
        return Verdict::silenced;

    // Count it in its window; the one past the threshold within one window silences it.
    if (found == breakers_.end()) {
        prune(now);
        found = breakers_.emplace(fingerprint, State{0, now, {}}).first;
    }
    auto& breaker = found->second;
    if (secondsBetween(breaker.windowStart, now) > windowSeconds_) {
        breaker.countInWindow = 0;
        breaker.windowStart = now;
    }
    breaker.countInWindow += 1;
    if (breaker.countInWindow > threshold_) {
        breaker.silencedUntil = plusSeconds(now, silenceSeconds_);
        return Verdict::tripped;
    }
    return Verdict::admitted;
}

// A breaker whose window has ended and that is not silenced acts exactly as a fresh one would
// (its count restarts at the next observation), so forgetting it changes nothing; this keeps the
// table bounded by the fingerprints seen in the last window and the silenced ones.
void TelemetryBreaker::prune(TimePoint now) {
    if (breakers_.size() < pruneThreshold_)
        return;
    std::erase_if(breakers_, [&](const auto& item) {
        const auto& state = item.second;
        const bool windowOver = secondsBetween(state.windowStart, now) > windowSeconds_;
        const bool silenced = state.silencedUntil && *state.silencedUntil > now;
        return windowOver && !silenced;
    });
    pruneThreshold_ = std::max<std::size_t>(1024, breakers_.size() * 2);
}

} // namespace corvane::telemetry
