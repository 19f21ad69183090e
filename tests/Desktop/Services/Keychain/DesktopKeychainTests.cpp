#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "Platform/Desktop/Services/DesktopKeychain.h"
#include "Platform/Desktop/Services/KeyringUnlockWatcher.h"
#include "Platform/Sim/SimHost.h"
#include "tests/support/KeychainTestSupport.h"

#include <gtest/gtest.h>
#include <libsecret/secret.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/param_build.h>
#include <openssl/x509.h>

#include <QCoreApplication>
#include <QDeadlineTimer>

#include <atomic>
#include <cstdlib>
#include <functional>
#include <memory>
#include <thread>
#include <vector>

using namespace platform;
using namespace platform::test;
using desktop::DesktopKeychain;

namespace {

GenericPasswordQuery query(std::string account, std::optional<std::string> group = std::nullopt) {
    return {"com.corvane.account.quillet-test", std::move(account),
            KeychainAccessibility::afterFirstUnlockThisDeviceOnly, std::move(group)};
}

// The simulated Mac with the desktop Keychain in place of its own, so that the account
// library's DPoP signer keeps its key in the real keyring. Installs itself.
class KeyringHost final : public Host {
public:
    KeyringHost() { installHost(this); }
    ~KeyringHost() override { installHost(&sim); }

    RunLoop& runLoop() override { return sim.runLoop(); }
    Application& application() override { return sim.application(); }
    NotificationCenter& notificationCenter() override { return sim.notificationCenter(); }
    StatusBar& statusBar() override { return sim.statusBar(); }
    Screens& screens() override { return sim.screens(); }
    Symbols& symbols() override { return sim.symbols(); }
    Workspace& workspace() override { return sim.workspace(); }
    Alerts& alerts() override { return sim.alerts(); }
    UserDefaults& userDefaults() override { return sim.userDefaults(); }
    const Bundle& mainBundle() const override { return sim.mainBundle(); }
    const ProcessInfo& processInfo() const override { return sim.processInfo(); }
    LogSink& log() override { return sim.log(); }
    Keychain& keychain() override { return desktopKeychain; }
    std::chrono::system_clock::time_point now() const override { return sim.now(); }
    HostVocabulary vocabulary() const override { return sim.vocabulary(); }

    sim::SimHost sim;
    DesktopKeychain desktopKeychain;
};

struct GListDeleter {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};

// How many key items the keyring holds under `tag`, locked or not, read behind the Keychain's
// back.
std::size_t keyItemsUnder(const std::string& tag) {
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("xdg:schema"),
                        const_cast<char*>("org.quillet.Keychain.Key"));
    g_hash_table_insert(attributes, const_cast<char*>("application_tag"),
                        const_cast<char*>(tag.c_str()));
    GError* error = nullptr;
    std::unique_ptr<GList, GListDeleter> items(
        secret_password_searchv_sync(nullptr, attributes, SECRET_SEARCH_ALL, nullptr, &error));
    g_hash_table_unref(attributes);
    EXPECT_EQ(error, nullptr) << (error ? error->message : "");
    if (error)
        g_error_free(error);
    return g_list_length(items.get());
}

