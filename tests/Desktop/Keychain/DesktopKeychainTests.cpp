#include "Platform/Desktop/DesktopKeychain.h"

#include <gtest/gtest.h>
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>

#include <cstdlib>

using namespace platform;
using desktop::DesktopKeychain;

namespace {

GenericPasswordQuery query(std::string account, std::optional<std::string> group = std::nullopt) {
    return {"com.corvane.account.quillet-test", std::move(account),
            KeychainAccessibility::afterFirstUnlockThisDeviceOnly, std::move(group)};
}

KeychainBytes bytes(const std::string& s) {
    return {s.begin(), s.end()};
}

KeyAttributes softwareKey(std::string tag) {
    KeyAttributes a;
    a.applicationTag = std::move(tag);
    return a;
}

// Verifies a DER ECDSA-SHA256 signature against 0x04 || X || Y with OpenSSL alone.
bool verifyWithPoint(const KeychainBytes& point, const KeychainBytes& message,
                     const KeychainBytes& der) {
    OSSL_PARAM_BLD* bld = OSSL_PARAM_BLD_new();
    OSSL_PARAM_BLD_push_utf8_string(bld, OSSL_PKEY_PARAM_GROUP_NAME, "prime256v1", 0);
    OSSL_PARAM_BLD_push_octet_string(bld, OSSL_PKEY_PARAM_PUB_KEY, point.data(), point.size());
    OSSL_PARAM* params = OSSL_PARAM_BLD_to_param(bld);
    EVP_PKEY_CTX* pctx = EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr);
    EVP_PKEY* pkey = nullptr;
    bool ok = EVP_PKEY_fromdata_init(pctx) == 1 &&
              EVP_PKEY_fromdata(pctx, &pkey, EVP_PKEY_PUBLIC_KEY, params) == 1;
    if (ok) {
        EVP_MD_CTX* md = EVP_MD_CTX_new();
        ok = EVP_DigestVerifyInit(md, nullptr, EVP_sha256(), nullptr, pkey) == 1 &&
             EVP_DigestVerify(md, der.data(), der.size(), message.data(), message.size()) == 1;
        EVP_MD_CTX_free(md);
    }
    EVP_PKEY_free(pkey);
    EVP_PKEY_CTX_free(pctx);
    OSSL_PARAM_free(params);
    OSSL_PARAM_BLD_free(bld);
    return ok;
}

} // namespace

// --- against a running gnome-keyring (run-with-keyring.sh) ---

TEST(DesktopKeychain, GenericPasswordAddUpdateCopyDeleteUseTheRealStatuses) {
    DesktopKeychain kc;
    EXPECT_EQ(kc.copyGenericPassword(query("a")).status, errSecItemNotFound);
    EXPECT_EQ(kc.updateGenericPassword(query("a"), bytes("1")), errSecItemNotFound);
    EXPECT_EQ(kc.deleteGenericPassword(query("a")), errSecItemNotFound);

    ASSERT_EQ(kc.addGenericPassword(query("a"), bytes("1")), errSecSuccess);
    EXPECT_EQ(kc.addGenericPassword(query("a"), bytes("2")), errSecDuplicateItem);
    EXPECT_EQ(kc.copyGenericPassword(query("a")).data, bytes("1"));
    EXPECT_EQ(kc.updateGenericPassword(query("a"), bytes("2")), errSecSuccess);
    EXPECT_EQ(kc.copyGenericPassword(query("a")).data, bytes("2"));

    // A second instance (another process, as far as the keyring knows) sees the same item.
    EXPECT_EQ(DesktopKeychain().copyGenericPassword(query("a")).data, bytes("2"));

    EXPECT_EQ(kc.deleteGenericPassword(query("a")), errSecSuccess);
    EXPECT_EQ(kc.copyGenericPassword(query("a")).status, errSecItemNotFound);
}

TEST(DesktopKeychain, ItemsAreKeyedByServiceAccountAndAccessGroup) {
    DesktopKeychain kc;
    ASSERT_EQ(kc.addGenericPassword(query("k"), bytes("default")), errSecSuccess);
    ASSERT_EQ(kc.addGenericPassword(query("k", "TEAM.group"), bytes("grouped")), errSecSuccess);
    ASSERT_EQ(kc.addGenericPassword(query("k2"), bytes("other")), errSecSuccess);
    EXPECT_EQ(kc.copyGenericPassword(query("k")).data, bytes("default"));
    EXPECT_EQ(kc.copyGenericPassword(query("k", "TEAM.group")).data, bytes("grouped"));
    EXPECT_EQ(kc.copyGenericPassword(query("k", "OTHER")).status, errSecItemNotFound);
    EXPECT_EQ(kc.deleteGenericPassword(query("k", "TEAM.group")), errSecSuccess);
    EXPECT_EQ(kc.copyGenericPassword(query("k")).data, bytes("default"));
}

