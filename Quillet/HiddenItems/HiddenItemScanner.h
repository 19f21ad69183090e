// Finds the status windows of other applications that lie wholly off every active display:
// exactly the items a collapsed separator has pushed away. Stateless; main thread.
#pragma once

#include "Quillet/HiddenItems/HiddenItem.h"

#include <set>
#include <string>
#include <vector>

namespace quillet {

class HiddenItemScanner {
public:
    // The hidden items, in their left-to-right menu-bar order.
    static std::vector<HiddenItem> scan();
    // Owner names (lower case) whose windows are never items: the system's own.
    static const std::set<std::string>& excludedOwnerNames();

private:
    static std::vector<platform::Rect> activeDisplayBounds();
};

} // namespace quillet
