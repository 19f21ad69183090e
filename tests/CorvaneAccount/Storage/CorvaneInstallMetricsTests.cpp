#include "CorvaneAccount/Storage/CorvaneInstallMetrics.h"
#include "CorvaneAccount/Storage/InMemoryStorage.h"
#include "CorvaneAccount/Storage/KeychainStorage.h"
#include "Platform/Sim/SimHost.h"

#include <gtest/gtest.h>
#include <re2/re2.h>

#include <thread>

using namespace corvane;
using platform::sim::KeychainOperation;

namespace {

const std::string kService = "com.corvane.account.quillet";

bool isLowercaseUUID(const std::string& s) {
    return RE2::FullMatch(s, "[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
}

int writes(platform::sim::SimKeychain& kc) {
    int n = 0;
    for (auto& c : kc.calls())
        n += c.operation == KeychainOperation::add || c.operation == KeychainOperation::update;
    return n;
}

} // namespace

TEST(CorvaneInstallMetrics, InstallIDIsOneLowercaseUUIDAcrossCallsAndLaunches) {
    platform::sim::SimHost host;
    const std::string id = CorvaneInstallMetrics("quillet").installID();
    EXPECT_TRUE(isLowercaseUUID(id)) << id;
    EXPECT_EQ(CorvaneInstallMetrics("quillet").installID(), id);
    auto stored = host.simKeychain().item(kService, "corvane_install_id");
    EXPECT_EQ(stored, Data(id.begin(), id.end()));

    host.relaunch();
    EXPECT_EQ(CorvaneInstallMetrics("quillet").installID(), id);
    // Another application has its own id.
    EXPECT_NE(CorvaneInstallMetrics("other").installID(), id);
}

TEST(CorvaneInstallMetrics, EmptyOrNonTextStoredValuesAreReplaced) {
    platform::sim::SimHost host;
    auto& kc = host.simKeychain();
    for (Data bad : {Data{}, Data{0xff, 0xfe}, Data{0xc0, 0xaf}, Data{'a', 0xe2, 0x82}}) {
        kc.setItem(kService, "corvane_install_id", bad);
        const std::string id = CorvaneInstallMetrics("quillet").installID();
        EXPECT_TRUE(isLowercaseUUID(id));
        EXPECT_EQ(kc.item(kService, "corvane_install_id"), Data(id.begin(), id.end()));
    }
    // Any non-empty text is kept as it is.
    const std::string custom = "install-\xc3\xa9t\xc3\xa9";
    kc.setItem(kService, "corvane_install_id", Data(custom.begin(), custom.end()));
    EXPECT_EQ(CorvaneInstallMetrics("quillet").installID(), custom);
}

TEST(CorvaneInstallMetrics, FailedWriteStillGivesAnID) {
    platform::sim::SimHost host;
    host.simKeychain().setFailure(KeychainOperation::add, platform::errSecNotAvailable);
    const std::string first = CorvaneInstallMetrics("quillet").installID();
    EXPECT_TRUE(isLowercaseUUID(first));
    EXPECT_EQ(host.simKeychain().itemCount(), 0u);
    // Nothing was stored, so the next call makes a new one.
    EXPECT_NE(CorvaneInstallMetrics("quillet").installID(), first);
}

TEST(CorvaneInstallMetrics, TwoFirstCallsAtOnceMakeOneID) {
    platform::sim::SimHost host;
    for (int round = 0; round < 20; ++round) {
        host.simKeychain().removeAllItems();
        std::string a, b;
        std::thread ta([&] { a = CorvaneInstallMetrics("quillet").installID(); });
        std::thread tb([&] { b = CorvaneInstallMetrics("quillet").installID(); });
        ta.join();
        tb.join();
        ASSERT_EQ(a, b);
    }
}

TEST(CorvaneInstallMetrics, FirstOpenMarkerIsWrittenOnceAndKept) {
    platform::sim::SimHost host;
    auto& kc = host.simKeychain();
    EXPECT_TRUE(CorvaneInstallMetrics("quillet").shouldFireFirstOpen());
    EXPECT_TRUE(CorvaneInstallMetrics("quillet").shouldFireFirstOpen());

    EXPECT_TRUE(CorvaneInstallMetrics("quillet").markFirstOpenFired());
    EXPECT_EQ(kc.item(kService, "corvane_first_open_fired"), Data{'1'});
    EXPECT_FALSE(CorvaneInstallMetrics("quillet").shouldFireFirstOpen());

    host.relaunch();
    kc.clearCalls();
    EXPECT_FALSE(CorvaneInstallMetrics("quillet").shouldFireFirstOpen());
    EXPECT_TRUE(CorvaneInstallMetrics("quillet").markFirstOpenFired());
    EXPECT_EQ(writes(kc), 0);
}

TEST(CorvaneInstallMetrics, MarkerWriteFailureIsReportedAndLeavesTheMarkerAbsent) {
    platform::sim::SimHost host;
    host.simKeychain().setFailure(KeychainOperation::add, platform::errSecAuthFailed);
    CorvaneInstallMetrics metrics("quillet");
    EXPECT_FALSE(metrics.markFirstOpenFired());
    EXPECT_TRUE(metrics.shouldFireFirstOpen());
    host.simKeychain().clearFailures();
    EXPECT_TRUE(metrics.markFirstOpenFired());
    EXPECT_FALSE(metrics.shouldFireFirstOpen());
}

TEST(CorvaneInstallMetrics, UsesNoAccessGroupAndWorksOverAnyStorage) {
    platform::sim::SimHost host;
    (void)CorvaneInstallMetrics("quillet").installID();
    for (auto& q : host.simKeychain().itemQueries())
        EXPECT_EQ(q.accessGroup, std::nullopt);

    CorvaneInstallMetrics inMemory(std::make_shared<InMemoryStorage>());
    const auto id = inMemory.installID();
    EXPECT_EQ(inMemory.installID(), id);
    EXPECT_TRUE(inMemory.markFirstOpenFired());
    EXPECT_FALSE(inMemory.shouldFireFirstOpen());
}
