#include "Platform/Menu.h"

namespace platform {

void Menu::present(const std::function<std::optional<std::size_t>(Menu&)>& track) {
    if (auto d = delegate())
        d->menuWillOpen(*this);
    std::optional<std::size_t> chosen = track ? track(*this) : std::nullopt;
    if (auto d = delegate())
        d->menuDidClose(*this);
    if (chosen && *chosen < items_.size() && !items_[*chosen].isSeparator) {
        auto action = items_[*chosen].action; // the action may replace the menu's items
        if (action)
            action();
    }
}

} // namespace platform
