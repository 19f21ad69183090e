#include "CorvaneAccount/Foundation/CorvaneJSON.h"

#include <date/date.h>

#include <utility>

namespace corvane::CorvaneJSON {

namespace {

using namespace std::chrono;

// The representable range, aligned to whole milliseconds so that what is written reads back
// unchanged.
constexpr sys_time<milliseconds> kMinDate =
    ceil<milliseconds>(time_point_cast<nanoseconds>(Date::min()));
constexpr sys_time<milliseconds> kMaxDate =
    floor<milliseconds>(time_point_cast<nanoseconds>(Date::max()));

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}

// Reads `n` digits at `pos`; false when any is not a digit or the text is too short.
bool digits(std::string_view s, std::size_t pos, std::size_t n, int& out) {
    if (pos + n > s.size())
        return false;
    int v = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (!isDigit(s[pos + i]))
            return false;
        v = v * 10 + (s[pos + i] - '0');
    }
    out = v;
    return true;
}

bool is(std::string_view s, std::size_t pos, char c) {
    return pos < s.size() && s[pos] == c;
}

} // namespace

std::optional<Date> parseDate(std::string_view s) noexcept {
    // full-date "T" partial-time time-offset (RFC 3339 §5.6).
    int year, month, day, hour, minute, second;
    if (!digits(s, 0, 4, year) || !is(s, 4, '-') || !digits(s, 5, 2, month) || !is(s, 7, '-') ||
        !digits(s, 8, 2, day) || !(is(s, 10, 'T') || is(s, 10, 't')) || !digits(s, 11, 2, hour) ||
        !is(s, 13, ':') || !digits(s, 14, 2, minute) || !is(s, 16, ':') ||
        !digits(s, 17, 2, second))
        return std::nullopt;
    const date::year_month_day ymd{date::year(year), date::month(unsigned(month)),
                                   date::day(unsigned(day))};
    if (!ymd.ok() || hour > 23 || minute > 59 || second > 59)
        return std::nullopt;

    std::size_t pos = 19;
    // time-secfrac: "." 1*DIGIT; digits past nanoseconds are read and ignored.
    std::int64_t nanos = 0;
    if (is(s, pos, '.')) {
        ++pos;
        std::size_t count = 0;
        while (pos < s.size() && isDigit(s[pos])) {
            if (count < 9)
                nanos = nanos * 10 + (s[pos] - '0');
            ++count;
            ++pos;
        }
        if (count == 0)
            return std::nullopt;
        for (; count < 9; ++count)
            nanos *= 10;
    }

    // time-offset: "Z" / ("+" / "-") time-hour ":" time-minute
    std::int64_t offsetSeconds = 0;
    if (is(s, pos, 'Z') || is(s, pos, 'z')) {
        ++pos;
    } else if (is(s, pos, '+') || is(s, pos, '-')) {
        const bool negative = s[pos] == '-';
        int oh, om;
        if (!digits(s, pos + 1, 2, oh) || !is(s, pos + 3, ':') || !digits(s, pos + 4, 2, om) ||
            oh > 23 || om > 59)
            return std::nullopt;
        offsetSeconds = (negative ? -1 : 1) * (std::int64_t(oh) * 3600 + om * 60);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != s.size())
        return std::nullopt;

    // Whole seconds since 1970 fit easily in 64 bits for years 0000-9999; the nanosecond clock
    // does not, so check the range before converting.
    const std::int64_t days = date::sys_days(ymd).time_since_epoch().count();
    const std::int64_t secs =
        days * 86400 + std::int64_t(hour) * 3600 + minute * 60 + second - offsetSeconds;
    // Compare (seconds, nanoseconds) pairs with the ends of the range without forming
    // nanosecond counts that could overflow.
    auto split = [](sys_time<milliseconds> t) {
        const auto whole = floor<seconds>(t);
        return std::pair<std::int64_t, std::int64_t>(whole.time_since_epoch().count(),
                                                     duration_cast<nanoseconds>(t - whole).count());
    };
    const std::pair<std::int64_t, std::int64_t> value{secs, nanos};
    if (value < split(kMinDate))
        return time_point_cast<Date::duration>(kMinDate);
    if (value > split(kMaxDate))
        return time_point_cast<Date::duration>(kMaxDate);
    // Near the lower end, whole seconds alone would not fit: step from the next second back.
    if (secs >= 0 || nanos == 0)
        return Date(duration_cast<Date::duration>(seconds(secs)) +
                    duration_cast<Date::duration>(nanoseconds(nanos)));
    return Date(duration_cast<Date::duration>(seconds(secs + 1)) -
                duration_cast<Date::duration>(nanoseconds(1'000'000'000 - nanos)));
}

Date decodeDate(std::string_view text) {
    if (auto d = parseDate(text))
        return *d;
    throw DecodingError("Bad ISO 8601 date: " + std::string(text));
}

std::string encodeDate(Date d) {
    return date::format("%FT%TZ", floor<milliseconds>(d));
}

const nlohmann::json& required(const nlohmann::json& j, const char* key) {
    if (!j.is_object())
        throw DecodingError("Expected to decode a dictionary but found another value.");
    auto it = j.find(key);
    if (it == j.end())
        throw DecodingError(std::string("No value associated with key \"") + key + "\".");
    return *it;
}

const nlohmann::json* optional(const nlohmann::json& j, const char* key) {
    if (!j.is_object())
        throw DecodingError("Expected to decode a dictionary but found another value.");
    auto it = j.find(key);
    if (it == j.end() || it->is_null())
        return nullptr;
    return &*it;
}

const std::string& stringValue(const nlohmann::json& j, const char* what) {
    if (!j.is_string())
        throw DecodingError(std::string("Expected a string for ") + what + ".");
    return j.get_ref<const std::string&>();
}

nlohmann::json dateJSON(Date date) {
    return encodeDate(date);
}

Date dateValue(const nlohmann::json& j) {
    return decodeDate(stringValue(j, "a date"));
}

} // namespace corvane::CorvaneJSON
