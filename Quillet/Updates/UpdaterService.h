// Software updates: decides whether updating is configured, starts the update framework's
// standard updater, mirrors whether a check can start now, picks the channel from the
// early-access preference, and runs user-started checks with the application made regular.
#pragma once

#include "Platform/Application.h"
#include "Platform/Published.h"
#include "Platform/UpdaterFramework.h"

#include <memory>
#include <optional>
#include <set>
#include <string>

namespace quillet {

class UpdaterService : public platform::UpdaterDelegate,
                       public std::enable_shared_from_this<UpdaterService> {
public:
    static constexpr const char* betaEnabledKey = "quillet.updates.betaEnabled";
    static constexpr const char* forceCheckVariable = "QUILLET_FORCE_UPDATE_CHECK_ON_LAUNCH";
    static constexpr double forcedCheckDelay = 1.0;

    static std::shared_ptr<UpdaterService> create();
    ~UpdaterService() override;

    // Whether "Check for Updates…" is enabled; false for good without a configuration.
    const platform::Published<bool>& canCheckForUpdates() const { return canCheckForUpdates_; }
    bool isConfigured() const { return controller_ != nullptr; }

    // A user-started check.
    void checkForUpdates();

    // The framework's delegate.
    std::set<std::string> allowedChannels() override;
    void didFinishUpdateCycle(const std::optional<std::string>& error) override;

    // A feed and a real signing key (not a "REPLACE_" placeholder) in the info dictionary.
    static bool hasValidUpdateConfig();

private:
    UpdaterService() = default;
    void start();
    void forceInteractiveCheckOnLaunchIfNeeded();

    std::shared_ptr<platform::Updater> controller_;
    std::unique_ptr<platform::Observation> canCheckObservation_;
    platform::Published<bool> canCheckForUpdates_{false};
    std::optional<platform::ActivationPolicy> policyBeforeCheck_;
};

} // namespace quillet
