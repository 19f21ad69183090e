#include "CorvaneAccount/Foundation/CorvaneJSON.h"

#include <gtest/gtest.h>

using namespace corvane;
using namespace std::chrono;

namespace {

Date utc(int y, unsigned mo, unsigned d, int h, int mi, int s, int ms = 0) {
    const auto days = sys_days(year(y) / month(mo) / day(d));
    return Date(duration_cast<Date::duration>(days.time_since_epoch() + hours(h) + minutes(mi) +
                                              seconds(s) + milliseconds(ms)));
}

} // namespace

TEST(CorvaneJSONDates, DecodeWithAndWithoutFractionalSeconds) {
    EXPECT_EQ(CorvaneJSON::decodeDate("2026-01-05T09:00:00Z"), utc(2026, 1, 5, 9, 0, 0));
    EXPECT_EQ(CorvaneJSON::decodeDate("2026-01-05T09:00:00.250Z"), utc(2026, 1, 5, 9, 0, 0, 250));
    EXPECT_EQ(CorvaneJSON::decodeDate("2026-01-05T09:00:00.5Z"), utc(2026, 1, 5, 9, 0, 0, 500));
    // Digits beyond nanoseconds are read and ignored.
    EXPECT_EQ(CorvaneJSON::decodeDate("2026-01-05T09:00:00.1234567891234Z"),
              utc(2026, 1, 5, 9, 0, 0) + nanoseconds(123456789));
}

TEST(CorvaneJSONDates, DecodeHonoursOffsets) {
    const Date expected = utc(2026, 1, 5, 9, 0, 0);
    EXPECT_EQ(CorvaneJSON::decodeDate("2026-01-05T10:30:00+01:30"), expected);
    EXPECT_EQ(CorvaneJSON::decodeDate("2026-01-05T04:00:00-05:00"), expected);
    EXPECT_EQ(CorvaneJSON::decodeDate("2026-01-05t09:00:00z"), expected);
    // An offset can move the moment across a day and a year.
    EXPECT_EQ(CorvaneJSON::decodeDate("2025-12-31T23:30:00-01:00"), utc(2026, 1, 1, 0, 30, 0));
}

TEST(CorvaneJSONDates, RefusesWhatIsNotAnInternetDateTime) {
    for (const char* bad : {
             "2026-01-05",                // a bare calendar date
             "2026-01-05T09:00:00",       // no offset
             "2026-01-05 09:00:00Z",      // blank instead of T
             "2026-01-05T09:00Z",         // no seconds
             "2026-01-05T09:00:00.Z",     // a point without digits
             "2026-02-30T09:00:00Z",      // no such day
             "2025-02-29T09:00:00Z",      // not a leap year
             "2026-13-01T09:00:00Z",      // no such month
             "2026-01-05T24:00:00Z",      // hour out of range
             "2026-01-05T09:60:00Z",      // minute out of range
             "2026-01-05T09:00:60Z",      // leap seconds are not accepted
             "2026-01-05T09:00:00+0100",  // offset without colon
             "2026-01-05T09:00:00+24:00", // offset out of range
             "2026-01-05T09:00:00Zjunk",  // trailing text
             "+2026-01-05T09:00:00Z",     // sign before the year
             "",
         }) {
        try {
            CorvaneJSON::decodeDate(bad);
            ADD_FAILURE() << "accepted " << bad;
        } catch (const CorvaneJSON::DecodingError& e) {
            EXPECT_EQ(std::string(e.what()), std::string("Bad ISO 8601 date: ") + bad);
        }
    }
    EXPECT_FALSE(CorvaneJSON::parseDate("2026-01-05"));
}

TEST(CorvaneJSONDates, EncodeAlwaysWritesMillisecondsInUTC) {
    EXPECT_EQ(CorvaneJSON::encodeDate(utc(2026, 1, 5, 9, 0, 0)), "2026-01-05T09:00:00.000Z");
    EXPECT_EQ(CorvaneJSON::encodeDate(utc(2026, 1, 5, 9, 0, 0, 7)), "2026-01-05T09:00:00.007Z");
    // Below a millisecond is cut, towards the past, also before 1970.
    EXPECT_EQ(CorvaneJSON::encodeDate(utc(2026, 1, 5, 9, 0, 0, 7) + microseconds(999)),
              "2026-01-05T09:00:00.007Z");
    EXPECT_EQ(CorvaneJSON::encodeDate(utc(1969, 12, 31, 23, 59, 59, 999) + microseconds(500)),
              "1969-12-31T23:59:59.999Z");
    const Date d = utc(2031, 7, 14, 18, 45, 3, 120);
    EXPECT_EQ(CorvaneJSON::decodeDate(CorvaneJSON::encodeDate(d)), d);
}

TEST(CorvaneJSONDates, MomentsBeyondTheClockAreClampedNotWrapped) {
    // "Never expires" written as the last day of year 9999 stays in the far future.
    const Date far = CorvaneJSON::decodeDate("9999-12-31T23:59:59Z");
    EXPECT_GT(far, utc(2262, 1, 1, 0, 0, 0));
    const Date early = CorvaneJSON::decodeDate("0001-01-01T00:00:00Z");
    EXPECT_LT(early, utc(1678, 1, 1, 0, 0, 0));
    // What is written for the ends reads back unchanged.
    EXPECT_EQ(CorvaneJSON::decodeDate(CorvaneJSON::encodeDate(far)), far);
    EXPECT_EQ(CorvaneJSON::decodeDate(CorvaneJSON::encodeDate(early)), early);
}

namespace {
struct Stamp {
    Date at;
};
void to_json(nlohmann::json& j, const Stamp& s) {
    j = nlohmann::json{{"at", CorvaneJSON::dateJSON(s.at)}};
}
void from_json(const nlohmann::json& j, Stamp& s) {
    s.at = CorvaneJSON::dateValue(CorvaneJSON::required(j, "at"));
}
} // namespace

TEST(CorvaneJSONCoder, DecodeFailuresAreDecodingErrorsThatDoNotQuoteTheInput) {
    EXPECT_EQ(CorvaneJSON::encode(Stamp{utc(2026, 1, 5, 9, 0, 0)}),
              R"({"at":"2026-01-05T09:00:00.000Z"})");
    EXPECT_EQ(CorvaneJSON::decode<Stamp>(R"({"at":"2026-01-05T09:00:00Z"})").at,
              utc(2026, 1, 5, 9, 0, 0));

    try {
        CorvaneJSON::decode<Stamp>(R"({"at":"2026-01-05T09:00:00Z", "cas": "secret-token)");
        ADD_FAILURE();
    } catch (const CorvaneJSON::DecodingError& e) {
        EXPECT_EQ(std::string(e.what()).find("secret"), std::string::npos) << e.what();
    }
    EXPECT_THROW(CorvaneJSON::decode<Stamp>(R"({"other":1})"), CorvaneJSON::DecodingError);
    EXPECT_THROW(CorvaneJSON::decode<Stamp>(R"({"at":17})"), CorvaneJSON::DecodingError);
    EXPECT_THROW(CorvaneJSON::decode<Stamp>(R"(["at"])"), CorvaneJSON::DecodingError);
    EXPECT_THROW(CorvaneJSON::decode<Stamp>(R"({"at":"2026-01-05"})"), CorvaneJSON::DecodingError);
    EXPECT_THROW(CorvaneJSON::encode(std::string("\xff")), CorvaneJSON::EncodingError);
}
