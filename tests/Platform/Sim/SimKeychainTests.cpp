#include "Platform/Sim/SimHost.h"
#include "tests/support/KeychainTestSupport.h"

#include <gtest/gtest.h>

using namespace platform;
using namespace platform::test;
using platform::sim::KeychainOperation;
using platform::sim::SimHost;

namespace {

GenericPasswordQuery query(std::string account, std::optional<std::string> group = std::nullopt) {
    return {"com.example.account.app", std::move(account),
            KeychainAccessibility::afterFirstUnlockThisDeviceOnly, std::move(group)};
}

KeyAttributes enclaveKey(Keychain& kc, std::string tag) {
    KeyAttributes a = softwareKey(std::move(tag));
    a.tokenID = KeyTokenID::secureEnclave;
    a.accessControl = kc.createAccessControl(KeychainAccessibility::afterFirstUnlockThisDeviceOnly,
                                             AccessControlFlags::privateKeyUsage);
    return a;
}

} // namespace

TEST(SimKeychain, GenericPasswordAddUpdateCopyDeleteUseTheRealStatuses) {
    SimHost host;
    Keychain& kc = host.keychain();
    EXPECT_EQ(kc.updateGenericPassword(query("a"), bytes("1")), errSecItemNotFound);
    EXPECT_EQ(kc.copyGenericPassword(query("a")).status, errSecItemNotFound);
    EXPECT_EQ(kc.deleteGenericPassword(query("a")), errSecItemNotFound);

    EXPECT_EQ(kc.addGenericPassword(query("a"), bytes("1")), errSecSuccess);
    EXPECT_EQ(kc.addGenericPassword(query("a"), bytes("2")), errSecDuplicateItem);
    auto copied = kc.copyGenericPassword(query("a"));
    EXPECT_EQ(copied.status, errSecSuccess);
    EXPECT_EQ(copied.data, bytes("1"));

    EXPECT_EQ(kc.updateGenericPassword(query("a"), bytes("2")), errSecSuccess);
    EXPECT_EQ(kc.copyGenericPassword(query("a")).data, bytes("2"));
    EXPECT_EQ(host.simKeychain().itemCount(), 1u);

    EXPECT_EQ(kc.deleteGenericPassword(query("a")), errSecSuccess);
    EXPECT_EQ(kc.copyGenericPassword(query("a")).status, errSecItemNotFound);
    EXPECT_EQ(host.simKeychain().itemCount(), 0u);
}

TEST(SimKeychain, AccessGroupAndAccountSeparateItems) {
    SimHost host;
    Keychain& kc = host.keychain();
    ASSERT_EQ(kc.addGenericPassword(query("a"), bytes("plain")), errSecSuccess);
    ASSERT_EQ(kc.addGenericPassword(query("a", "TEAM.group"), bytes("grouped")), errSecSuccess);
    ASSERT_EQ(kc.addGenericPassword(query("b"), bytes("other")), errSecSuccess);
    EXPECT_EQ(kc.copyGenericPassword(query("a")).data, bytes("plain"));
    EXPECT_EQ(kc.copyGenericPassword(query("a", "TEAM.group")).data, bytes("grouped"));
    EXPECT_EQ(kc.copyGenericPassword(query("a", "OTHER.group")).status, errSecItemNotFound);
    EXPECT_EQ(host.simKeychain().item("com.example.account.app", "a", "TEAM.group"),
              bytes("grouped"));
}

TEST(SimKeychain, RecordsEveryItemQueryAndInjectsFailures) {
    SimHost host;
    auto& sim = host.simKeychain();
    Keychain& kc = host.keychain();
    sim.setFailure(KeychainOperation::copy, errSecInteractionNotAllowed);
    sim.setFailure(KeychainOperation::add, errSecAuthFailed);
    EXPECT_EQ(kc.addGenericPassword(query("a", "G"), bytes("1")), errSecAuthFailed);
    EXPECT_EQ(kc.copyGenericPassword(query("a", "G")).status, errSecInteractionNotAllowed);
    EXPECT_EQ(sim.itemCount(), 0u);

    sim.clearFailures();
    EXPECT_EQ(kc.addGenericPassword(query("a", "G"), bytes("1")), errSecSuccess);
    sim.setCopyReturnsNonData(true);
    auto r = kc.copyGenericPassword(query("a", "G"));
    EXPECT_EQ(r.status, errSecSuccess);
    EXPECT_FALSE(r.data.has_value());

    auto queries = sim.itemQueries();
    ASSERT_EQ(queries.size(), 4u);
    for (auto& q : queries)
        EXPECT_EQ(q.accessGroup, "G");
    EXPECT_EQ(sim.calls()[0].operation, KeychainOperation::add);
    EXPECT_EQ(sim.calls()[1].operation, KeychainOperation::copy);
}

TEST(SimKeychain, SoftwareKeyIsFoundAgainByTagAndSignsVerifiably) {
    SimHost host;
    Keychain& kc = host.keychain();
    EXPECT_EQ(kc.copyPrivateKey("tag").status, errSecItemNotFound);

    auto created = kc.createRandomKey(softwareKey("tag"));
    ASSERT_EQ(created.status, errSecSuccess);
    ASSERT_TRUE(created.key);
    EXPECT_EQ(host.simKeychain().keyIsOnSecureEnclave("tag"), false);

    auto found = kc.copyPrivateKey("tag");
    ASSERT_EQ(found.status, errSecSuccess);
    auto publicKey = kc.copyPublicKey(*found.key);
    ASSERT_TRUE(publicKey);
    EXPECT_EQ(publicKey->keyClass(), KeyClass::publicKey);
    auto point = kc.externalRepresentation(*publicKey);
    ASSERT_TRUE(point);
    ASSERT_EQ(point->size(), 65u);
    EXPECT_EQ((*point)[0], 0x04);

    // The created and the found reference are the same key: the signature of one verifies
    // with the public point of the other.
    auto message = bytes("header.claims");
    auto sig = kc.sign(*created.key, message);
    ASSERT_EQ(sig.status, errSecSuccess);
    EXPECT_EQ(sig.signature[0], 0x30); // DER SEQUENCE
    EXPECT_TRUE(verifyWithPoint(*point, message, sig.signature));
    EXPECT_FALSE(verifyWithPoint(*point, bytes("header.claimz"), sig.signature));
}

