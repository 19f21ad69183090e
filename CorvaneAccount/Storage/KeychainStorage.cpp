#include "CorvaneAccount/Storage/KeychainStorage.h"

#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "Platform/Host.h"

namespace corvane {

KeychainStorage::KeychainStorage(const std::string& appSlug, std::optional<std::string> accessGroup)
    : service_(std::string(servicePrefix) + ".account." + appSlug),
      accessGroup_(std::move(accessGroup)) {}

platform::GenericPasswordQuery KeychainStorage::query(const std::string& key) const {
    return {service_, key, platform::KeychainAccessibility::afterFirstUnlockThisDeviceOnly,
            accessGroup_};
}

void KeychainStorage::setData(const Data& data, const std::string& key) {
    auto& keychain = platform::host().keychain();
    const auto q = query(key);
    // Update in place so that a rewrite never leaves two items; add only when there is none.
    platform::OSStatus status = keychain.updateGenericPassword(q, data);
    if (status == platform::errSecItemNotFound)
        status = keychain.addGenericPassword(q, data);
    if (status != platform::errSecSuccess)
        throw CorvaneError::keychainFailure(status);
}

Data KeychainStorage::readData(const std::string& key) const {
    auto result = platform::host().keychain().copyGenericPassword(query(key));
    if (result.status != platform::errSecSuccess)
        throw CorvaneError::keychainFailure(result.status);
    if (!result.data)
        throw CorvaneError::malformedResponse("keychain." + key);
    return std::move(*result.data);
}

std::optional<Data> KeychainStorage::getData(const std::string& key) {
    try {
        return readData(key);
    } catch (const CorvaneError&) {
        return std::nullopt;
    }
}

void KeychainStorage::deleteData(const std::string& key) {
    // Absent and deleted are the same outcome; other failures are not the caller's concern.
    (void)platform::host().keychain().deleteGenericPassword(query(key));
}

} // namespace corvane
