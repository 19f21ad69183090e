// Reading Retry-After: seconds or an HTTP date, measured from the clock and capped; dates past
// either end of the clock's range wait as long as the furthest date the clock can hold.
#include "CorvaneAccount/Transport/RetryAfter.h"

#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <string>

namespace corvane {
namespace {

using namespace std::chrono;
using TimePoint = system_clock::time_point;

const TimePoint now = sys_days(year{2026} / 12 / 7) + hours(10);

TEST(RetryAfter, ReadsSecondsAndDatesFromTheClockWithinTheCap) {
    struct Case {
        std::string value;
        std::optional<double> wait;
    };
    for (const auto& c : std::vector<Case>{
             {"120", 120},
             {" \t2.5e1\t ", 25},
             {"-3", 0},
             {"86400", 300},
             {"Mon, 07 Dec 2026 10:01:40 GMT", 100},
             {"Sun, 06 Dec 2026 10:00:00 GMT", 0},
             // Further ahead than the clock can count: as far as it goes, so the cap.
             {"Mon, 01 Jan 2300 00:00:00 GMT", 300},
             {"Fri, 31 Dec 9999 23:59:59 GMT", 300},
             // Further back: long past.
             {"Wed, 01 Jan 1000 00:00:00 GMT", 0},
             {"", std::nullopt},
             {"soon", std::nullopt},
             {"Mon, 07 Dec 2026 10:01:40 UTC", std::nullopt},
         }) {
        SCOPED_TRACE(c.value);
        EXPECT_EQ(parseRetryAfter(c.value, now, 300), c.wait);
    }
    // Without a cap a far date is measured in full, from either end of the clock's range.
    const auto far = parseRetryAfter("Mon, 01 Jan 2300 00:00:00 GMT", now, 1e300);
    ASSERT_TRUE(far);
    EXPECT_NEAR(*far, duration<double>(TimePoint::max() - now).count(), 1.0);
    const auto wide =
        parseRetryAfter("Mon, 01 Jan 2300 00:00:00 GMT", ceil<seconds>(TimePoint::min()), 1e300);
    ASSERT_TRUE(wide);
    EXPECT_GT(*wide, 584 * 365.0 * 86400);
}

TEST(RetryAfter, HttpDatesWithoutDigitsForTheSecondsAreRefused) {
    for (const std::string text :
         {"Sun, 06 Nov 1994 08:49:", "Sun, 06 Nov 1994 08:49:`7 GMT", "Sun, 06 Nov 1994 08:49: GMT",
          "Sun, 06 Nov 1994 08:49:x7:1 GMT"})
        EXPECT_EQ(parseHttpDate(text), std::nullopt) << text;
    EXPECT_EQ(parseHttpDate("Sun, 06 Nov 1994 08:49:37 GMT"),
              TimePoint(sys_days(year{1994} / 11 / 6) + hours(8) + minutes(49) + seconds(37)));
}

TEST(RetryAfter, HttpDatesBeyondTheClockStandAtItsEnds) {
    EXPECT_EQ(parseHttpDate("Wed, 21 Oct 2015 07:28:00 GMT"),
              TimePoint(sys_days(year{2015} / 10 / 21) + hours(7) + minutes(28)));
    EXPECT_EQ(parseHttpDate("Mon, 01 Jan 2300 00:00:00 GMT"), floor<seconds>(TimePoint::max()));
    EXPECT_EQ(parseHttpDate("Wed, 01 Jan 1000 00:00:00 GMT"), ceil<seconds>(TimePoint::min()));
}

} // namespace
} // namespace corvane