TEST(SimKeychain, ANewKeyReplacesTheOneItsTagHeld) {
    SimHost host;
    Keychain& kc = host.keychain();
    auto first = kc.createRandomKey(softwareKey("tag"));
    auto second = kc.createRandomKey(softwareKey("tag"));
    ASSERT_EQ(first.status, errSecSuccess);
    ASSERT_EQ(second.status, errSecSuccess);
    EXPECT_EQ(host.simKeychain().keyCount("tag"), 1u);
    auto found = kc.copyPrivateKey("tag");
    ASSERT_EQ(found.status, errSecSuccess);
    EXPECT_EQ(kc.externalRepresentation(*kc.copyPublicKey(*found.key)),
              kc.externalRepresentation(*kc.copyPublicKey(*second.key)));
    EXPECT_NE(kc.externalRepresentation(*kc.copyPublicKey(*first.key)),
              kc.externalRepresentation(*kc.copyPublicKey(*second.key)));
}

TEST(SimKeychain, KeyMisuseIsRefused) {
    SimHost host;
    Keychain& kc = host.keychain();
    auto created = kc.createRandomKey(softwareKey("tag"));
    ASSERT_EQ(created.status, errSecSuccess);
    auto publicKey = kc.copyPublicKey(*created.key);
    // Private keys are not exported; public keys do not sign.
    EXPECT_FALSE(kc.externalRepresentation(*created.key));
    EXPECT_EQ(kc.sign(*publicKey, bytes("m")).status, errSecParam);

    KeyAttributes wrongSize = softwareKey("other");
    wrongSize.keySizeInBits = 384;
    EXPECT_EQ(kc.createRandomKey(wrongSize).status, errSecParam);

    KeyAttributes transient = softwareKey("transient");
    transient.permanent = false;
    EXPECT_EQ(kc.createRandomKey(transient).status, errSecSuccess);
    EXPECT_EQ(kc.copyPrivateKey("transient").status, errSecItemNotFound);
}

TEST(SimKeychain, SecureEnclaveNeedsTheTokenAndPrivateKeyUsage) {
    SimHost host;
    Keychain& kc = host.keychain();
    auto& sim = host.simKeychain();

    KeyAttributes noAccessControl = softwareKey("se");
    noAccessControl.tokenID = KeyTokenID::secureEnclave;
    EXPECT_EQ(kc.createRandomKey(noAccessControl).status, errSecParam);

    auto onEnclave = kc.createRandomKey(enclaveKey(kc, "se"));
    ASSERT_EQ(onEnclave.status, errSecSuccess);
    EXPECT_EQ(sim.keyIsOnSecureEnclave("se"), true);

    sim.setSecureEnclavePresent(false);
    EXPECT_NE(kc.createRandomKey(enclaveKey(kc, "se2")).status, errSecSuccess);
    EXPECT_EQ(sim.keyCount("se2"), 0u);

    sim.setFailure(KeychainOperation::createAccessControl, errSecParam);
    EXPECT_FALSE(kc.createAccessControl(KeychainAccessibility::afterFirstUnlockThisDeviceOnly,
                                        AccessControlFlags::privateKeyUsage));
}

TEST(SimKeychain, KeyOperationFailuresAreInjectable) {
    SimHost host;
    Keychain& kc = host.keychain();
    auto& sim = host.simKeychain();
    auto created = kc.createRandomKey(softwareKey("tag"));
    ASSERT_EQ(created.status, errSecSuccess);

    sim.setFailure(KeychainOperation::copyPrivateKey, errSecAuthFailed);
    sim.setFailure(KeychainOperation::createRandomKey, errSecNotAvailable);
    sim.setFailure(KeychainOperation::sign, errSecInteractionNotAllowed);
    sim.setFailure(KeychainOperation::copyPublicKey, errSecParam);
    EXPECT_EQ(kc.copyPrivateKey("tag").status, errSecAuthFailed);
    EXPECT_EQ(kc.createRandomKey(softwareKey("tag2")).status, errSecNotAvailable);
    EXPECT_EQ(kc.sign(*created.key, bytes("m")).status, errSecInteractionNotAllowed);
    EXPECT_EQ(kc.copyPublicKey(*created.key), nullptr);

    sim.clearFailure(KeychainOperation::copyPrivateKey);
    EXPECT_EQ(kc.copyPrivateKey("tag").status, errSecSuccess);
}

TEST(SimKeychain, ItemsAndKeysSurviveRelaunch) {
    SimHost host;
    Keychain& kc = host.keychain();
    ASSERT_EQ(kc.addGenericPassword(query("a"), bytes("kept")), errSecSuccess);
    auto created = kc.createRandomKey(softwareKey("tag"));
    auto before = kc.externalRepresentation(*kc.copyPublicKey(*created.key));

    host.relaunch();

    EXPECT_EQ(host.keychain().copyGenericPassword(query("a")).data, bytes("kept"));
    auto found = host.keychain().copyPrivateKey("tag");
    ASSERT_EQ(found.status, errSecSuccess);
    EXPECT_EQ(host.keychain().externalRepresentation(*host.keychain().copyPublicKey(*found.key)),
              before);
}