// Stores a key item the way earlier versions did, several under one tag told apart by their
// "application_label".
void storeLegacyKey(const std::string& tag, const std::string& label, EVP_PKEY* key) {
    unsigned char* der = nullptr;
    PKCS8_PRIV_KEY_INFO* info = EVP_PKEY2PKCS8(key);
    const int length = i2d_PKCS8_PRIV_KEY_INFO(info, &der);
    PKCS8_PRIV_KEY_INFO_free(info);
    ASSERT_GT(length, 0);
    SecretValue* value =
        secret_value_new(reinterpret_cast<const gchar*>(der), length, "application/octet-stream");
    OPENSSL_free(der);
    static const SecretSchema schema = {"org.quillet.Keychain.Key",
                                        SECRET_SCHEMA_NONE,
                                        {{"application_tag", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"application_label", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {"key_type", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                         {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING}},
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    GHashTable* attributes = g_hash_table_new(g_str_hash, g_str_equal);
    g_hash_table_insert(attributes, const_cast<char*>("application_tag"),
                        const_cast<char*>(tag.c_str()));
    g_hash_table_insert(attributes, const_cast<char*>("application_label"),
                        const_cast<char*>(label.c_str()));
    g_hash_table_insert(attributes, const_cast<char*>("key_type"), const_cast<char*>("ec-p256"));
    GError* error = nullptr;
    secret_password_storev_binary_sync(&schema, attributes, SECRET_COLLECTION_DEFAULT, tag.c_str(),
                                       value, nullptr, &error);
    g_hash_table_unref(attributes);
    secret_value_unref(value);
    ASSERT_EQ(error, nullptr) << error->message;
}

KeychainBytes pointOf(EVP_PKEY* key) {
    KeychainBytes point(65);
    std::size_t length = 0;
    EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                    point.size(), &length);
    point.resize(length);
    return point;
}

std::optional<KeychainBytes> storedPoint(Keychain& keychain, const std::string& tag) {
    auto found = keychain.copyPrivateKey(tag);
    if (found.status != errSecSuccess)
        return std::nullopt;
    return keychain.externalRepresentation(*keychain.copyPublicKey(*found.key));
}

// Locks the default collection, as a keyring is locked at login until the user unlocks it.
void lockDefaultCollection() {
    GError* error = nullptr;
    SecretService* service =
        secret_service_get_sync(SECRET_SERVICE_LOAD_COLLECTIONS, nullptr, &error);
    ASSERT_TRUE(service) << (error ? error->message : "");
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &error);
    ASSERT_TRUE(collection) << (error ? error->message : "");
    GList* objects = g_list_append(nullptr, collection);
    GList* locked = nullptr;
    const int count = secret_service_lock_sync(service, objects, nullptr, &locked, &error);
    g_list_free(objects);
    g_list_free_full(locked, g_object_unref);
    EXPECT_EQ(count, 1) << (error ? error->message : "");
    EXPECT_TRUE(secret_collection_get_locked(collection));
    g_object_unref(collection);
    g_object_unref(service);
}

// Unlocks the login collection as a login does, with the password run-with-keyring.sh gave
// it (one newline), through gnome-keyring's own unlock call: the Secret Service's Unlock would
// ask the user in a prompt.
void unlockLoginCollection() {
    GError* error = nullptr;
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, &error);
    ASSERT_TRUE(bus) << (error ? error->message : "");
    GVariant* opened = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
        "org.freedesktop.Secret.Service", "OpenSession",
        g_variant_new("(sv)", "plain", g_variant_new_string("")), G_VARIANT_TYPE("(vo)"),
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    ASSERT_TRUE(opened) << (error ? error->message : "");
    GVariant* output = nullptr;
    const char* session = nullptr;
    g_variant_get(opened, "(v&o)", &output, &session);
    GVariant* unlocked = g_dbus_connection_call_sync(
        bus, "org.freedesktop.secrets", "/org/freedesktop/secrets",
        "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface", "UnlockWithMasterPassword",
        g_variant_new("(o(o@ay@ays))", "/org/freedesktop/secrets/collection/login", session,
                      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "", 0, 1),
                      g_variant_new_fixed_array(G_VARIANT_TYPE_BYTE, "\n", 1, 1), "text/plain"),
        nullptr, G_DBUS_CALL_FLAGS_NONE, -1, nullptr, &error);
    EXPECT_TRUE(unlocked) << (error ? error->message : "");
    if (unlocked)
        g_variant_unref(unlocked);
    g_variant_unref(output);
    g_variant_unref(opened);
    g_object_unref(bus);
    if (error)
        g_error_free(error);
}

// Runs Qt's events until `done` or ten seconds.
bool runEventsUntil(const std::function<bool()>& done) {
    QDeadlineTimer deadline(10000);
    while (!done() && !deadline.hasExpired())
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
    return done();
}

} // namespace

// --- against a running gnome-keyring (run-with-keyring.sh) ---

TEST(DesktopKeychain, ATagHoldsOneKeyAndReadsAlwaysFindTheSameOne) {
    const std::string tag = "com.corvane.account.dpop.privatekey.one-per-tag";
    DesktopKeychain kc;
    auto first = kc.createRandomKey(softwareKey(tag));
    ASSERT_EQ(first.status, errSecSuccess);
    auto second = kc.createRandomKey(softwareKey(tag));
    ASSERT_EQ(second.status, errSecSuccess);
    EXPECT_EQ(keyItemsUnder(tag), 1u) << "the second key replaced the first";
    EXPECT_EQ(storedPoint(kc, tag), kc.externalRepresentation(*kc.copyPublicKey(*second.key)));

    // Keys that earlier versions left side by side under one tag: every launch reads the same
    // one, the oldest (the first stored here, whose label also sorts first).
    const std::string legacy = "com.corvane.account.dpop.privatekey.legacy";
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> older(EVP_EC_gen("P-256"), EVP_PKEY_free);
    std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)> newer(EVP_EC_gen("P-256"), EVP_PKEY_free);
    storeLegacyKey(legacy, std::string(64, '0'), older.get());
    storeLegacyKey(legacy, std::string(64, 'f'), newer.get());
    ASSERT_EQ(keyItemsUnder(legacy), 2u);
    for (int launch = 0; launch < 5; ++launch) {
        DesktopKeychain next;
        EXPECT_EQ(storedPoint(next, legacy), pointOf(older.get())) << launch;
    }
    // Creating under that tag leaves one key.
    ASSERT_EQ(kc.createRandomKey(softwareKey(legacy)).status, errSecSuccess);
    EXPECT_EQ(keyItemsUnder(legacy), 1u);
}

