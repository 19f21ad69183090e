// The Keychain: generic-password items and P-256 key items, reporting the real status codes.
// Implemented by Sim (in memory, real OpenSSL keys) and Desktop (Secret Service via libsecret).
// Any thread: every implementation serialises access itself.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecUnimplemented = -4;
inline constexpr OSStatus errSecParam = -50;
inline constexpr OSStatus errSecAllocate = -108;
inline constexpr OSStatus errSecUserCanceled = -128;
inline constexpr OSStatus errSecNotAvailable = -25291;
inline constexpr OSStatus errSecAuthFailed = -25293;
inline constexpr OSStatus errSecDuplicateItem = -25299;
inline constexpr OSStatus errSecItemNotFound = -25300;
inline constexpr OSStatus errSecInteractionNotAllowed = -25308;
inline constexpr OSStatus errSecDecode = -26275;
inline constexpr OSStatus errSecMissingEntitlement = -34018;

using KeychainBytes = std::vector<std::uint8_t>;

// kSecAttrAccessible: when an item can be read.
enum class KeychainAccessibility {
    whenUnlocked,
    whenUnlockedThisDeviceOnly,
    afterFirstUnlock,
    afterFirstUnlockThisDeviceOnly,
};

// A generic-password item is identified by service, account and access group (an absent group
// means the default one). The accessibility class is stored with the item on add and update.
struct GenericPasswordQuery {
    std::string service;
    std::string account;
    KeychainAccessibility accessible = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    std::optional<std::string> accessGroup;

    bool operator==(const GenericPasswordQuery&) const = default;
};

// Result of copy-matching one item with its data. A success status with no data stands for a
// result that is not bytes.
struct KeychainCopyResult {
    OSStatus status = errSecItemNotFound;
    std::optional<KeychainBytes> data;
};

// kSecAccessControlCreateFlags, as far as they are used.
enum class AccessControlFlags : std::uint32_t {
    none = 0,
    privateKeyUsage = 1u << 30,
};

// A SecAccessControl: accessibility plus flags.
struct AccessControl {
    KeychainAccessibility accessibility = KeychainAccessibility::afterFirstUnlockThisDeviceOnly;
    AccessControlFlags flags = AccessControlFlags::none;

    bool operator==(const AccessControl&) const = default;
};

// kSecAttrTokenID values.
enum class KeyTokenID { secureEnclave };

// Attributes of a new random key: always elliptic-curve (random prime), P-256.
struct KeyAttributes {
    int keySizeInBits = 256;
    // Set: the key is made on that token (the Secure Enclave).
    std::optional<KeyTokenID> tokenID;
    // kSecPrivateKeyAttrs.
    bool permanent = true;
    std::string applicationTag;
    std::optional<AccessControl> accessControl;
};

enum class KeyClass { privateKey, publicKey };

// A SecKey: an opaque reference to a key held by the Keychain implementation that made it.
class KeyRef {
public:
    virtual ~KeyRef() = default;
    virtual KeyClass keyClass() const = 0;
};

struct KeyResult {
    OSStatus status = errSecItemNotFound;
    std::shared_ptr<KeyRef> key; // set exactly when status is errSecSuccess
};

struct SignatureResult {
    OSStatus status = errSecParam;
    KeychainBytes signature; // DER ECDSA-Sig-Value when status is errSecSuccess
};

class Keychain {
public:
    virtual ~Keychain() = default;

    // --- generic-password items ---
    // SecItemAdd: errSecDuplicateItem when the item exists.
    virtual OSStatus addGenericPassword(const GenericPasswordQuery& query,
                                        const KeychainBytes& data) = 0;
    // SecItemUpdate of the data: errSecItemNotFound when the item does not exist.
    virtual OSStatus updateGenericPassword(const GenericPasswordQuery& query,
                                           const KeychainBytes& data) = 0;
    // SecItemCopyMatching with kSecReturnData and kSecMatchLimitOne.
    virtual KeychainCopyResult copyGenericPassword(const GenericPasswordQuery& query) = 0;
    // SecItemDelete: errSecItemNotFound when the item does not exist.
    virtual OSStatus deleteGenericPassword(const GenericPasswordQuery& query) = 0;

    // --- key items ---
    // SecAccessControlCreateWithFlags; nullopt when the system cannot make one.
    virtual std::optional<AccessControl> createAccessControl(KeychainAccessibility accessibility,
                                                             AccessControlFlags flags) = 0;
    // SecKeyCreateRandomKey: a new P-256 private key, stored under its tag when permanent. A tag
    // holds at most one key: a new permanent key replaces the one stored under its tag.
    virtual KeyResult createRandomKey(const KeyAttributes& attributes) = 0;
    // SecItemCopyMatching for one private EC key with this application tag, returning a ref.
    // errSecItemNotFound only when the tag holds no key; the same key on every call.
    virtual KeyResult copyPrivateKey(const std::string& applicationTag) = 0;
    // SecKeyCopyPublicKey: nullptr when it cannot be derived.
    virtual std::shared_ptr<KeyRef> copyPublicKey(const KeyRef& key) = 0;
    // SecKeyCopyExternalRepresentation of a public key: 0x04 || X || Y (65 bytes), or nullopt.
    virtual std::optional<KeychainBytes> externalRepresentation(const KeyRef& publicKey) = 0;
    // SecKeyCreateSignature with ecdsaSignatureMessageX962SHA256: hashes `message` itself.
    virtual SignatureResult sign(const KeyRef& privateKey, const KeychainBytes& message) = 0;
};

} // namespace platform
