// The library's items in the Keychain: generic passwords under the service
// "com.corvane.account.<appSlug>", named by their key, readable after first unlock and never
// leaving the device. Holds no mutable state: any thread.
#pragma once

#include "CorvaneAccount/Storage/CorvaneAccountDataStorage.h"
#include "Platform/Keychain.h"

#include <optional>
#include <string>
#include <string_view>

namespace corvane {

class KeychainStorage final : public CorvaneAccountDataStorage {
public:
    // The maker's reverse-DNS prefix of every Keychain name of the library.
    static constexpr std::string_view servicePrefix = "com.corvane";

    // Item names (the Keychain account attribute).
    struct Keys {
        static constexpr const char* session = "corvane_session";
        static constexpr const char* dpopJwkThumbprint = "corvane_dpop_jkt";
        static constexpr const char* oidcAuthState = "corvane_oidc_authstate";
        // Sessions a sign-out could not revoke, kept to be revoked later.
        static constexpr const char* pendingRevocations = "corvane_pending_revocations";
    };

    KeychainStorage(const std::string& appSlug, std::optional<std::string> accessGroup);

    const std::string& service() const { return service_; }
    const std::optional<std::string>& accessGroup() const { return accessGroup_; }

    // Update, else add when there is no item. Throws CorvaneError::keychainFailure(status).
    void setData(const Data& data, const std::string& key) override;
    std::optional<Data> getData(const std::string& key) override;
    void deleteData(const std::string& key) override;

    // The throwing read: keychainFailure(status) for any non-zero status (-25300 when absent),
    // malformedResponse("keychain.<key>") when the result is not bytes.
    Data readData(const std::string& key) const;

    // The base query of the item named `key`.
    platform::GenericPasswordQuery query(const std::string& key) const;

private:
    std::string service_;
    std::optional<std::string> accessGroup_;
};

} // namespace corvane
