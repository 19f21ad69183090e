#include "Quillet/HiddenItems/HiddenItemScanner.h"

#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/WindowList.h"
#include "Platform/Workspace.h"

#include <algorithm>
#include <cctype>
#include <limits>

namespace quillet {

using platform::host;

namespace {

constexpr double minimumHeight = 18;
constexpr double maximumHeight = 44;

std::string lowercased(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

} // namespace

const std::set<std::string>& HiddenItemScanner::excludedOwnerNames() {
    static const std::set<std::string> names{
        "window server", "control center", "controlcenter",      "systemuiserver",
        "dock",          "spotlight",      "textinputmenuagent", "osduihelper"};
    return names;
}

std::vector<platform::Rect> HiddenItemScanner::activeDisplayBounds() {
    auto& windowList = host().windowList();
    std::uint32_t count = 0;
    if (windowList.getActiveDisplayList(0, nullptr, &count) != 0 || count == 0)
        return {};
    std::vector<platform::DisplayID> ids(count, 0);
    std::uint32_t returned = 0;
    if (windowList.getActiveDisplayList(count, ids.data(), &returned) != 0)
        return {};
    std::vector<platform::Rect> bounds;
    const auto n = std::min<std::size_t>(returned, ids.size());
    for (std::size_t i = 0; i < n; ++i)
        bounds.push_back(windowList.displayBounds(ids[i]));
    return bounds;
}

std::vector<HiddenItem> HiddenItemScanner::scan() {
    namespace key = platform::windowinfo;
    // All windows, not only those on screen: hidden items are off screen.
    auto list =
        host().windowList().copyWindowInfo(platform::windowListOptionAll, platform::nullWindowID);
    const platform::Array* windows = list ? list->asArray() : nullptr;
    if (!windows)
        return {};
    for (const auto& w : *windows)
        if (!w.asDictionary())
            return {}; // not an array of dictionaries

    const auto displays = activeDisplayBounds();
    const auto ownPID = host().processInfo().processIdentifier;
    const auto& excluded = excludedOwnerNames();

    std::vector<HiddenItem> items;
    for (const auto& window : *windows) {
        const auto* layer = window.find(key::layer);
        if (!layer || layer->asInteger() != platform::statusWindowLevel)
            continue;
        const auto* boundsValue = window.find(key::bounds);
        auto bounds = boundsValue ? platform::rectFromDictionary(*boundsValue) : std::nullopt;
        if (!bounds)
            continue;
        if (bounds->height() < minimumHeight || bounds->height() > maximumHeight)
            continue;
        const auto* pidValue = window.find(key::ownerPID);
        auto pid = pidValue ? pidValue->asInteger() : std::nullopt;
        if (!pid)
            continue;
        // Read as a 32-bit process id, as the window server stores it.
        const auto ownerPID = static_cast<std::int32_t>(static_cast<std::uint32_t>(*pid));
        if (ownerPID == ownPID)
            continue; // our own chevron and dot are never items
        if (const auto* name = window.find(key::ownerName))
            if (const auto* text = name->asString(); text && excluded.count(lowercased(*text)))
                continue;
        const bool onADisplay = std::any_of(displays.begin(), displays.end(),
                                            [&](const auto& d) { return bounds->intersects(d); });
        if (onADisplay)
            continue;
        const auto* numberValue = window.find(key::number);
        auto number = numberValue ? numberValue->asInteger() : std::nullopt;
        if (!number)
            continue;
        HiddenItem item;
        item.ownerPID = ownerPID;
        item.windowID = static_cast<std::uint32_t>(*number);
        item.bounds = *bounds;
        item.app = host().workspace().runningApplication(ownerPID);
        items.push_back(std::move(item));
    }
    // Off the left edge in menu-bar order: ascending x gives left to right; equal x keeps the
    // window list's order.
    std::stable_sort(items.begin(), items.end(), [](const HiddenItem& a, const HiddenItem& b) {
        return a.bounds.origin.x < b.bounds.origin.x;
    });
    return items;
}

} // namespace quillet
