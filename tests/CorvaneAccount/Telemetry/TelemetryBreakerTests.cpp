// The per-fingerprint circuit breakers on their own: window and silence boundaries, and pruning
// that forgets only what a fresh breaker would not remember.
#include "CorvaneAccount/Telemetry/TelemetryBreaker.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

using corvane::telemetry::TelemetryBreaker;
using Verdict = TelemetryBreaker::Verdict;

namespace {

const TelemetryBreaker::TimePoint t0 = std::chrono::sys_days{std::chrono::year{2026} / 1 / 5};

TelemetryBreaker::TimePoint at(double seconds) {
    return t0 + std::chrono::duration_cast<std::chrono::system_clock::duration>(
                    std::chrono::duration<double>(seconds));
}

} // namespace

TEST(TelemetryBreaker, TripsOnTheObservationPastTheThresholdAndSilencesUntilTheEnd) {
    TelemetryBreaker breaker(3, 10, 300);
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(breaker.admit("fp", at(i)), Verdict::admitted) << i;
    EXPECT_EQ(breaker.admit("other", at(3)), Verdict::admitted) << "counted per fingerprint";
    EXPECT_EQ(breaker.admit("fp", at(3)), Verdict::tripped);
    EXPECT_EQ(breaker.admit("fp", at(4)), Verdict::silenced);
    EXPECT_EQ(breaker.admit("fp", at(302.9)), Verdict::silenced);
    // The silence ends at trip time + 300 exactly; the count starts afresh in a new window.
    EXPECT_EQ(breaker.admit("fp", at(303)), Verdict::admitted);
    EXPECT_EQ(breaker.admit("fp", at(303)), Verdict::admitted);
    EXPECT_EQ(breaker.admit("fp", at(303)), Verdict::admitted);
    EXPECT_EQ(breaker.admit("fp", at(303)), Verdict::tripped);
}

TEST(TelemetryBreaker, ASilenceShorterThanTheWindowEndsWithTheCountStillOverTheThreshold) {
    TelemetryBreaker breaker(1, 1000, 5);
    EXPECT_EQ(breaker.admit("fp", at(0)), Verdict::admitted);
    EXPECT_EQ(breaker.admit("fp", at(0)), Verdict::tripped);
    EXPECT_EQ(breaker.admit("fp", at(4.9)), Verdict::silenced);
    // The window that tripped it is still open: the next observation trips it again.
    EXPECT_EQ(breaker.admit("fp", at(5)), Verdict::tripped);
    EXPECT_EQ(breaker.admit("fp", at(9.9)), Verdict::silenced);
    // Once the window is over, the count starts afresh.
    EXPECT_EQ(breaker.admit("fp", at(1001)), Verdict::admitted);
}

TEST(TelemetryBreaker, WindowRestartsOnlyWhenMoreThanItsLengthHasPassed) {
    TelemetryBreaker breaker(2, 10, 300);
    EXPECT_EQ(breaker.admit("fp", at(0)), Verdict::admitted);
    EXPECT_EQ(breaker.admit("fp", at(5)), Verdict::admitted);
    EXPECT_EQ(breaker.admit("fp", at(10)), Verdict::tripped) << "10 s later is the same window";

    TelemetryBreaker later(2, 10, 300);
    EXPECT_EQ(later.admit("fp", at(0)), Verdict::admitted);
    EXPECT_EQ(later.admit("fp", at(5)), Verdict::admitted);
    EXPECT_EQ(later.admit("fp", at(10.5)), Verdict::admitted) << "a new window";
    EXPECT_EQ(later.admit("fp", at(10.5)), Verdict::admitted);
    EXPECT_EQ(later.admit("fp", at(10.5)), Verdict::tripped);
}

TEST(TelemetryBreaker, PruningAtTheTableLimitKeepsSilencedAndCurrentBreakers) {
    TelemetryBreaker breaker(1, 10, 300);
    EXPECT_EQ(breaker.admit("loud", at(0)), Verdict::admitted);
    EXPECT_EQ(breaker.admit("loud", at(0)), Verdict::tripped);
    for (int i = 0; i < 1022; ++i)
        breaker.admit("old " + std::to_string(i), at(0));
    breaker.admit("recent", at(5));
    ASSERT_EQ(breaker.size(), 1024u);
    // A new fingerprint at the limit: breakers whose window is over and that are not silenced go.
    EXPECT_EQ(breaker.admit("new", at(11)), Verdict::admitted);
    EXPECT_EQ(breaker.size(), 3u); // loud, recent, new
    EXPECT_EQ(breaker.admit("loud", at(12)), Verdict::silenced);
    EXPECT_EQ(breaker.admit("recent", at(12)), Verdict::tripped) << "its count was kept";
    // A pruned fingerprint starts from zero, as a finished window would have.
    EXPECT_EQ(breaker.admit("old 7", at(12)), Verdict::admitted);
}

TEST(TelemetryBreaker, NoPruningBelowTheLimit) {
    TelemetryBreaker breaker(100, 10, 300);
    for (int i = 0; i < 1023; ++i)
        breaker.admit("fp " + std::to_string(i), at(0));
    breaker.admit("late", at(60));
    EXPECT_EQ(breaker.size(), 1024u);
    breaker.admit("later", at(60));
    EXPECT_EQ(breaker.size(), 2u);
}
