#include "Quillet/HiddenItems/HiddenItemScanner.h"

#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/WindowList.h"
#include "Platform/Workspace.h"

#include <algorithm>
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

// Whether `name` is one of the excluded owners, compared without regard to ASCII case and
// without making a lowered copy.
bool isExcludedOwner(std::string_view name) {
    static const std::vector<std::string> excluded(HiddenItemScanner::excludedOwnerNames().begin(),
                                                   HiddenItemScanner::excludedOwnerNames().end());
    for (const auto& candidate : excluded) {
        if (candidate.size() != name.size())
            continue;
        bool same = true;
        for (std::size_t i = 0; i < name.size() && same; ++i) {
            auto c = static_cast<unsigned char>(name[i]);
            if (c >= 'A' && c <= 'Z')
                c = static_cast<unsigned char>(c - 'A' + 'a');
            same = c == static_cast<unsigned char>(candidate[i]);
        }
        if (same)
            return true;
    }
    return false;
}

// Whether `key` is `literal` exactly. The keys read here are 8 to 24 bytes long, so two or
// three (overlapping) 8-byte words cover the whole key and no library call is made per entry.
template <std::size_t N> bool isKey(std::string_view key, const char (&literal)[N]) {
    constexpr std::size_t n = N - 1;
    if (key.size() != n)
        return false;
    if constexpr (n >= 8 && n <= 24) {
        std::uint64_t a[3], b[3];
        std::memcpy(&a[0], key.data(), 8);
        std::memcpy(&b[0], literal, 8);
        std::memcpy(&a[1], key.data() + (n - 8) / 2, 8);
        std::memcpy(&b[1], literal + (n - 8) / 2, 8);
        std::memcpy(&a[2], key.data() + n - 8, 8);
        std::memcpy(&b[2], literal + n - 8, 8);
        return ((a[0] ^ b[0]) | (a[1] ^ b[1]) | (a[2] ^ b[2])) == 0;
    } else {
        return std::memcmp(key.data(), literal, n) == 0;
    }
}

// The fields of a window entry the scan reads, found in one walk of its keys (held in order in
// one block) instead of a search per key: the entries are read by the ten thousand, and every
// key shares the "kCGWindow" prefix that each comparison of a search would read again. Null
// where the key is absent, as `Value::find` gives.
struct EntryFields {
    const Value* bounds = nullptr;
    const Value* ownerPID = nullptr;
    const Value* ownerName = nullptr;
    const Value* number = nullptr;
};

static_assert(std::string_view("kCGWindowLayer") == platform::windowinfo::layer);
static_assert(std::string_view("kCGWindowBounds") == platform::windowinfo::bounds);
static_assert(std::string_view("kCGWindowOwnerPID") == platform::windowinfo::ownerPID);
static_assert(std::string_view("kCGWindowOwnerName") == platform::windowinfo::ownerName);
static_assert(std::string_view("kCGWindowNumber") == platform::windowinfo::number);

// Whether the window is at the status level, with its fields then. The walk stops at the layer
// of any other window (most are): in key order "kCGWindowBounds" < "kCGWindowLayer" < every
// other key read.
bool readStatusEntry(const Dictionary& d, EntryFields& f) {
    bool status = false;
    for (const auto& [key, value] : d) {
        if (isKey(key, "kCGWindowLayer")) {
            if (value.asInteger() != platform::statusWindowLevel)
                return false;
            status = true;
        } else if (isKey(key, "kCGWindowBounds")) {
            f.bounds = &value;
        } else if (isKey(key, "kCGWindowNumber")) {
            f.number = &value;
        } else if (isKey(key, "kCGWindowOwnerName")) {
            f.ownerName = &value;
        } else if (isKey(key, "kCGWindowOwnerPID")) {
            f.ownerPID = &value;
        }
    }
    return status;
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
        const bool onADisplay = std::any_of(displays.begin(), displays.end(),
                                            [&](const auto& d) { return bounds->intersects(d); });
        if (onADisplay)
            continue;
        auto pid = f.ownerPID ? f.ownerPID->asInteger() : std::nullopt;
        if (!pid)
            continue;
        // Read as a 32-bit process id, as the window server stores it.
        const auto ownerPID = static_cast<std::int32_t>(static_cast<std::uint32_t>(*pid));
        if (ownerPID == ownPID)
            continue; // our own chevron and dot are never items
        if (f.ownerName)
            if (const auto* text = f.ownerName->asString(); text && isExcludedOwner(*text))
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
