// Seconds as doubles on the system clock, as the telemetry client's tuning states them.
// Pure functions; any thread.
#pragma once

#include <chrono>

namespace corvane::telemetry {

inline double secondsBetween(std::chrono::system_clock::time_point from,
                             std::chrono::system_clock::time_point to) {
    return std::chrono::duration<double>(to - from).count();
}

inline std::chrono::system_clock::time_point plusSeconds(std::chrono::system_clock::time_point t,
                                                         double seconds) {
    return t + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                   std::chrono::duration<double>(seconds));
}

} // namespace corvane::telemetry
