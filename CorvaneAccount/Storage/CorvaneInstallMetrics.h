// The installation id and the first-open marker, kept beside the session in the Keychain.
// Every operation runs under one process-wide lock, so two first calls make one id.
#pragma once

#include "CorvaneAccount/Storage/CorvaneAccountDataStorage.h"

#include <memory>
#include <string>

namespace corvane {

struct CorvaneInstallMetrics {
    struct Keys {
        static constexpr const char* installID = "corvane_install_id";
        static constexpr const char* firstOpenFired = "corvane_first_open_fired";
    };

    // A KeychainStorage for `appSlug`, without access group.
    explicit CorvaneInstallMetrics(const std::string& appSlug);
    explicit CorvaneInstallMetrics(std::shared_ptr<CorvaneAccountDataStorage> storage);

    // The stored id when it is non-empty UTF-8 text; otherwise a new lowercase random UUID,
    // stored (a failed write is dropped) and returned.
    std::string installID() const;
    // True while the first-open marker is absent.
    bool shouldFireFirstOpen() const;
    // Writes the marker "1" when absent; true when the marker is in place afterwards.
    bool markFirstOpenFired() const;

    std::shared_ptr<CorvaneAccountDataStorage> storage;
};

} // namespace corvane
