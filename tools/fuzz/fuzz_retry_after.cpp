// Fuzzes the reading of a Retry-After value: whatever the text, the wait is absent or within
// 0 ... the cap; white space around the value changes nothing; a number of seconds does not
// depend on the clock; a date is measured from the clock to the second.
#include "CorvaneAccount/Transport/RetryAfter.h"

#include <chrono>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace {

using namespace std::chrono;
using TimePoint = system_clock::time_point;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

std::string_view trimmed(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using corvane::parseRetryAfter;
    const std::string text(reinterpret_cast<const char*>(data), size);
    const TimePoint now = sys_days(year{2026} / 12 / 7) + hours(10);
    constexpr double cap = 300;
    constexpr double noCap = 1e300;

    const std::optional<double> wait = parseRetryAfter(text, now, cap);
    if (wait)
        check(*wait >= 0 && *wait <= cap);
    check(parseRetryAfter(" \t" + text + "\t ", now, cap) == wait);
    check(parseRetryAfter(text, now, -1) == (wait ? std::optional<double>(0) : std::nullopt));

    const std::optional<double> uncapped = parseRetryAfter(text, now, noCap);
    check(uncapped.has_value() == wait.has_value());
    if (!uncapped)
        return 0;
    check(std::isfinite(*uncapped) && *uncapped >= 0 && *wait == std::min(*uncapped, cap));

    const auto date = corvane::parseHttpDate(trimmed(text));
    if (!date) {
        // A number of seconds: the clock plays no part.
        check(parseRetryAfter(text, now + hours(1000), noCap) == uncapped);
        return 0;
    }
    // A date: whole seconds, measured from the clock.
    check(floor<seconds>(*date) == *date);
    check(parseRetryAfter(text, *date, noCap) == 0.0);
    if (*date >= TimePoint::min() + seconds(10))
        check(parseRetryAfter(text, *date - seconds(10), noCap) == 10.0);
    if (*date <= TimePoint::max() - seconds(10))
        check(parseRetryAfter(text, *date + seconds(10), noCap) == 0.0);
    return 0;
}
