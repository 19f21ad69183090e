#include "Platform/Desktop/Services/DesktopKeychain.h"

#include "Platform/EcdsaSigner.h"

#include <libsecret/secret.h>
#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <openssl/x509.h>

#include <array>
#include <memory>
#include <string>
#include <utility>

namespace desktop {

using platform::KeychainBytes;
using platform::OSStatus;

namespace {

// Items of the program: the generic passwords and the private keys. The access group is
// always stored ("" for the default group) so that lookups match it exactly.
const SecretSchema* passwordSchema() {
    static const SecretSchema schema = {"org.quillet.Keychain.GenericPassword",
                                        SECRET_SCHEMA_NONE,
                                        {
                                            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {"access_group", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                        },
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    return &schema;
}

const SecretSchema* keySchema() {
    static const SecretSchema schema = {"org.quillet.Keychain.Key",
                                        SECRET_SCHEMA_NONE,
                                        {
                                            {"application_tag", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            // Hex SHA-256 of the public point, which names the key.
                                            {"application_label", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {"key_type", SECRET_SCHEMA_ATTRIBUTE_STRING},
                                            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
                                        },
                                        0,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr,
                                        nullptr};
    return &schema;
}

constexpr const char* kKeyType = "ec-p256";

struct GErrorDeleter {
    void operator()(GError* e) const { g_error_free(e); }
};
using ErrorPtr = std::unique_ptr<GError, GErrorDeleter>;

struct HashTableDeleter {
    void operator()(GHashTable* t) const { g_hash_table_unref(t); }
};
using Attributes = std::unique_ptr<GHashTable, HashTableDeleter>;

struct SecretValueDeleter {
    void operator()(SecretValue* v) const { secret_value_unref(v); }
};

// A failed call of the Secret Service: a locked collection is "interaction not allowed",
// anything else (no bus, no service, refused) "not available".
OSStatus statusFor(const GError* error) {
    if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED)
        return platform::errSecInteractionNotAllowed;
    return platform::errSecNotAvailable;
}

Attributes newAttributes() {
    return Attributes(g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free));
}

void put(GHashTable* t, const char* name, const std::string& value) {
    g_hash_table_insert(t, g_strdup(name), g_strdup(value.c_str()));
}

Attributes itemAttributes(const platform::GenericPasswordQuery& q) {
    auto a = newAttributes();
    put(a.get(), "service", q.service);
    put(a.get(), "account", q.account);
    put(a.get(), "access_group", q.accessGroup.value_or(""));
    return a;
}

struct ItemListDeleter {
    void operator()(GList* items) const { g_list_free_full(items, g_object_unref); }
};
using ItemList = std::unique_ptr<GList, ItemListDeleter>;

// The value of one attribute of a stored item; "" when it has none.
std::string attributeOf(SecretRetrievable* item, const char* name) {
    Attributes attributes(secret_retrievable_get_attributes(item));
    if (!attributes)
        return {};
    const auto* value = static_cast<const gchar*>(g_hash_table_lookup(attributes.get(), name));
    return value ? std::string(value) : std::string();
}

// Looks up the binary secret of the item matching `attributes`. When several match (keys that
// older versions stored side by side under one tag), the oldest is taken, then the smallest
// "application_label": the same item on every launch, whatever order the service lists them
// in. Items of a locked collection are found too, so that a locked keyring reads as locked
// ("interaction not allowed"), never as "not found".
struct Lookup {
    OSStatus status;
    std::optional<KeychainBytes> data;
};

Lookup lookup(const SecretSchema* schema, GHashTable* attributes) {
    GError* raw = nullptr;
    ItemList items(
        secret_password_searchv_sync(schema, attributes, SECRET_SEARCH_ALL, nullptr, &raw));
    ErrorPtr error(raw);
    if (error)
        return {statusFor(error.get()), std::nullopt};

    SecretRetrievable* chosen = nullptr;
    std::pair<guint64, std::string> chosenOrder;
    for (GList* entry = items.get(); entry; entry = entry->next) {
        auto* item = static_cast<SecretRetrievable*>(entry->data);
        std::pair<guint64, std::string> order{secret_retrievable_get_created(item),
                                              attributeOf(item, "application_label")};
        if (!chosen || order < chosenOrder) {
            chosen = item;
            chosenOrder = std::move(order);
        }
    }
    if (!chosen)
        return {platform::errSecItemNotFound, std::nullopt};

    std::unique_ptr<SecretValue, SecretValueDeleter> value(
        secret_retrievable_retrieve_secret_sync(chosen, nullptr, &raw));
    error.reset(raw);
    if (error)
        return {statusFor(error.get()), std::nullopt};
    // The item exists but its secret could not be read: it is locked.
    if (!value)
        return {platform::errSecInteractionNotAllowed, std::nullopt};
    gsize length = 0;
    const gchar* bytes = secret_value_get(value.get(), &length);
    const auto* begin = reinterpret_cast<const std::uint8_t*>(bytes);
    return {platform::errSecSuccess, KeychainBytes(begin, begin + length)};
}

// Storing goes to the default collection. When there is none yet, or it is locked, the Secret
// Service would ask the user (create or unlock a keyring) and the call would wait for that
// prompt for as long as it takes, freezing the caller. Such a store is refused at once as
// "interaction not allowed", as a locked Keychain refuses it.
OSStatus defaultCollectionStatus() {
    GError* raw = nullptr;
    SecretService* service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, &raw);
    if (raw) {
        ErrorPtr error(raw);
        return statusFor(error.get());
    }
    if (!service)
        return platform::errSecNotAvailable;
    SecretCollection* collection = secret_collection_for_alias_sync(
        service, SECRET_COLLECTION_DEFAULT, SECRET_COLLECTION_NONE, nullptr, &raw);
    g_object_unref(service);
    if (raw) {
        ErrorPtr error(raw);
        return statusFor(error.get());
    }
    if (!collection)
        return platform::errSecInteractionNotAllowed;
    const bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    return locked ? platform::errSecInteractionNotAllowed : platform::errSecSuccess;
}

OSStatus store(const SecretSchema* schema, GHashTable* attributes, const std::string& label,
               const KeychainBytes& data) {
    if (const OSStatus ready = defaultCollectionStatus(); ready != platform::errSecSuccess)
        return ready;
    // Binary secrets: libsecret copies the bytes; the content type keeps them from being
    // treated as text.
    std::unique_ptr<SecretValue, SecretValueDeleter> value(
        secret_value_new(reinterpret_cast<const gchar*>(data.data()),
                         static_cast<gssize>(data.size()), "application/octet-stream"));
    GError* raw = nullptr;
    const gboolean ok = secret_password_storev_binary_sync(
        schema, attributes, SECRET_COLLECTION_DEFAULT, label.c_str(), value.get(), nullptr, &raw);
    ErrorPtr error(raw);
    if (error)
        return statusFor(error.get());
    return ok ? platform::errSecSuccess : platform::errSecNotAvailable;
}

// --- OpenSSL keys ---

using PKey = std::shared_ptr<EVP_PKEY>;

class Key final : public platform::KeyRef {
public:
    Key(PKey pkey, platform::KeyClass cls) : pkey(std::move(pkey)), cls(cls) {}
    platform::KeyClass keyClass() const override { return cls; }
    PKey pkey;
    platform::KeyClass cls;
    std::shared_ptr<platform::EcdsaSigner> signer = std::make_shared<platform::EcdsaSigner>();
};

std::optional<KeychainBytes> encodedPoint(EVP_PKEY* pkey) {
    KeychainBytes out(65);
    size_t len = 0;
    if (!EVP_PKEY_get_octet_string_param(pkey, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, out.data(),
                                         out.size(), &len))
        return std::nullopt;
    out.resize(len);
    return out;
}

std::string hexSHA256(const KeychainBytes& bytes) {
    unsigned char digest[SHA256_DIGEST_LENGTH];
    SHA256(bytes.data(), bytes.size(), digest);
    static constexpr char hex[] = "0123456789abcdef";
    std::string s;
    for (unsigned char c : digest) {
        s += hex[c >> 4];
        s += hex[c & 0x0F];
    }
    return s;
}

std::optional<KeychainBytes> toPKCS8(EVP_PKEY* pkey) {
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(
        EVP_PKEY2PKCS8(pkey), PKCS8_PRIV_KEY_INFO_free);
    if (!info)
        return std::nullopt;
    unsigned char* der = nullptr;
    const int len = i2d_PKCS8_PRIV_KEY_INFO(info.get(), &der);
    if (len <= 0)
        return std::nullopt;
    KeychainBytes out(der, der + len);
    OPENSSL_clear_free(der, static_cast<size_t>(len));
    return out;
}

PKey fromPKCS8(const KeychainBytes& der) {
    const unsigned char* p = der.data();
    std::unique_ptr<PKCS8_PRIV_KEY_INFO, decltype(&PKCS8_PRIV_KEY_INFO_free)> info(
        d2i_PKCS8_PRIV_KEY_INFO(nullptr, &p, static_cast<long>(der.size())),
        PKCS8_PRIV_KEY_INFO_free);
    if (!info || p != der.data() + der.size())
        return nullptr;
    EVP_PKEY* pkey = EVP_PKCS82PKEY(info.get());
    if (!pkey)
        return nullptr;
    PKey key(pkey, EVP_PKEY_free);
    // Only P-256 keys are kept here; anything else under the tag is not ours to use.
    char group[64] = {};
    size_t groupLen = 0;
    if (!EVP_PKEY_is_a(pkey, "EC") ||
        !EVP_PKEY_get_utf8_string_param(pkey, OSSL_PKEY_PARAM_GROUP_NAME, group, sizeof group,
                                        &groupLen) ||
        std::string(group, groupLen) != "prime256v1")
        return nullptr;
    return key;
}

} // namespace

DesktopKeychain::DesktopKeychain() = default;
DesktopKeychain::~DesktopKeychain() = default;

// --- generic-password items ---

OSStatus DesktopKeychain::addGenericPassword(const platform::GenericPasswordQuery& query,
                                             const KeychainBytes& data) {
    std::lock_guard lock(mutex_);
    auto attributes = itemAttributes(query);
    const auto existing = lookup(passwordSchema(), attributes.get());
    if (existing.status == platform::errSecSuccess)
        return platform::errSecDuplicateItem;
    if (existing.status != platform::errSecItemNotFound)
        return existing.status;
    return store(passwordSchema(), attributes.get(), query.service + " " + query.account, data);
}

OSStatus DesktopKeychain::updateGenericPassword(const platform::GenericPasswordQuery& query,
                                                const KeychainBytes& data) {
    std::lock_guard lock(mutex_);
    auto attributes = itemAttributes(query);
    const auto existing = lookup(passwordSchema(), attributes.get());
    if (existing.status != platform::errSecSuccess)
        return existing.status;
    // Storing with the same attributes replaces the item's secret.
    return store(passwordSchema(), attributes.get(), query.service + " " + query.account, data);
}

platform::KeychainCopyResult
DesktopKeychain::copyGenericPassword(const platform::GenericPasswordQuery& query) {
    std::lock_guard lock(mutex_);
    auto attributes = itemAttributes(query);
    auto found = lookup(passwordSchema(), attributes.get());
    return {found.status, std::move(found.data)};
}

OSStatus DesktopKeychain::deleteGenericPassword(const platform::GenericPasswordQuery& query) {
    std::lock_guard lock(mutex_);
    auto attributes = itemAttributes(query);
    GError* raw = nullptr;
    const gboolean removed =
        secret_password_clearv_sync(passwordSchema(), attributes.get(), nullptr, &raw);
    ErrorPtr error(raw);
    if (error)
        return statusFor(error.get());
    return removed ? platform::errSecSuccess : platform::errSecItemNotFound;
}

// --- key items ---

std::optional<platform::AccessControl>
DesktopKeychain::createAccessControl(platform::KeychainAccessibility accessibility,
                                     platform::AccessControlFlags flags) {
    return platform::AccessControl{accessibility, flags};
}

platform::KeyResult DesktopKeychain::createRandomKey(const platform::KeyAttributes& attributes) {
    if (attributes.tokenID)
        return {platform::errSecUnimplemented, nullptr};
    if (attributes.keySizeInBits != 256)
        return {platform::errSecParam, nullptr};
    EVP_PKEY* raw = EVP_EC_gen("P-256");
    if (!raw)
        return {platform::errSecAllocate, nullptr};
    PKey pkey(raw, EVP_PKEY_free);
    if (attributes.permanent) {
        const auto point = encodedPoint(pkey.get());
        const auto der = toPKCS8(pkey.get());
        if (!point || !der)
            return {platform::errSecAllocate, nullptr};
        std::lock_guard lock(mutex_);
        // A tag holds at most one key: what it held goes first. When that fails (a locked or
        // unreachable keyring) nothing is stored.
        auto tagged = newAttributes();
        put(tagged.get(), "application_tag", attributes.applicationTag);
        put(tagged.get(), "key_type", kKeyType);
        GError* raw = nullptr;
        secret_password_clearv_sync(keySchema(), tagged.get(), nullptr, &raw);
        ErrorPtr error(raw);
        if (error)
            return {statusFor(error.get()), nullptr};
        auto a = newAttributes();
        put(a.get(), "application_tag", attributes.applicationTag);
        put(a.get(), "application_label", hexSHA256(*point));
        put(a.get(), "key_type", kKeyType);
        const OSStatus status = store(keySchema(), a.get(), attributes.applicationTag, *der);
        if (status != platform::errSecSuccess)
            return {status, nullptr};
    }
    return {platform::errSecSuccess, std::make_shared<Key>(pkey, platform::KeyClass::privateKey)};
}

platform::KeyResult DesktopKeychain::copyPrivateKey(const std::string& applicationTag) {
    Lookup found;
    {
        std::lock_guard lock(mutex_);
        auto a = newAttributes();
        put(a.get(), "application_tag", applicationTag);
        put(a.get(), "key_type", kKeyType);
        found = lookup(keySchema(), a.get());
    }
    if (found.status != platform::errSecSuccess)
        return {found.status, nullptr};
    PKey pkey = fromPKCS8(*found.data);
    OPENSSL_cleanse(found.data->data(), found.data->size());
    if (!pkey)
        return {platform::errSecDecode, nullptr};
    return {platform::errSecSuccess, std::make_shared<Key>(pkey, platform::KeyClass::privateKey)};
}

std::shared_ptr<platform::KeyRef> DesktopKeychain::copyPublicKey(const platform::KeyRef& key) {
    auto* k = dynamic_cast<const Key*>(&key);
    if (!k)
        return nullptr;
    return std::make_shared<Key>(k->pkey, platform::KeyClass::publicKey);
}

std::optional<KeychainBytes>
DesktopKeychain::externalRepresentation(const platform::KeyRef& publicKey) {
    auto* k = dynamic_cast<const Key*>(&publicKey);
    if (!k || k->cls != platform::KeyClass::publicKey)
        return std::nullopt;
    return encodedPoint(k->pkey.get());
}

platform::SignatureResult DesktopKeychain::sign(const platform::KeyRef& privateKey,
                                                const KeychainBytes& message) {
    auto* k = dynamic_cast<const Key*>(&privateKey);
    if (!k || k->cls != platform::KeyClass::privateKey)
        return {platform::errSecParam, {}};
    auto signature = k->signer->sign(k->pkey.get(), message);
    if (!signature)
        return {platform::errSecParam, {}};
    return {platform::errSecSuccess, std::move(*signature)};
}

} // namespace desktop
