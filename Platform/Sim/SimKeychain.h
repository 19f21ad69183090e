// The simulated Keychain: items and keys in memory (real OpenSSL P-256 keys), a Secure Enclave
// that can be present or absent, failures injected per operation, and a record of every call.
// Owned by SimHost and kept across relaunch(); any thread (one mutex).
#pragma once

#include "Platform/Keychain.h"

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace platform::sim {

enum class KeychainOperation {
    add,
    update,
    copy,
    remove,
    createAccessControl,
    createRandomKey,
    copyPrivateKey,
    copyPublicKey,
    externalRepresentation,
    sign,
};

class SimKeychain final : public Keychain {
public:
    SimKeychain();
    ~SimKeychain() override;

    OSStatus addGenericPassword(const GenericPasswordQuery& query,
                                const KeychainBytes& data) override;
    OSStatus updateGenericPassword(const GenericPasswordQuery& query,
                                   const KeychainBytes& data) override;
    KeychainCopyResult copyGenericPassword(const GenericPasswordQuery& query) override;
    OSStatus deleteGenericPassword(const GenericPasswordQuery& query) override;

    std::optional<AccessControl> createAccessControl(KeychainAccessibility accessibility,
                                                     AccessControlFlags flags) override;
    KeyResult createRandomKey(const KeyAttributes& attributes) override;
    KeyResult copyPrivateKey(const std::string& applicationTag) override;
    std::shared_ptr<KeyRef> copyPublicKey(const KeyRef& key) override;
    std::optional<KeychainBytes> externalRepresentation(const KeyRef& publicKey) override;
    SignatureResult sign(const KeyRef& privateKey, const KeychainBytes& message) override;

    // --- test side ---

    // One call as the Keychain saw it: the item query, or the key tag for key operations.
    struct Call {
        KeychainOperation operation;
        std::optional<GenericPasswordQuery> query;
        std::optional<std::string> applicationTag;
    };
    std::vector<Call> calls() const;
    // The item queries of all generic-password calls, in order.
    std::vector<GenericPasswordQuery> itemQueries() const;
    void clearCalls();

    // Makes every later call of `operation` fail with `status` until cleared. Operations that
    // report no status (access control, public key, external representation) fail by
    // returning nothing.
    void setFailure(KeychainOperation operation, OSStatus status);
    void clearFailure(KeychainOperation operation);
    void clearFailures();
    // Makes copy-matching succeed with a result that is not bytes.
    void setCopyReturnsNonData(bool on);

    // Whether the Secure Enclave token exists (default: present).
    void setSecureEnclavePresent(bool present);

    // Items, read and written behind the program's back.
    std::optional<KeychainBytes>
    item(const std::string& service, const std::string& account,
         const std::optional<std::string>& accessGroup = std::nullopt) const;
    std::optional<KeychainAccessibility>
    itemAccessibility(const std::string& service, const std::string& account,
                      const std::optional<std::string>& accessGroup = std::nullopt) const;
    void setItem(const std::string& service, const std::string& account, KeychainBytes data,
                 const std::optional<std::string>& accessGroup = std::nullopt);
    std::size_t itemCount() const;
    void removeAllItems();

    // Permanent keys stored under a tag.
    std::size_t keyCount(const std::string& applicationTag) const;
    // Whether the first key under the tag lives on the Secure Enclave; nullopt without a key.
    std::optional<bool> keyIsOnSecureEnclave(const std::string& applicationTag) const;
    void removeKeys(const std::string& applicationTag);

private:
    struct Item {
        KeychainBytes data;
        KeychainAccessibility accessible;
    };
    using ItemKey = std::tuple<std::string, std::string, std::optional<std::string>>;
    class Key;

    static ItemKey itemKey(const GenericPasswordQuery& q) {
        return {q.service, q.account, q.accessGroup};
    }
    void record(KeychainOperation op, const GenericPasswordQuery* query,
                const std::string* tag) const;
    std::optional<OSStatus> failure(KeychainOperation op) const;

    mutable std::mutex mutex_;
    std::map<ItemKey, Item> items_;
    std::map<std::string, std::vector<std::shared_ptr<Key>>> keys_;
    std::map<KeychainOperation, OSStatus> failures_;
    bool copyReturnsNonData_ = false;
    bool secureEnclavePresent_ = true;
    mutable std::vector<Call> calls_;
};

} // namespace platform::sim
