#include "Quillet/HiddenItems/HiddenItemScanner.h"

#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/WindowList.h"
#include "Platform/Workspace.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <limits>
#include <string_view>
#include <unordered_map>

namespace quillet {

using platform::Dictionary;
using platform::host;
using platform::Value;

namespace {

constexpr double minimumHeight = 18;
constexpr double maximumHeight = 44;

std::string lowercased(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

// Whether `key` is `literal` exactly; the length is known here, so the comparison is inlined.
template <std::size_t N> bool isKey(std::string_view key, const char (&literal)[N]) {
    return key.size() == N - 1 && std::memcmp(key.data(), literal, N - 1) == 0;
}

// The fields of a window entry the scan reads, found in one in-order walk of its dictionary
// instead of a tree search per key (the entries are read by the ten thousand, and every key
// shares the "kCGWindow" prefix that each comparison of a search would read again). Null where
// the key is absent, as `Value::find` gives.
struct EntryFields {
    const Value* layer = nullptr;
    const Value* bounds = nullptr;
    const Value* ownerPID = nullptr;
    const Value* ownerName = nullptr;
    const Value* number = nullptr;
};

// Reads the layer first and stops there unless the window is at the status level: in key order
// "kCGWindowBounds" < "kCGWindowLayer" < every other key read, so the layer is known, present or
// not, by the first key that sorts after it.
bool readStatusEntry(const Dictionary& d, EntryFields& f) {
    static_assert(std::string_view("kCGWindowLayer") == platform::windowinfo::layer);
    static_assert(std::string_view("kCGWindowBounds") == platform::windowinfo::bounds);
    static_assert(std::string_view("kCGWindowOwnerPID") == platform::windowinfo::ownerPID);
    static_assert(std::string_view("kCGWindowOwnerName") == platform::windowinfo::ownerName);
    static_assert(std::string_view("kCGWindowNumber") == platform::windowinfo::number);
    constexpr std::string_view layerKey = "kCGWindowLayer";
    auto it = d.begin();
    for (; it != d.end(); ++it) {
        const std::string_view key = it->first;
        if (isKey(key, "kCGWindowLayer")) {
            f.layer = &it->second;
            ++it;
            break;
        }
        if (key > layerKey)
            return false; // no layer
        if (isKey(key, "kCGWindowBounds"))
            f.bounds = &it->second;
    }
    if (!f.layer || f.layer->asInteger() != platform::statusWindowLevel)
        return false;
    for (; it != d.end(); ++it) {
        const std::string_view key = it->first;
        if (isKey(key, "kCGWindowOwnerPID"))
            f.ownerPID = &it->second;
        else if (isKey(key, "kCGWindowOwnerName"))
            f.ownerName = &it->second;
        else if (isKey(key, "kCGWindowNumber"))
            f.number = &it->second;
    }
    return true;
}

// `rectFromDictionary` in one walk of the four keys.
std::optional<platform::Rect> readBounds(const Value& value) {
    const Dictionary* d = value.asDictionary();
    if (!d)
        return std::nullopt;
    const Value* x = nullptr;
    const Value* y = nullptr;
    const Value* width = nullptr;
    const Value* height = nullptr;
    for (const auto& [key, v] : *d) {
        if (isKey(key, "X"))
            x = &v;
        else if (isKey(key, "Y"))
            y = &v;
        else if (isKey(key, "Width"))
            width = &v;
        else if (isKey(key, "Height"))
            height = &v;
    }
    double parts[4];
    const Value* values[4] = {x, y, width, height};
    for (int i = 0; i < 4; ++i) {
        auto n = values[i] ? values[i]->asNumber() : std::nullopt;
        if (!n || *n != *n) // absent, not a number, or NaN
            return std::nullopt;
        parts[i] = *n;
    }
    return platform::makeRect(parts[0], parts[1], parts[2], parts[3]);
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
    // The running application of each owner, asked once per process in a scan.
    std::unordered_map<std::int32_t, std::shared_ptr<platform::RunningApplication>> apps;
    for (const auto& window : *windows) {
        EntryFields f;
        if (!readStatusEntry(*window.asDictionary(), f))
            continue;
        auto bounds = f.bounds ? readBounds(*f.bounds) : std::nullopt;
        if (!bounds)
            continue;
        if (bounds->height() < minimumHeight || bounds->height() > maximumHeight)
            continue;
        auto pid = f.ownerPID ? f.ownerPID->asInteger() : std::nullopt;
        if (!pid)
            continue;
        // Read as a 32-bit process id, as the window server stores it.
        const auto ownerPID = static_cast<std::int32_t>(static_cast<std::uint32_t>(*pid));
        if (ownerPID == ownPID)
            continue; // our own chevron and dot are never items
        if (f.ownerName)
            if (const auto* text = f.ownerName->asString();
                text && excluded.count(lowercased(*text)))
                continue;
        const bool onADisplay = std::any_of(displays.begin(), displays.end(),
                                            [&](const auto& d) { return bounds->intersects(d); });
        if (onADisplay)
            continue;
        auto number = f.number ? f.number->asInteger() : std::nullopt;
        if (!number)
            continue;
        HiddenItem item;
        item.ownerPID = ownerPID;
        item.windowID = static_cast<std::uint32_t>(*number);
        item.bounds = *bounds;
        auto known = apps.find(ownerPID);
        if (known == apps.end())
            known = apps.emplace(ownerPID, host().workspace().runningApplication(ownerPID)).first;
        item.app = known->second;
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
