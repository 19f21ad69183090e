#include "Platform/Sim/SimFacilities.h"

#include "Platform/Sim/SimHost.h"

#include <algorithm>

namespace platform::sim {

// --- SimWindowList ---

Rect SimWindowList::toDisplayCoordinates(Rect cocoa) const {
    auto main = host_.screens().mainScreen();
    const double height = main ? main->frame.height() : 0;
    return makeRect(cocoa.origin.x, height - (cocoa.origin.y + cocoa.size.height), cocoa.size.width,
                    cocoa.size.height);
}

std::shared_ptr<const Value> SimWindowList::copyWindowInfo(std::uint32_t, std::uint32_t) {
    ++copyCount;
    if (replacement)
        return *replacement;
    Array entries;
    auto entry = [&](std::int64_t layer, Rect cocoa, std::int32_t pid, const std::string& owner,
                     std::uint32_t number) {
        entries.push_back(
            Dictionary{{windowinfo::layer, layer},
                       {windowinfo::bounds, dictionaryFromRect(toDisplayCoordinates(cocoa))},
                       {windowinfo::ownerPID, static_cast<std::int64_t>(pid)},
                       {windowinfo::ownerName, owner},
                       {windowinfo::number, static_cast<std::int64_t>(number)}});
    };
    for (auto& item : host_.simStatusBar().itemsFromEdge()) {
        auto window = host_.simStatusBar().windowOf(item);
        if (!window)
            continue;
        if (auto owner = host_.simStatusBar().ownerOf(item))
            entry(statusWindowLevel, window->frame(), owner->ownerPID, owner->ownerName,
                  window->windowNumber());
        else
            entry(statusWindowLevel, window->frame(), host_.processInfo().processIdentifier,
                  "Quillet", window->windowNumber());
    }
    for (auto& window : host_.application().windows())
        entry(window->attributes().level, window->frame(), host_.processInfo().processIdentifier,
              "Quillet", window->windowNumber());
    for (auto& v : injectedEntries)
        entries.push_back(v);
    return std::make_shared<const Value>(std::move(entries));
}

std::vector<Rect> SimWindowList::currentDisplays() const {
    if (displays)
        return *displays;
    std::vector<Rect> out;
    for (auto& s : host_.screens().screens())
        out.push_back(toDisplayCoordinates(s.frame));
    return out;
}

std::int32_t SimWindowList::getActiveDisplayList(std::uint32_t capacity, DisplayID* ids,
                                                 std::uint32_t* count) {
    if (displayError != 0)
        return displayError;
    auto all = currentDisplays();
    if (capacity == 0 || !ids) {
        if (count)
            *count = static_cast<std::uint32_t>(all.size());
        return 0;
    }
    std::uint32_t n = std::min<std::uint32_t>(capacity, static_cast<std::uint32_t>(all.size()));
    for (std::uint32_t i = 0; i < n; ++i)
        ids[i] = i + 1;
    if (count)
        *count = n;
    return 0;
}

Rect SimWindowList::displayBounds(DisplayID display) {
    auto all = currentDisplays();
    if (display == 0 || display > all.size())
        return Rect{};
    return all[display - 1];
}

// --- SimLoginItemService ---

std::optional<LoginItemError> SimLoginItemService::registerItem() {
    ++registerCount;
    if (failNext) {
        LoginItemError e{*failNext};
        failNext.reset();
        return e;
    }
    if (requiresApproval) {
        status_ = LoginItemStatus::requiresApproval;
        return LoginItemError{"Operation not permitted"};
    }
    status_ = LoginItemStatus::enabled;
    return std::nullopt;
}

std::optional<LoginItemError> SimLoginItemService::unregisterItem() {
    ++unregisterCount;
    if (failNext) {
        LoginItemError e{*failNext};
        failNext.reset();
        return e;
    }
    status_ = LoginItemStatus::notRegistered;
    return std::nullopt;
}

// --- SimUpdater ---

struct SimUpdater::Observer final : Observation {
    std::weak_ptr<bool> alive;
    SimUpdater* updater = nullptr;
    int id = 0;
    ~Observer() override {
        if (!alive.expired())
            updater->observers_.erase(id);
    }
};

std::unique_ptr<Observation>
SimUpdater::observeCanCheckForUpdates(std::function<void(bool)> handler, bool initial) {
    auto obs = std::make_unique<Observer>();
    obs->alive = alive_;
    obs->updater = this;
    obs->id = nextObserver_++;
    observers_[obs->id] = handler;
    if (initial)
        handler(canCheck_);
    return obs;
}

void SimUpdater::setCanCheckForUpdates(bool value) {
    canCheck_ = value;
    auto snapshot = observers_;
    for (auto& [id, handler] : snapshot)
        handler(value);
}

void SimUpdater::checkForUpdates() {
    ++checkCount;
    cycleRunning = true;
    setCanCheckForUpdates(false);
}

void SimUpdater::finishCycle(std::optional<std::string> error) {
    cycleRunning = false;
    setCanCheckForUpdates(true);
    if (auto d = delegate_.lock())
        d->didFinishUpdateCycle(error);
}

std::shared_ptr<Updater>
SimUpdaterFramework::startStandardUpdater(std::weak_ptr<UpdaterDelegate> delegate) {
    ++startCount;
    updater_ = std::make_shared<SimUpdater>(std::move(delegate));
    return updater_;
}

} // namespace platform::sim
