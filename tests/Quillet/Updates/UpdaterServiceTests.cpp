#include "Platform/Sim/SimHost.h"
#include "Platform/UserDefaults.h"
#include "Quillet/Updates/UpdaterService.h"

#include <gtest/gtest.h>

using namespace quillet;
using platform::ActivationPolicy;
using platform::Dictionary;

namespace {

class UpdaterServiceTest : public ::testing::Test {
protected:
    platform::sim::SimHost sim;

    void configure(platform::Value feed, platform::Value key) {
        Dictionary info{{"CFBundleShortVersionString", "0.3.1"}};
        if (!feed.isNull())
            info["SUFeedURL"] = feed;
        if (!key.isNull())
            info["SUPublicEDKey"] = key;
        sim.bundle().infoDictionary = info;
    }
    void configureValid() { configure("https://corvane.com/quillet/appcast.xml", "pP1k3yB64="); }
    platform::sim::SimUpdater& updater() { return *sim.simUpdaterFramework().updater(); }
};

TEST_F(UpdaterServiceTest, ConfigurationNeedsAFeedAndARealKey) {
    struct Case {
        platform::Value feed, key;
        bool valid;
    } cases[] = {
        {"https://x/appcast.xml", "abc", true},
        {"  https://x/appcast.xml\n", " abc\t", true},
        {"https://x/appcast.xml", "REPLACE_WITH_KEY", false},
        {"REPLACE_ME", "abc", true}, // only the key is checked for the placeholder
        {"https://x/appcast.xml", "   ", false},
        {"https://x/appcast.xml", nullptr, false},
        {nullptr, "abc", false},
        {"https://x/appcast.xml", 42, false},
    };
    for (auto& c : cases) {
        configure(c.feed, c.key);
        EXPECT_EQ(UpdaterService::hasValidUpdateConfig(), c.valid);
    }
}

TEST_F(UpdaterServiceTest, UnconfiguredMeansNoUpdaterAndNoChecks) {
    configure("https://x/appcast.xml", "REPLACE_ME");
    auto service = UpdaterService::create();
    EXPECT_EQ(sim.simUpdaterFramework().startCount, 0);
    service->checkForUpdates();
    sim.runUntilIdle();
    EXPECT_FALSE(service->canCheckForUpdates().get());
    EXPECT_TRUE(sim.simApplication().policyHistory().empty());
}

TEST_F(UpdaterServiceTest, CanCheckMirrorsTheUpdaterOnTheMainThread) {
    configureValid();
    auto service = UpdaterService::create();
    EXPECT_EQ(sim.simUpdaterFramework().startCount, 1);
    EXPECT_FALSE(service->canCheckForUpdates().get()) << "stored by a main-thread task";
    sim.runUntilIdle();
    EXPECT_TRUE(service->canCheckForUpdates().get());

    int announcements = 0;
    auto c =
        service->canCheckForUpdates().willChange.connect([&](const bool&) { ++announcements; });
    updater().setCanCheckForUpdates(true); // unchanged: no announcement
    updater().setCanCheckForUpdates(false);
    sim.runUntilIdle();
    EXPECT_FALSE(service->canCheckForUpdates().get());
    EXPECT_EQ(announcements, 1);
}

TEST_F(UpdaterServiceTest, AUserCheckMakesTheAppRegularUntilTheCycleEnds) {
    configureValid();
    sim.application().setActivationPolicy(ActivationPolicy::accessory);
    auto service = UpdaterService::create();
    service->checkForUpdates();
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::regular);
    EXPECT_TRUE(sim.application().isActive());
    service->checkForUpdates(); // a second check before the first cycle ended
    EXPECT_EQ(updater().checkCount, 2);
    updater().finishCycle();
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::accessory)
        << "the policy saved by the first check";

    // A cycle the framework started on its own restores nothing.
    sim.application().setActivationPolicy(ActivationPolicy::regular);
    updater().finishCycle("network down");
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::regular);
}

TEST_F(UpdaterServiceTest, EarlyAccessAsksForTheBetaChannel) {
    configureValid();
    auto service = UpdaterService::create();
    EXPECT_TRUE(updater().delegate()->allowedChannels().empty());
    sim.userDefaults().set("quillet.updates.betaEnabled", true);
    EXPECT_EQ(updater().delegate()->allowedChannels(), std::set<std::string>{"beta"});
}

TEST_F(UpdaterServiceTest, TheLaunchCheckIsForcedOnlyByExactlyOne) {
    configureValid();
    for (const char* value : {"true", "yes", "0", "", " 1"}) {
        sim.process().environment["QUILLET_FORCE_UPDATE_CHECK_ON_LAUNCH"] = value;
        auto service = UpdaterService::create();
        sim.advance(2);
        EXPECT_EQ(updater().checkCount, 0) << "value '" << value << "'";
    }
    sim.process().environment["QUILLET_FORCE_UPDATE_CHECK_ON_LAUNCH"] = "1";
    auto service = UpdaterService::create();
    sim.advance(0.9);
    EXPECT_EQ(updater().checkCount, 0);
    sim.advance(0.2);
    EXPECT_EQ(updater().checkCount, 1);
    EXPECT_EQ(sim.application().activationPolicy(), ActivationPolicy::regular);
}

TEST_F(UpdaterServiceTest, AForcedCheckNeedsTheServiceToStillExist) {
    configureValid();
    sim.process().environment["QUILLET_FORCE_UPDATE_CHECK_ON_LAUNCH"] = "1";
    auto service = UpdaterService::create();
    auto framework = sim.simUpdaterFramework().updater();
    service.reset();
    sim.advance(2);
    EXPECT_EQ(framework->checkCount, 0);
}

} // namespace
