// The Retry-After header of the identity service's answers (RFC 9110 §10.2.3): a number of
// seconds or an HTTP date, read into the wait the throttle honours. Pure; any thread.
#pragma once

#include <chrono>
#include <optional>
#include <string_view>

namespace corvane {

// An IMF-fixdate, "Wed, 21 Oct 2015 07:28:00 GMT" (English names, GMT), the whole text. Dates
// outside the clock's range (about 1677 to 2262) are clamped to its ends, in whole seconds.
std::optional<std::chrono::system_clock::time_point> parseHttpDate(std::string_view text);

// The seconds a Retry-After value asks to wait, measured from `now` for a date and clamped to
// 0 ... maxDelay (a negative or NaN maxDelay counts as 0). None when the value, trimmed of
// spaces and tabs, is empty or neither a complete finite decimal number (C locale) nor an
// HTTP date.
std::optional<double> parseRetryAfter(std::string_view value,
                                      std::chrono::system_clock::time_point now, double maxDelay);

} // namespace corvane
