// The Keychain on a Linux desktop: the Secret Service through libsecret. Items are keyed by
// service, account and access group; keys are kept as PKCS#8, at most one under a tag. There is
// no Secure Enclave. Any thread (one mutex); never falls back to a plain file.
#pragma once

#include "Platform/Keychain.h"

#include <mutex>

namespace desktop {

class DesktopKeychain final : public platform::Keychain {
public:
    DesktopKeychain();
    ~DesktopKeychain() override;

    platform::OSStatus addGenericPassword(const platform::GenericPasswordQuery& query,
                                          const platform::KeychainBytes& data) override;
    platform::OSStatus updateGenericPassword(const platform::GenericPasswordQuery& query,
                                             const platform::KeychainBytes& data) override;
    platform::KeychainCopyResult
    copyGenericPassword(const platform::GenericPasswordQuery& query) override;
    platform::OSStatus deleteGenericPassword(const platform::GenericPasswordQuery& query) override;

    std::optional<platform::AccessControl>
    createAccessControl(platform::KeychainAccessibility accessibility,
                        platform::AccessControlFlags flags) override;
    // Keys on the Secure Enclave token fail with errSecUnimplemented: callers take their
    // software path.
    platform::KeyResult createRandomKey(const platform::KeyAttributes& attributes) override;
    platform::KeyResult copyPrivateKey(const std::string& applicationTag) override;
    std::shared_ptr<platform::KeyRef> copyPublicKey(const platform::KeyRef& key) override;
    std::optional<platform::KeychainBytes>
    externalRepresentation(const platform::KeyRef& publicKey) override;
    platform::SignatureResult sign(const platform::KeyRef& privateKey,
                                   const platform::KeychainBytes& message) override;

private:
    // One add-or-update at a time, so "exists?" and "store" cannot interleave in this process.
    std::mutex mutex_;
};

} // namespace desktop
