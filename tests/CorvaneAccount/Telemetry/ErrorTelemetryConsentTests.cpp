#include "CorvaneAccount/Telemetry/ErrorTelemetryConsent.h"
#include "CorvaneAccount/Telemetry/GeoProbeClient.h"
#include "Platform/Async.h"
#include "Platform/Sim/SimHost.h"
#include "Platform/Sim/SimHttpSession.h"

#include <boost/asio/co_spawn.hpp>

#include <gtest/gtest.h>

#include <optional>

namespace consent = corvane::ErrorTelemetryConsent;
namespace geo = corvane::GeoProbeClient;
using platform::sim::SimHttpReply;

namespace {

class TelemetryConsent : public ::testing::Test {
protected:
    // Runs one probe on the library executor to its end on virtual time.
    std::optional<bool> probe(SimHttpReply reply, std::string base = "https://id.example") {
        host.simHttp().route("GET", "/api/geo", std::move(reply));
        std::optional<bool> result;
        boost::asio::co_spawn(platform::libraryExecutor(), geo::probe(host.simHttp(), base),
                              [&](std::exception_ptr, bool value) { result = value; });
        host.advance(1);
        return result;
    }
    void setStored(std::optional<bool> enabled, std::optional<bool> eu) {
        auto& d = host.simDefaults();
        d.removeObject(std::string(consent::Keys::enabled));
        d.removeObject(std::string(consent::Keys::resolvedIsEU));
        if (enabled)
            d.set(std::string(consent::Keys::enabled), *enabled);
        if (eu)
            d.set(std::string(consent::Keys::resolvedIsEU), *eu);
    }

    platform::sim::SimHost host;
};

} // namespace

TEST_F(TelemetryConsent, DecisionTable) {
    struct Row {
        std::optional<bool> enabled, eu;
        bool isEnabled, showEU;
    };
    const Row rows[] = {
        {true, true, true, false},
        {true, false, true, false},
        {true, std::nullopt, true, false},
        {false, true, false, false},
        {false, false, false, false},
        {false, std::nullopt, false, false},
        {std::nullopt, true, false, true},
        {std::nullopt, false, true, false},
        {std::nullopt, std::nullopt, true, false},
    };
    for (const auto& r : rows) {
        setStored(r.enabled, r.eu);
        EXPECT_EQ(consent::isEnabled(), r.isEnabled) << r.enabled.value_or(2) << r.eu.value_or(2);
        EXPECT_EQ(consent::shouldShowEUOptIn(), r.showEU)
            << r.enabled.value_or(2) << r.eu.value_or(2);
    }
    // A value of another type is no explicit choice.
    setStored(std::nullopt, true);
    host.simDefaults().set(std::string(consent::Keys::enabled), "yes");
    EXPECT_FALSE(consent::isEnabled());
}

TEST_F(TelemetryConsent, FreshInstallEUDialogAndOptOutNoteLifecycle) {
    EXPECT_TRUE(consent::isEnabled());
    EXPECT_FALSE(consent::shouldShowEUOptIn());
    EXPECT_TRUE(consent::shouldShowOptOutNote());
    consent::markOptOutNoteShown();
    EXPECT_FALSE(consent::shouldShowOptOutNote());
    EXPECT_EQ(host.simDefaults().object("corvane.error_telemetry_opt_out_shown"),
              platform::Value(true));

    EXPECT_EQ(probe(SimHttpReply::json(200, R"({"eu": true})")), true);
    EXPECT_EQ(geo::cachedIsEU(), true);
    EXPECT_FALSE(consent::isEnabled());
    EXPECT_TRUE(consent::shouldShowEUOptIn());
    consent::markEUOptInShown();
    EXPECT_FALSE(consent::shouldShowEUOptIn());
    EXPECT_EQ(host.simDefaults().object("corvane.error_telemetry_eu_optin_shown"),
              platform::Value(true));
    consent::setEnabled(true);
    EXPECT_TRUE(consent::isEnabled());
    EXPECT_EQ(host.simDefaults().object("corvane.error_telemetry_enabled"), platform::Value(true));
}

TEST_F(TelemetryConsent, ExplicitOffOutsideTheEUSurvivesARelaunch) {
    EXPECT_EQ(probe(SimHttpReply::json(200, R"({"eu": false})")), false);
    consent::setEnabled(false);
    host.relaunch();
    EXPECT_FALSE(consent::isEnabled());
    EXPECT_EQ(geo::cachedIsEU(), false);
}

TEST_F(TelemetryConsent, GeoProbeAnswersAndFailures) {
    EXPECT_EQ(geo::cachedIsEU(), std::nullopt);
    // A failure before any answer leaves the region unknown.
    EXPECT_EQ(probe(SimHttpReply::failure(platform::URLError::cannotConnectToHost)), false);
    EXPECT_EQ(geo::cachedIsEU(), std::nullopt);

    EXPECT_EQ(probe(SimHttpReply::json(200, R"({"eu": true})")), true);
    // Failures keep the earlier answer.
    EXPECT_EQ(probe(SimHttpReply::http(500, "<html>oops</html>")), false);
    EXPECT_EQ(probe(SimHttpReply::failure(platform::URLError::notConnectedToInternet)), false);
    EXPECT_EQ(probe(SimHttpReply::json(200, R"({"region": "eu"})")), false);
    EXPECT_EQ(probe(SimHttpReply::json(200, R"({"eu": "yes"})")), false);
    EXPECT_EQ(probe(SimHttpReply::json(200, R"([true])")), false);
    EXPECT_EQ(geo::cachedIsEU(), true);

    // Later answers overwrite; the status code is not looked at.
    EXPECT_EQ(probe(SimHttpReply::json(200, R"({"eu": false})")), false);
    EXPECT_EQ(geo::cachedIsEU(), false);
    EXPECT_TRUE(consent::isEnabled());
    EXPECT_EQ(probe(SimHttpReply::json(503, R"({"eu": true})")), true);
    EXPECT_EQ(geo::cachedIsEU(), true);

    // The request: GET <base>/api/geo, no extra headers, 60-second time-out, no redirects.
    const auto& request = host.simHttp().requests().back();
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.url, "https://id.example/api/geo");
    EXPECT_TRUE(request.headers.empty());
    EXPECT_DOUBLE_EQ(request.timeout, 60);
    EXPECT_EQ(request.redirects, platform::RedirectPolicy::none);
    EXPECT_EQ(geo::probeRequest("https://id.example/base/").url, "https://id.example/base/api/geo");
}

TEST_F(TelemetryConsent, DialogTextsAreExact) {
    EXPECT_EQ(consent::optOutNoteTitle, "Before you turn this off");
    EXPECT_EQ(consent::optOutNoteBodyTemplate,
              "These reports are fully anonymous and help us make [AppName] better for everyone "
              "\xE2\x80\x94 at no cost to you.");
    EXPECT_EQ(consent::optOutNotePrimaryLabel, "Keep sending reports");
    EXPECT_EQ(consent::optOutNoteSecondaryLabel, "Turn off anyway");
    EXPECT_EQ(consent::euOptInTitle, "Help improve this app?");
    EXPECT_EQ(consent::euOptInBodyTemplate,
              "Anonymous error reports help us fix issues faster. No personal data \xE2\x80\x94 "
              "just crash signals.");
    EXPECT_EQ(consent::euOptInEnableLabel, "Enable");
    EXPECT_EQ(consent::euOptInNotNowLabel, "Not now");
    EXPECT_EQ(geo::userDefaultsKey, consent::Keys::resolvedIsEU);
}
