// The simulated window list, login item and update framework.
#pragma once

#include "Platform/LoginItemService.h"
#include "Platform/UpdaterFramework.h"
#include "Platform/WindowList.h"

#include <map>
#include <memory>
#include <optional>
#include <vector>

namespace platform::sim {

class SimHost;

// The window list comes from the status bar (this process's items and other applications')
// and this application's windows; tests can add arbitrary entries, replace the whole list, and
// replace or break the display list.
class SimWindowList final : public WindowList {
public:
    explicit SimWindowList(SimHost& host) : host_(host) {}

    std::shared_ptr<const Value> copyWindowInfo(std::uint32_t option,
                                                std::uint32_t relativeTo) override;
    std::int32_t getActiveDisplayList(std::uint32_t capacity, DisplayID* displays,
                                      std::uint32_t* count) override;
    Rect displayBounds(DisplayID display) override;

    // Converts a Cocoa frame to global display coordinates (top left of the main screen).
    Rect toDisplayCoordinates(Rect cocoa) const;

    // --- test side ---
    std::vector<Value> injectedEntries;
    // When set, the whole window list (a null one: the call fails).
    std::optional<std::shared_ptr<const Value>> replacement;
    // When set, the displays reported instead of the screens'.
    std::optional<std::vector<Rect>> displays;
    // Non-zero: the display-list call fails with this error.
    std::int32_t displayError = 0;
    int copyCount = 0;

private:
    std::vector<Rect> currentDisplays() const;
    SimHost& host_;
};

class SimLoginItemService final : public LoginItemService {
public:
    LoginItemStatus status() override { return status_; }
    std::optional<LoginItemError> registerItem() override;
    std::optional<LoginItemError> unregisterItem() override;

    // --- test side ---
    // Registration needs the user's approval in System Settings.
    bool requiresApproval = false;
    // The next register or unregister fails with this description.
    std::optional<std::string> failNext;
    void setStatus(LoginItemStatus s) { status_ = s; }
    int registerCount = 0;
    int unregisterCount = 0;

private:
    LoginItemStatus status_ = LoginItemStatus::notRegistered;
};

class SimUpdater final : public Updater {
public:
    explicit SimUpdater(std::weak_ptr<UpdaterDelegate> delegate) : delegate_(std::move(delegate)) {}

    bool canCheckForUpdates() const override { return canCheck_; }
    std::unique_ptr<Observation> observeCanCheckForUpdates(std::function<void(bool)> handler,
                                                           bool initial) override;
    void checkForUpdates() override;

    // --- test side ---
    void setCanCheckForUpdates(bool value);
    // Ends the running update cycle, as the framework would after its dialogs.
    void finishCycle(std::optional<std::string> error = std::nullopt);
    std::shared_ptr<UpdaterDelegate> delegate() const { return delegate_.lock(); }
    int checkCount = 0;
    bool cycleRunning = false;

private:
    struct Observer;
    std::weak_ptr<UpdaterDelegate> delegate_;
    bool canCheck_ = true;
    std::map<int, std::function<void(bool)>> observers_;
    int nextObserver_ = 0;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

class SimUpdaterFramework final : public UpdaterFramework {
public:
    std::shared_ptr<Updater> startStandardUpdater(std::weak_ptr<UpdaterDelegate> delegate) override;
    // The updater of the last start, if any.
    std::shared_ptr<SimUpdater> updater() const { return updater_; }
    int startCount = 0;
    void reset() {
        updater_.reset();
        startCount = 0;
    }

private:
    std::shared_ptr<SimUpdater> updater_;
};

} // namespace platform::sim