TEST(DesktopKeychain, TheDPoPKeyKeepsItsThumbprintAcrossLaunches) {
    KeyringHost host;
    const std::string tag = corvane::DPoPSigner::keyTag();
    std::string thumbprint;
    {
        corvane::DPoPSigner first;
        EXPECT_EQ(first.backendKind(), corvane::DPoPSigner::BackendKind::softwareKeychain);
        thumbprint = first.jktThumbprint();
    }
    for (int launch = 0; launch < 3; ++launch) {
        KeyringHost next;
        corvane::DPoPSigner again;
        EXPECT_EQ(again.jktThumbprint(), thumbprint) << launch;
        EXPECT_EQ(again.backendKind(), corvane::DPoPSigner::BackendKind::softwareKeychain);
    }
    EXPECT_EQ(keyItemsUnder(tag), 1u);
}

// --- a keyring locked at login (its own run of run-with-keyring.sh: it stays locked) ---

TEST(DesktopKeychainLocked, ALockedKeyringReadsAsLockedAndGetsNoSecondKey) {
    KeyringHost host;
    const std::string tag = corvane::DPoPSigner::keyTag();
    std::string thumbprint;
    {
        corvane::DPoPSigner first;
        ASSERT_EQ(first.backendKind(), corvane::DPoPSigner::BackendKind::softwareKeychain);
        thumbprint = first.jktThumbprint();
    }
    lockDefaultCollection();

    EXPECT_EQ(host.desktopKeychain.copyPrivateKey(tag).status, errSecInteractionNotAllowed)
        << "locked is not \"not found\"";
    auto item = host.desktopKeychain.copyGenericPassword(query("absent"));
    EXPECT_EQ(item.status, errSecItemNotFound) << "nothing matches, locked or not";

    corvane::DPoPSigner whileLocked;
    EXPECT_EQ(whileLocked.backendKind(), corvane::DPoPSigner::BackendKind::ephemeralCryptoKit);
    EXPECT_NE(whileLocked.jktThumbprint(), thumbprint);
    EXPECT_EQ(keyItemsUnder(tag), 1u) << "no key was added while locked";
}

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

    // The DPoP signer makes do with an in-memory key and stores none.
    KeyringHost host;
    corvane::DPoPSigner signer;
    EXPECT_EQ(signer.backendKind(), corvane::DPoPSigner::BackendKind::ephemeralCryptoKit);
}

// Signatures from several threads at once with one key (the library signs from its own thread
// while the host may sign too) all verify: the key's prepared signing context is used by one
// signature at a time.
TEST(DesktopKeychain, OneKeySignsFromSeveralThreadsAtOnce) {
    const std::string tag = "com.corvane.account.dpop.privatekey.threads";
    DesktopKeychain kc;
    auto created = kc.createRandomKey(softwareKey(tag));
    ASSERT_EQ(created.status, errSecSuccess);
    const auto point = storedPoint(kc, tag);
    ASSERT_TRUE(point);
    std::atomic<int> verified{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                const auto message = bytes("proof " + std::to_string(t) + "." + std::to_string(i));
                const auto signature = kc.sign(*created.key, message);
                if (signature.status == errSecSuccess &&
                    verifyWithPoint(*point, message, signature.signature))
                    ++verified;
            }
        });
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(verified.load(), 800);
}

// --- the login keyring locked and unlocked (a keyring of its own) ---

// Locking is no unlock; each unlock is told once, although the service announces it twice (the
// collection's properties and the service's CollectionChanged); after it the items read again.
TEST(DesktopKeyringUnlock, EachUnlockOfTheLoginKeyringIsToldOnceAndItsItemsReadAgain) {
    int argc = 1;
    char name[] = "desktop_keychain_tests";
    char* argv[] = {name, nullptr};
    QCoreApplication app(argc, argv);
    DesktopKeychain kc;
    ASSERT_EQ(kc.addGenericPassword(query("unlock"), bytes("kept")), errSecSuccess);

    int unlocks = 0;
    desktop::KeyringUnlockWatcher watcher([&] { ++unlocks; });
    ASSERT_TRUE(runEventsUntil([&] { return watcher.locked() == false; }));
    for (int round = 1; round <= 2; ++round) {
        lockDefaultCollection();
        // Its answer comes after the signals of the lock and of the unlock before it.
        ASSERT_TRUE(runEventsUntil([&] { return watcher.locked() == true; }));
        EXPECT_EQ(unlocks, round - 1);
        EXPECT_EQ(kc.copyGenericPassword(query("unlock")).status, errSecInteractionNotAllowed);

        unlockLoginCollection();
        ASSERT_TRUE(runEventsUntil([&] { return unlocks == round; }));
        EXPECT_EQ(kc.copyGenericPassword(query("unlock")).data, bytes("kept"));
    }
    lockDefaultCollection();
    ASSERT_TRUE(runEventsUntil([&] { return watcher.locked() == true; }));
    EXPECT_EQ(unlocks, 2);
}
