#include "Platform/Desktop/StatusBar/ForeignItems.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Services/DesktopWorkspace.h"

#include "Platform/StatusBar.h"
#include "Platform/UserDefaults.h"

namespace desktop {

std::string distinctAutosaveName(const std::string& base, const std::set<std::string>& taken,
                                 const std::map<std::string, int>* nextCopy) {
    if (!taken.count(base))
        return base;
    int first = 2;
    if (nextCopy)
        if (auto next = nextCopy->find(base); next != nextCopy->end())
            first = next->second;
    for (int n = first;; ++n) {
        std::string name = base + "#" + std::to_string(n);
        if (!taken.count(name))
            return name;
    }
}

double positionBesideDot(platform::UserDefaults& defaults) {
    const auto dot = defaults.object(platform::preferredPositionKey("quillet.separator"));
    if (dot)
        if (auto position = dot->asNumber())
            return *position - 0.5;
    return 0;
}

std::shared_ptr<DesktopRunningApplication>
ForeignApplications::hold(std::int32_t& heldPID, std::int32_t pid, const std::string& name) {
    if (pid <= 0 || pid == host_.processInfo().processIdentifier)
        return nullptr;
    if (heldPID != pid) {
        release(heldPID);
        auto it = apps_.find(pid);
        if (it == apps_.end()) {
            if (host_.workspace().runningApplication(pid))
                return nullptr;
            auto app = std::make_shared<DesktopRunningApplication>(pid, std::nullopt, name,
                                                                   [] { return false; });
            host_.desktopWorkspace().add(app);
            it = apps_.emplace(pid, std::make_pair(app, 0)).first;
        }
        ++it->second.second;
        heldPID = pid;
    }
    return apps_.at(pid).first;
}

void ForeignApplications::release(std::int32_t& heldPID) {
    if (heldPID == 0)
        return;
    auto it = apps_.find(heldPID);
    heldPID = 0;
    if (it == apps_.end())
        return;
    if (--it->second.second <= 0) {
        host_.desktopWorkspace().remove(it->second.first);
        apps_.erase(it);
    }
}

} // namespace desktop
