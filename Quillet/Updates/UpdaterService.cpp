#include "Quillet/Updates/UpdaterService.h"

#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/UserDefaults.h"

namespace quillet {

using platform::host;

namespace {

std::string trimmed(const std::string& s) {
    const char* space = " \t\n\r\v\f";
    auto first = s.find_first_not_of(space);
    if (first == std::string::npos)
        return {};
    auto last = s.find_last_not_of(space);
    return s.substr(first, last - first + 1);
}

std::string infoString(const char* key) {
    if (const auto* v = host().mainBundle().objectForInfoDictionaryKey(key))
        if (const auto* s = v->asString())
            return trimmed(*s);
    return {};
}

} // namespace

bool UpdaterService::hasValidUpdateConfig() {
    const auto feed = infoString("SUFeedURL");
    const auto key = infoString("SUPublicEDKey");
    return !feed.empty() && !key.empty() && key.rfind("REPLACE_", 0) != 0;
}

std::shared_ptr<UpdaterService> UpdaterService::create() {
    std::shared_ptr<UpdaterService> service(new UpdaterService());
    service->start();
    return service;
}

UpdaterService::~UpdaterService() = default;

void UpdaterService::start() {
    if (hasValidUpdateConfig()) {
        controller_ = host().updaterFramework().startStandardUpdater(
            std::static_pointer_cast<platform::UpdaterDelegate>(shared_from_this()));
        // The flag may change on any thread: hand each value to the main thread, which stores
        // it only when it differs.
        std::weak_ptr<UpdaterService> weak = weak_from_this();
        canCheckObservation_ = controller_->observeCanCheckForUpdates(
            [weak](bool value) {
                host().runLoop().post([weak, value] {
                    if (auto self = weak.lock(); self && self->canCheckForUpdates_.get() != value)
                        self->canCheckForUpdates_.set(value);
                });
            },
            /*initial=*/true);
    }
    forceInteractiveCheckOnLaunchIfNeeded();
}

void UpdaterService::forceInteractiveCheckOnLaunchIfNeeded() {
    const auto& env = host().processInfo().environment;
    auto it = env.find(forceCheckVariable);
    if (it == env.end() || it->second != "1")
        return;
    std::weak_ptr<UpdaterService> weak = weak_from_this();
    host().runLoop().scheduleTimer(forcedCheckDelay, [weak] {
        if (auto self = weak.lock())
            self->checkForUpdates();
    });
}

void UpdaterService::checkForUpdates() {
    if (!controller_)
        return;
    auto& app = host().application();
    // A second check before the first cycle ends keeps the first saved policy.
    if (!policyBeforeCheck_)
        policyBeforeCheck_ = app.activationPolicy();
    app.setActivationPolicy(platform::ActivationPolicy::regular);
    app.activate(true);
    controller_->checkForUpdates();
}

std::set<std::string> UpdaterService::allowedChannels() {
    // Read at every check, so the settings window's change applies to the next one.
    if (host().userDefaults().boolForKey(betaEnabledKey))
        return {"beta"};
    return {};
}

void UpdaterService::didFinishUpdateCycle(const std::optional<std::string>&) {
    if (policyBeforeCheck_) {
        host().application().setActivationPolicy(*policyBeforeCheck_);
        policyBeforeCheck_.reset();
    }
}

} // namespace quillet
