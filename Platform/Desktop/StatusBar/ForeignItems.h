// What the two kinds of foreign items in the strip (tray items and legacy tray icons) share when
// they first appear: their autosave name and where they go.
#pragma once

#include <map>
#include <set>
#include <string>

namespace platform {
class UserDefaults;
}

namespace desktop {

// `base`, or for a second item of the same base (a second copy of a program) "base#2", "#3"…,
// the first not `taken`, counting on from `nextCopy[base]` when given (so that a thousand
// copies cost no more than one each).
std::string distinctAutosaveName(const std::string& base, const std::set<std::string>& taken,
                                 const std::map<std::string, int>* nextCopy = nullptr);

// Just on the edge's side of Quillet's dot, with the items that stay shown; 0 while the dot has
// no stored position.
double positionBesideDot(platform::UserDefaults& defaults);

} // namespace desktop
