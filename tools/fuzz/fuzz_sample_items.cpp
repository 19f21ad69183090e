// Fuzzes the sample-items file: any text either is refused with std::invalid_argument or gives
// at most 64 items within the stated bounds, which read back the same when written as a file.
#include "Platform/Desktop/StatusBar/SampleItems.h"

#include <nlohmann/json.hpp>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using desktop::SampleItem;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

void checkText(const std::string& s, bool required) {
    check(s.size() <= 128 && (!required || !s.empty()));
    for (unsigned char c : s)
        check(c >= 0x20 && c != 0x7f);
}

std::string fileText(const std::vector<SampleItem>& items) {
    auto list = nlohmann::json::array();
    for (const auto& s : items) {
        nlohmann::json item{
            {"owner", s.ownerName}, {"pid", s.ownerPID}, {"icon", s.icon}, {"width", s.width}};
        if (!s.autosaveName.empty())
            item["autosaveName"] = s.autosaveName;
        if (!s.toolTip.empty())
            item["toolTip"] = s.toolTip;
        if (s.preferredPosition)
            item["preferredPosition"] = *s.preferredPosition;
        list.push_back(std::move(item));
    }
    return nlohmann::json{{"items", list}}.dump();
}

bool same(const SampleItem& a, const SampleItem& b) {
    return a.ownerName == b.ownerName && a.ownerPID == b.ownerPID && a.icon == b.icon &&
           a.width == b.width && a.autosaveName == b.autosaveName &&
           a.preferredPosition == b.preferredPosition && a.toolTip == b.toolTip;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    std::vector<SampleItem> items;
    try {
        items = desktop::parseSampleItems(text);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    check(items.size() <= 64);
    std::set<std::string> autosaveNames;
    for (const auto& s : items) {
        checkText(s.ownerName, true);
        checkText(s.icon, true);
        checkText(s.autosaveName, false);
        checkText(s.toolTip, false);
        check(s.autosaveName.empty() || autosaveNames.insert(s.autosaveName).second);
        check(s.ownerPID >= 1 && s.ownerPID <= 4194304);
        check(std::isfinite(s.width) && s.width >= 8 && s.width <= 400);
        check(!s.preferredPosition ||
              (std::isfinite(*s.preferredPosition) && *s.preferredPosition >= 0));
    }

    const auto reread = desktop::parseSampleItems(fileText(items));
    check(reread.size() == items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        check(same(reread[i], items[i]));
    return 0;
}
