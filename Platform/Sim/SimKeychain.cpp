#include "Platform/Sim/SimKeychain.h"

#include "Platform/EcdsaSigner.h"

#include <openssl/core_names.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <array>
#include <mutex>

namespace platform::sim {

namespace {
using PKey = std::shared_ptr<EVP_PKEY>;

PKey newP256Key() {
    EVP_PKEY* raw = EVP_EC_gen("P-256");
    if (!raw)
        return nullptr;
    return PKey(raw, EVP_PKEY_free);
}
} // namespace

// A key made by this Keychain: the OpenSSL key and which half of it the reference stands for.
class SimKeychain::Key final : public KeyRef {
public:
    Key(PKey pkey, KeyClass cls, bool onSecureEnclave, const SimKeychain* owner)
        : pkey(std::move(pkey)), cls(cls), onSecureEnclave(onSecureEnclave), owner(owner) {}
    KeyClass keyClass() const override { return cls; }

    PKey pkey;
    KeyClass cls;
    bool onSecureEnclave;
    const SimKeychain* owner;
    // Shared by the references to the same key.
    std::shared_ptr<platform::EcdsaSigner> signer = std::make_shared<platform::EcdsaSigner>();
};

SimKeychain::SimKeychain() = default;
SimKeychain::~SimKeychain() = default;

void SimKeychain::record(KeychainOperation op, const GenericPasswordQuery* query,
                         const std::string* tag) const {
    Call c{op, std::nullopt, std::nullopt};
    if (query)
        c.query = *query;
    if (tag)
        c.applicationTag = *tag;
    calls_.push_back(std::move(c));
}

std::optional<OSStatus> SimKeychain::failure(KeychainOperation op) const {
    auto it = failures_.find(op);
    if (it == failures_.end())
        return std::nullopt;
    return it->second;
}

// --- generic-password items ---

OSStatus SimKeychain::addGenericPassword(const GenericPasswordQuery& query,
                                         const KeychainBytes& data) {
    std::lock_guard lock(mutex_);
    record(KeychainOperation::add, &query, nullptr);
    if (auto f = failure(KeychainOperation::add))
        return *f;
    if (query.service.empty() && query.account.empty())
        return errSecParam;
    auto [it, inserted] = items_.try_emplace(itemKey(query), Item{data, query.accessible});
    return inserted ? errSecSuccess : errSecDuplicateItem;
}

OSStatus SimKeychain::updateGenericPassword(const GenericPasswordQuery& query,
                                            const KeychainBytes& data) {
    std::lock_guard lock(mutex_);
    record(KeychainOperation::update, &query, nullptr);
    if (auto f = failure(KeychainOperation::update))
        return *f;
    auto it = items_.find(itemKey(query));
    if (it == items_.end())
        return errSecItemNotFound;
    it->second = Item{data, query.accessible};
    return errSecSuccess;
}

KeychainCopyResult SimKeychain::copyGenericPassword(const GenericPasswordQuery& query) {
    std::lock_guard lock(mutex_);
    record(KeychainOperation::copy, &query, nullptr);
    if (auto f = failure(KeychainOperation::copy))
        return {*f, std::nullopt};
    auto it = items_.find(itemKey(query));
    if (it == items_.end())
        return {errSecItemNotFound, std::nullopt};
    if (copyReturnsNonData_)
        return {errSecSuccess, std::nullopt};
    return {errSecSuccess, it->second.data};
}

OSStatus SimKeychain::deleteGenericPassword(const GenericPasswordQuery& query) {
    std::lock_guard lock(mutex_);
    record(KeychainOperation::remove, &query, nullptr);
    if (auto f = failure(KeychainOperation::remove))
        return *f;
    return items_.erase(itemKey(query)) ? errSecSuccess : errSecItemNotFound;
}

// --- key items ---

std::optional<AccessControl> SimKeychain::createAccessControl(KeychainAccessibility accessibility,
                                                              AccessControlFlags flags) {
    std::lock_guard lock(mutex_);
    record(KeychainOperation::createAccessControl, nullptr, nullptr);
    if (failure(KeychainOperation::createAccessControl))
        return std::nullopt;
    return AccessControl{accessibility, flags};
}

KeyResult SimKeychain::createRandomKey(const KeyAttributes& attributes) {
    std::lock_guard lock(mutex_);
    record(KeychainOperation::createRandomKey, nullptr, &attributes.applicationTag);
    if (auto f = failure(KeychainOperation::createRandomKey))
        return {*f, nullptr};
    if (attributes.keySizeInBits != 256)
        return {errSecParam, nullptr};
    bool onSecureEnclave = attributes.tokenID == KeyTokenID::secureEnclave;
    if (onSecureEnclave) {
        if (!secureEnclavePresent_)
            return {errSecUnimplemented, nullptr};
        // The Secure Enclave only makes keys whose use is guarded by an access control with
        // the private-key-usage flag.
        if (!attributes.accessControl ||
            attributes.accessControl->flags != AccessControlFlags::privateKeyUsage)
            return {errSecParam, nullptr};
    }
    PKey pkey = newP256Key();
    if (!pkey)
        return {errSecAllocate, nullptr};
    auto key = std::make_shared<Key>(pkey, KeyClass::privateKey, onSecureEnclave, this);
    // A tag holds at most one key: a new permanent key replaces what the tag held.
    if (attributes.permanent)
        keys_[attributes.applicationTag] = {key};
    return {errSecSuccess, key};
}

KeyResult SimKeychain::copyPrivateKey(const std::string& applicationTag) {
    std::lock_guard lock(mutex_);
    record(KeychainOperation::copyPrivateKey, nullptr, &applicationTag);
    if (auto f = failure(KeychainOperation::copyPrivateKey))
        return {*f, nullptr};
    auto it = keys_.find(applicationTag);
    if (it == keys_.end() || it->second.empty())
        return {errSecItemNotFound, nullptr};
    return {errSecSuccess, it->second.front()};
}

std::shared_ptr<KeyRef> SimKeychain::copyPublicKey(const KeyRef& key) {
    std::lock_guard lock(mutex_);
    record(KeychainOperation::copyPublicKey, nullptr, nullptr);
    if (failure(KeychainOperation::copyPublicKey))
        return nullptr;
    auto* k = dynamic_cast<const Key*>(&key);
    if (!k || k->owner != this)
        return nullptr;
    return std::make_shared<Key>(k->pkey, KeyClass::publicKey, k->onSecureEnclave, this);
}

std::optional<KeychainBytes> SimKeychain::externalRepresentation(const KeyRef& publicKey) {
    std::lock_guard lock(mutex_);
    record(KeychainOperation::externalRepresentation, nullptr, nullptr);
    if (failure(KeychainOperation::externalRepresentation))
        return std::nullopt;
    auto* k = dynamic_cast<const Key*>(&publicKey);
    // Private keys of the Secure Enclave cannot be exported; public keys always can.
    if (!k || k->owner != this || k->cls != KeyClass::publicKey)
        return std::nullopt;
    KeychainBytes out(65);
    size_t len = 0;
    if (!EVP_PKEY_get_octet_string_param(k->pkey.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY,
                                         out.data(), out.size(), &len))
        return std::nullopt;
    out.resize(len);
    return out;
}

SignatureResult SimKeychain::sign(const KeyRef& privateKey, const KeychainBytes& message) {
    // Signatures are not listed among the calls: a long run makes one for every request, and
    // the list would grow without end.
    {
        std::lock_guard lock(mutex_);
        if (auto f = failure(KeychainOperation::sign))
            return {*f, {}};
    }
    auto* k = dynamic_cast<const Key*>(&privateKey);
    if (!k || k->owner != this || k->cls != KeyClass::privateKey)
        return {errSecParam, {}};
    auto signature = k->signer->sign(k->pkey.get(), message);
    if (!signature)
        return {errSecParam, {}};
    return {errSecSuccess, std::move(*signature)};
}

// --- test side ---

std::vector<SimKeychain::Call> SimKeychain::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<GenericPasswordQuery> SimKeychain::itemQueries() const {
    std::lock_guard lock(mutex_);
    std::vector<GenericPasswordQuery> out;
    for (auto& c : calls_)
        if (c.query)
            out.push_back(*c.query);
    return out;
}

void SimKeychain::clearCalls() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

void SimKeychain::setFailure(KeychainOperation operation, OSStatus status) {
    std::lock_guard lock(mutex_);
    failures_[operation] = status;
}

void SimKeychain::clearFailure(KeychainOperation operation) {
    std::lock_guard lock(mutex_);
    failures_.erase(operation);
}

void SimKeychain::clearFailures() {
    std::lock_guard lock(mutex_);
    failures_.clear();
    copyReturnsNonData_ = false;
}

void SimKeychain::setCopyReturnsNonData(bool on) {
    std::lock_guard lock(mutex_);
    copyReturnsNonData_ = on;
}

void SimKeychain::setSecureEnclavePresent(bool present) {
    std::lock_guard lock(mutex_);
    secureEnclavePresent_ = present;
}

std::optional<KeychainBytes>
SimKeychain::item(const std::string& service, const std::string& account,
                  const std::optional<std::string>& accessGroup) const {
    std::lock_guard lock(mutex_);
    auto it = items_.find({service, account, accessGroup});
    if (it == items_.end())
        return std::nullopt;
    return it->second.data;
}

std::optional<KeychainAccessibility>
SimKeychain::itemAccessibility(const std::string& service, const std::string& account,
                               const std::optional<std::string>& accessGroup) const {
    std::lock_guard lock(mutex_);
    auto it = items_.find({service, account, accessGroup});
    if (it == items_.end())
        return std::nullopt;
    return it->second.accessible;
}

void SimKeychain::setItem(const std::string& service, const std::string& account,
                          KeychainBytes data, const std::optional<std::string>& accessGroup) {
    std::lock_guard lock(mutex_);
    items_[{service, account, accessGroup}] =
        Item{std::move(data), KeychainAccessibility::afterFirstUnlockThisDeviceOnly};
}

std::size_t SimKeychain::itemCount() const {
    std::lock_guard lock(mutex_);
    return items_.size();
}

void SimKeychain::removeAllItems() {
    std::lock_guard lock(mutex_);
    items_.clear();
}

std::size_t SimKeychain::keyCount(const std::string& applicationTag) const {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(applicationTag);
    return it == keys_.end() ? 0 : it->second.size();
}

std::optional<bool> SimKeychain::keyIsOnSecureEnclave(const std::string& applicationTag) const {
    std::lock_guard lock(mutex_);
    auto it = keys_.find(applicationTag);
    if (it == keys_.end() || it->second.empty())
        return std::nullopt;
    return it->second.front()->onSecureEnclave;
}

void SimKeychain::removeKeys(const std::string& applicationTag) {
    std::lock_guard lock(mutex_);
    keys_.erase(applicationTag);
}

} // namespace platform::sim
