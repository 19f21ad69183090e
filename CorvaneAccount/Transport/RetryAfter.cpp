#include "CorvaneAccount/Transport/RetryAfter.h"

#include <date/date.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <locale>
#include <sstream>
#include <string>
#include <system_error>

namespace corvane {

namespace {

using TimePoint = std::chrono::system_clock::time_point;

std::string_view trimSpacesAndTabs(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
        s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
        s.remove_suffix(1);
    return s;
}

// A complete, finite decimal number in the C locale ("2", "+2", "-1", "0.5", "1e2").
std::optional<double> parseDecimal(std::string_view text) {
    if (!text.empty() && text.front() == '+') {
        text.remove_prefix(1);
        if (!text.empty() && (text.front() == '+' || text.front() == '-'))
            return std::nullopt;
    }
    if (text.empty())
        return std::nullopt;
    double value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (ec != std::errc() || ptr != end || !std::isfinite(value))
        return std::nullopt;
    return value;
}

// In floating point: two moments at opposite ends of the clock's range are further apart than
// its integer nanoseconds can count.
double secondsFrom(TimePoint from, TimePoint to) {
    using Seconds = std::chrono::duration<double>;
    return (Seconds(to.time_since_epoch()) - Seconds(from.time_since_epoch())).count();
}

} // namespace

std::optional<TimePoint> parseHttpDate(std::string_view text) {
    // date::parse reads the seconds into an uninitialised long double and converts it even when
    // no digit is there (undefined behaviour). They follow the second colon, which nothing
    // before them may contain: a text without a digit there is refused first.
    const std::size_t colon = text.find(':');
    const std::size_t secondColon =
        colon == std::string_view::npos ? colon : text.find(':', colon + 1);
    if (secondColon != std::string_view::npos &&
        (secondColon + 1 == text.size() || text[secondColon + 1] < '0' ||
         text[secondColon + 1] > '9'))
        return std::nullopt;
    std::istringstream in{std::string(text)};
    in.imbue(std::locale::classic());
    date::sys_seconds when;
    in >> date::parse("%a, %d %b %Y %H:%M:%S GMT", when);
    if (in.fail() || in.peek() != std::char_traits<char>::eof())
        return std::nullopt;
    // Four-digit years reach past the clock's range (about 1677 to 2262): such dates stand at
    // its ends, in whole seconds.
    constexpr date::sys_seconds earliest =
        std::chrono::ceil<std::chrono::seconds>(TimePoint::min());
    constexpr date::sys_seconds latest = std::chrono::floor<std::chrono::seconds>(TimePoint::max());
    when = std::clamp(when, earliest, latest);
    return TimePoint(std::chrono::duration_cast<TimePoint::duration>(when.time_since_epoch()));
}

std::optional<double> parseRetryAfter(std::string_view value, TimePoint now, double maxDelay) {
    const std::string_view text = trimSpacesAndTabs(value);
    if (text.empty())
        return std::nullopt;
    std::optional<double> seconds = parseDecimal(text);
    if (!seconds) {
        const std::optional<TimePoint> when = parseHttpDate(text);
        if (!when)
            return std::nullopt;
        seconds = secondsFrom(now, *when);
    }
    return std::clamp(*seconds, 0.0, std::max(0.0, maxDelay));
}

} // namespace corvane
