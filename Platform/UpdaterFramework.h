// The software-update framework: a standard updater controller started with a delegate, an
// observable "can check for updates" flag, user-started checks, and the delegate's channel and
// end-of-cycle calls. Implemented by Sim (scripted) and Desktop (appcast over HTTP). Delegate
// calls arrive on the main thread; the flag's observer may be called on any thread.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace platform {

class UpdaterDelegate {
public:
    virtual ~UpdaterDelegate() = default;
    // Channels besides the default one that updates may come from.
    virtual std::set<std::string> allowedChannels() = 0;
    // The update cycle ended (with an error description when it failed).
    virtual void didFinishUpdateCycle(const std::optional<std::string>& error) = 0;
};

// Keeps an observation alive; destroying it stops the observation.
class Observation {
public:
    virtual ~Observation() = default;
};

class Updater {
public:
    virtual ~Updater() = default;
    virtual bool canCheckForUpdates() const = 0;
    // Calls `handler` with the flag at every change, and once at once when `initial`.
    virtual std::unique_ptr<Observation>
    observeCanCheckForUpdates(std::function<void(bool)> handler, bool initial) = 0;
    // A user-started check with the framework's own interface.
    virtual void checkForUpdates() = 0;
};

class UpdaterFramework {
public:
    virtual ~UpdaterFramework() = default;
    // The standard updater controller, its updater started at once. The delegate is held weakly.
    virtual std::shared_ptr<Updater>
    startStandardUpdater(std::weak_ptr<UpdaterDelegate> delegate) = 0;
};

} // namespace platform