TEST(DesktopKeychain, BinaryDataRoundTripsExactly) {
    DesktopKeychain kc;
    KeychainBytes data = {0x00, 0xff, 0x10, 0x00, 0xc3, 0x28, 0x7f};
    ASSERT_EQ(kc.addGenericPassword(query("binary"), data), errSecSuccess);
    EXPECT_EQ(kc.copyGenericPassword(query("binary")).data, data);
    KeychainBytes empty;
    ASSERT_EQ(kc.updateGenericPassword(query("binary"), empty), errSecSuccess);
    auto r = kc.copyGenericPassword(query("binary"));
    EXPECT_EQ(r.status, errSecSuccess);
    EXPECT_EQ(r.data, empty);
}

TEST(DesktopKeychain, SoftwareKeyPersistsUnderItsTagAndSignsVerifiably) {
    const std::string tag = "com.corvane.account.dpop.privatekey.test";
    DesktopKeychain kc;
    EXPECT_EQ(kc.copyPrivateKey(tag).status, errSecItemNotFound);

    // No Secure Enclave on this system: callers fall back to a software key.
    KeyAttributes enclave = softwareKey(tag);
    enclave.tokenID = KeyTokenID::secureEnclave;
    enclave.accessControl = kc.createAccessControl(
        KeychainAccessibility::afterFirstUnlockThisDeviceOnly, AccessControlFlags::privateKeyUsage);
    EXPECT_NE(kc.createRandomKey(enclave).status, errSecSuccess);
    EXPECT_EQ(kc.copyPrivateKey(tag).status, errSecItemNotFound);

    auto created = kc.createRandomKey(softwareKey(tag));
    ASSERT_EQ(created.status, errSecSuccess);
    auto createdPoint = kc.externalRepresentation(*kc.copyPublicKey(*created.key));
    ASSERT_TRUE(createdPoint);
    ASSERT_EQ(createdPoint->size(), 65u);
    EXPECT_EQ((*createdPoint)[0], 0x04);

    // Found again by a fresh instance, as on the next launch.
    DesktopKeychain next;
    auto found = next.copyPrivateKey(tag);
    ASSERT_EQ(found.status, errSecSuccess);
    EXPECT_EQ(found.key->keyClass(), KeyClass::privateKey);
    auto foundPublic = next.copyPublicKey(*found.key);
    ASSERT_TRUE(foundPublic);
    EXPECT_EQ(next.externalRepresentation(*foundPublic), createdPoint);
    EXPECT_FALSE(next.externalRepresentation(*found.key)); // private keys are not exported

    const auto message = bytes("header.claims");
    auto sig = next.sign(*found.key, message);
    ASSERT_EQ(sig.status, errSecSuccess);
    EXPECT_TRUE(verifyWithPoint(*createdPoint, message, sig.signature));
    EXPECT_FALSE(verifyWithPoint(*createdPoint, bytes("other"), sig.signature));
    EXPECT_EQ(next.sign(*foundPublic, message).status, errSecParam);

    // A transient key is not stored.
    KeyAttributes transient = softwareKey(tag + ".transient");
    transient.permanent = false;
    EXPECT_EQ(kc.createRandomKey(transient).status, errSecSuccess);
    EXPECT_EQ(kc.copyPrivateKey(tag + ".transient").status, errSecItemNotFound);
}

// --- with no Secret Service reachable (DBUS_SESSION_BUS_ADDRESS points nowhere) ---

TEST(DesktopKeychainUnavailable, EveryStoredOperationReportsNotAvailable) {
    if (!std::getenv("QUILLET_EXPECT_NO_SECRET_SERVICE"))
        GTEST_SKIP() << "run through CTest, which points D-Bus nowhere";
    DesktopKeychain kc;
    EXPECT_EQ(kc.addGenericPassword(query("a"), bytes("1")), errSecNotAvailable);
    EXPECT_EQ(kc.updateGenericPassword(query("a"), bytes("1")), errSecNotAvailable);
    auto copied = kc.copyGenericPassword(query("a"));
    EXPECT_EQ(copied.status, errSecNotAvailable);
    EXPECT_FALSE(copied.data);
    EXPECT_EQ(kc.deleteGenericPassword(query("a")), errSecNotAvailable);
    EXPECT_EQ(kc.createRandomKey(softwareKey("tag")).status, errSecNotAvailable);
    EXPECT_EQ(kc.copyPrivateKey("tag").status, errSecNotAvailable);
}
