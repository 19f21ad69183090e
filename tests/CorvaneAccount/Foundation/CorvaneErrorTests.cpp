#include "CorvaneAccount/Foundation/CorvaneError.h"

#include <gtest/gtest.h>

#include <vector>

using corvane::CorvaneError;

TEST(CorvaneError, EveryCaseDescribesItselfWithTheExactText) {
    const std::vector<std::pair<CorvaneError, std::string>> cases = {
        {CorvaneError::serverError(500, std::nullopt), "Server error (500)."},
        {CorvaneError::serverError(503, "maintenance"),
         "Server error (503 \xE2\x80\x94 maintenance)."},
        {CorvaneError::malformedResponse(std::nullopt), "Couldn't read the server response."},
        {CorvaneError::malformedResponse("CasResponse"),
         "Couldn't read the server response (CasResponse)."},
        {CorvaneError::authorizationFailed("state_mismatch"), "Sign-in failed: state_mismatch"},
        {CorvaneError::keychainFailure(-25299), "Couldn't read your stored sign-in (-25299)."},
        {CorvaneError::keychainFailure(0), "Couldn't read your stored sign-in (0)."},
        {CorvaneError::clientKilled(std::nullopt),
         "This version is no longer supported. Please update."},
        {CorvaneError::clientKilled("https://example.com/new"),
         "This version is no longer supported. Please update."},
        {CorvaneError::requiresUpgrade("2.1"), "Please update to version 2.1 or later."},
        {CorvaneError::dpopUnavailable("sign_failed"),
         "Device security key unavailable: sign_failed"},
        {CorvaneError::notSignedIn(), "Sign in to continue."},
        {CorvaneError::sessionExpired(), "Your session expired. Please sign in again."},
        {CorvaneError::networkUnavailable(), "Can't reach the network. Try again."},
        {CorvaneError::authorizationCancelled(), "Sign-in was cancelled."},
    };
    for (const auto& [error, text] : cases) {
        EXPECT_EQ(error.errorDescription(), text);
        EXPECT_STREQ(error.what(), text.c_str());
    }
}

TEST(CorvaneError, EqualityComparesCaseAndPayloads) {
    EXPECT_EQ(CorvaneError::serverError(500, "x"), CorvaneError::serverError(500, "x"));
    EXPECT_NE(CorvaneError::serverError(500, "x"), CorvaneError::serverError(500, std::nullopt));
    EXPECT_NE(CorvaneError::serverError(500, "x"), CorvaneError::serverError(502, "x"));
    EXPECT_NE(CorvaneError::serverError(500, ""), CorvaneError::serverError(500, std::nullopt));
    EXPECT_NE(CorvaneError::malformedResponse("a"), CorvaneError::malformedResponse("b"));
    EXPECT_NE(CorvaneError::keychainFailure(-25300), CorvaneError::keychainFailure(-25299));
    // Same payload shape, different case.
    EXPECT_NE(CorvaneError::authorizationFailed("r"), CorvaneError::dpopUnavailable("r"));
    EXPECT_NE(CorvaneError::notSignedIn(), CorvaneError::sessionExpired());
    EXPECT_EQ(CorvaneError::networkUnavailable(), CorvaneError::networkUnavailable());
}

TEST(CorvaneError, PayloadsAreReadableByCase) {
    auto server = CorvaneError::serverError(429, "slow_down");
    EXPECT_EQ(server.kind(), CorvaneError::Kind::serverError);
    EXPECT_EQ(server.status(), 429);
    EXPECT_EQ(server.code(), "slow_down");
    EXPECT_EQ(CorvaneError::keychainFailure(-25308).status(), -25308);
    EXPECT_EQ(CorvaneError::malformedResponse("url").field(), "url");
    EXPECT_EQ(CorvaneError::clientKilled("https://x.test").replacement(), "https://x.test");
    EXPECT_EQ(CorvaneError::requiresUpgrade("3.0").minVersion(), "3.0");
    EXPECT_EQ(CorvaneError::dpopUnavailable("no_public_key").reason(), "no_public_key");

    // Thrown and caught as the library's error type and as a std::exception.
    try {
        throw CorvaneError::sessionExpired();
    } catch (const std::exception& e) {
        EXPECT_STREQ(e.what(), "Your session expired. Please sign in again.");
    }
}

TEST(CorvaneError, ProgramCancellationIsNotTheUsersCancel) {
    // The two are distinct types, so a catch of CorvaneError never swallows a cancellation.
    bool caughtAsCorvane = false;
    try {
        throw corvane::CancellationError();
    } catch (const CorvaneError&) {
        caughtAsCorvane = true;
    } catch (const corvane::CancellationError&) {
    }
    EXPECT_FALSE(caughtAsCorvane);
}
