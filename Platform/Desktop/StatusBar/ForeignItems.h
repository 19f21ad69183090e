// What the two kinds of foreign items in the strip (tray items and legacy tray icons) share when
// they first appear: their autosave name and where they go.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

namespace platform {
class UserDefaults;
}

namespace desktop {

class DesktopHost;
class DesktopRunningApplication;

// `base`, or for a second item of the same base (a second copy of a program) "base#2", "#3"…,
// the first not `taken`, counting on from `nextCopy[base]` when given (so that a thousand
// copies cost no more than one each).
std::string distinctAutosaveName(const std::string& base, const std::set<std::string>& taken,
                                 const std::map<std::string, int>* nextCopy = nullptr);

// Just on the edge's side of Quillet's dot, with the items that stay shown; 0 while the dot has
// no stored position.
double positionBesideDot(platform::UserDefaults& defaults);

// The running applications made for the programs behind foreign items, one per process, with how
// many items hold each; the last item to let go removes it from the workspace.
class ForeignApplications {
public:
    explicit ForeignApplications(DesktopHost& host) : host_(host) {}

    // The application standing for `pid`, made (named `name`) if this is its first item;
    // `heldPID` is the item's record of what it holds, moved over from any other process. Null
    // for an unusable pid, Quillet's own, or one the workspace already knows another way (that
    // application keeps its own icon).
    std::shared_ptr<DesktopRunningApplication> hold(std::int32_t& heldPID, std::int32_t pid,
                                                    const std::string& name);
    void release(std::int32_t& heldPID);

private:
    DesktopHost& host_;
    std::map<std::int32_t, std::pair<std::shared_ptr<DesktopRunningApplication>, int>> apps_;
};

} // namespace desktop
