#include "Platform/Desktop/StatusBar/ForeignItems.h"

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

} // namespace desktop
