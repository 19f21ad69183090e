#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Model/StoredSession.h"
#include "CorvaneAccount/Storage/InMemoryStorage.h"
#include "CorvaneAccount/Storage/KeychainStorage.h"
#include "Platform/Sim/SimHost.h"

#include <gtest/gtest.h>

#include <thread>

using namespace corvane;
using platform::sim::KeychainOperation;

namespace {

Data bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

class KeychainStorageTest : public ::testing::Test {
protected:
    platform::sim::SimHost host;
    platform::sim::SimKeychain& keychain = host.simKeychain();
};

} // namespace

TEST_F(KeychainStorageTest, ServiceNameAndItemAttributes) {
    KeychainStorage storage("quillet", std::nullopt);
    EXPECT_EQ(storage.service(), "com.corvane.account.quillet");
    storage.setData(bytes("v"), KeychainStorage::Keys::session);
    EXPECT_EQ(keychain.item("com.corvane.account.quillet", "corvane_session"), bytes("v"));
    EXPECT_EQ(keychain.itemAccessibility("com.corvane.account.quillet", "corvane_session"),
              platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
}

TEST_F(KeychainStorageTest, WritingTwiceUpdatesTheOneItem) {
    KeychainStorage storage("quillet", std::nullopt);
    storage.setData(bytes("first"), "corvane_session");
    storage.setData(bytes("second"), "corvane_session");
    EXPECT_EQ(keychain.itemCount(), 1u);
    EXPECT_EQ(storage.getData("corvane_session"), bytes("second"));

    std::vector<KeychainOperation> ops;
    for (auto& c : keychain.calls())
        ops.push_back(c.operation);
    EXPECT_EQ(ops, (std::vector{KeychainOperation::update, KeychainOperation::add,
                                KeychainOperation::update, KeychainOperation::copy}));
}

TEST_F(KeychainStorageTest, AccessGroupIsOnEveryQueryOrOnNone) {
    for (std::optional<std::string> group :
         {std::optional<std::string>("TEAMID.com.corvane"), std::optional<std::string>()}) {
        keychain.clearCalls();
        KeychainStorage storage("quillet", group);
        storage.setData(bytes("a"), "k");
        storage.setData(bytes("b"), "k");
        (void)storage.getData("k");
        (void)storage.getData("missing");
        storage.deleteData("k");
        storage.deleteData("k");
        EXPECT_THROW(storage.readData("k"), CorvaneError);
        const auto queries = keychain.itemQueries();
        ASSERT_EQ(queries.size(), 8u);
        for (const auto& q : queries) {
            EXPECT_EQ(q.accessGroup, group);
            EXPECT_EQ(q.service, "com.corvane.account.quillet");
            EXPECT_EQ(q.accessible,
                      platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly);
        }
    }
}

TEST_F(KeychainStorageTest, ReadsOfMissingItemsAreAbsentOrTheNotFoundStatus) {
    KeychainStorage storage("quillet", std::nullopt);
    EXPECT_EQ(storage.getData("corvane_session"), std::nullopt);
    try {
        storage.readData("corvane_session");
        ADD_FAILURE();
    } catch (const CorvaneError& e) {
        EXPECT_EQ(e, CorvaneError::keychainFailure(-25300));
    }

    keychain.setItem(storage.service(), "corvane_session", bytes("x"));
    keychain.setCopyReturnsNonData(true);
    try {
        storage.readData("corvane_session");
        ADD_FAILURE();
    } catch (const CorvaneError& e) {
        EXPECT_EQ(e, CorvaneError::malformedResponse("keychain.corvane_session"));
    }
    EXPECT_EQ(storage.getData("corvane_session"), std::nullopt);

    keychain.clearFailures();
    keychain.setFailure(KeychainOperation::copy, platform::errSecInteractionNotAllowed);
    EXPECT_EQ(storage.getData("corvane_session"), std::nullopt);
    EXPECT_THROW(storage.readData("corvane_session"), CorvaneError);
}

TEST_F(KeychainStorageTest, WriteFailuresCarryTheKeychainStatus) {
    KeychainStorage storage("quillet", std::nullopt);
    keychain.setFailure(KeychainOperation::update, platform::errSecAuthFailed);
    try {
        storage.setData(bytes("v"), "k");
        ADD_FAILURE();
    } catch (const CorvaneError& e) {
        EXPECT_EQ(e, CorvaneError::keychainFailure(-25293));
        EXPECT_EQ(e.errorDescription(), "Couldn't read your stored sign-in (-25293).");
    }
    keychain.clearFailures();
    keychain.setFailure(KeychainOperation::add, platform::errSecNotAvailable);
    try {
        storage.setData(bytes("v"), "k");
        ADD_FAILURE();
    } catch (const CorvaneError& e) {
        EXPECT_EQ(e, CorvaneError::keychainFailure(-25291));
    }
    EXPECT_EQ(keychain.itemCount(), 0u);
}

TEST_F(KeychainStorageTest, DeleteNeverFailsVisibly) {
    KeychainStorage storage("quillet", std::nullopt);
    storage.setData(bytes("v"), "k");
    storage.deleteData("k");
    EXPECT_EQ(storage.getData("k"), std::nullopt);
    storage.deleteData("k");
    keychain.setFailure(KeychainOperation::remove, platform::errSecInteractionNotAllowed);
    EXPECT_NO_THROW(storage.deleteData("k"));
}

TEST_F(KeychainStorageTest, JSONHelpersRoundTripAndUndecodableReadsAsAbsent) {
    KeychainStorage storage("quillet", "G");
    const StoredSession session{"cas",
                                std::nullopt,
                                CorvaneJSON::decodeDate("2026-02-01T00:00:00Z"),
                                {{"ca_x"}, "a@b.c", std::nullopt},
                                "quillet",
                                CorvaneJSON::decodeDate("2026-01-05T09:00:00.5Z")};
    storage.setJSON(session, KeychainStorage::Keys::session);
    EXPECT_EQ(storage.getJSON<StoredSession>(KeychainStorage::Keys::session), session);

    // After a format change the stored record no longer decodes: the user is signed out.
    keychain.setItem(storage.service(), KeychainStorage::Keys::session, bytes(R"({"v":2})"), "G");
    EXPECT_EQ(storage.getJSON<StoredSession>(KeychainStorage::Keys::session), std::nullopt);
    keychain.setItem(storage.service(), KeychainStorage::Keys::session, bytes("not json"), "G");
    EXPECT_EQ(storage.getJSON<StoredSession>(KeychainStorage::Keys::session), std::nullopt);
}

TEST(InMemoryStorage, SameContractOnADictionary) {
    InMemoryStorage storage;
    EXPECT_EQ(storage.getData("k"), std::nullopt);
    storage.setData(bytes("1"), "k");
    storage.setData(bytes("2"), "k");
    EXPECT_EQ(storage.getData("k"), bytes("2"));
    storage.deleteData("k");
    storage.deleteData("k");
    EXPECT_EQ(storage.getData("k"), std::nullopt);
    storage.setJSON(CorvaneAccountID{"ca_x"}, "id");
    EXPECT_EQ(storage.getJSON<CorvaneAccountID>("id"), CorvaneAccountID{"ca_x"});
    EXPECT_EQ(storage.getJSON<StoredSession>("id"), std::nullopt);
}

TEST(InMemoryStorage, ConcurrentWritersLoseNothing) {
    InMemoryStorage storage;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&storage, t] {
            for (int i = 0; i < 200; ++i)
                storage.setData(bytes(std::to_string(i)),
                                std::to_string(t) + "." + std::to_string(i));
        });
    for (auto& th : threads)
        th.join();
    for (int t = 0; t < 4; ++t)
        for (int i = 0; i < 200; i += 37)
            EXPECT_EQ(storage.getData(std::to_string(t) + "." + std::to_string(i)),
                      bytes(std::to_string(i)));
}
