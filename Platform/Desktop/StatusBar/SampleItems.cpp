#include "Platform/Desktop/StatusBar/SampleItems.h"

#include <cmath>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>

namespace desktop {

namespace {

constexpr std::size_t maxItems = 64;
constexpr std::size_t maxFileSize = 256 * 1024;
constexpr std::size_t maxTextLength = 128;

constexpr const char* builtIn = R"({
  "items": [
    {"owner": "Notes Sync", "pid": 41001, "icon": "N", "width": 26, "autosaveName": "com.example.notessync.item", "toolTip": "Notes Sync"},
    {"owner": "Backup", "pid": 41002, "icon": "B", "width": 26, "autosaveName": "com.example.backup.item", "toolTip": "Backup: up to date"},
    {"owner": "VPN", "pid": 41003, "icon": "VPN", "width": 38, "autosaveName": "com.example.vpn.item", "toolTip": "VPN: connected"},
    {"owner": "Weather", "pid": 41004, "icon": "12°", "width": 36, "autosaveName": "com.example.weather.item", "toolTip": "Weather"},
    {"owner": "Music", "pid": 41005, "icon": "M", "width": 26, "autosaveName": "com.example.music.item", "toolTip": "Music"}
  ]
})";

[[noreturn]] void fail(std::size_t index, const std::string& what) {
    throw std::invalid_argument("sample item " + std::to_string(index) + ": " + what);
}

std::string text(const nlohmann::json& item, std::size_t index, const char* key, bool required) {
    auto it = item.find(key);
    if (it == item.end()) {
        if (required)
            fail(index, std::string("\"") + key + "\" is missing");
        return {};
    }
    if (!it->is_string())
        fail(index, std::string("\"") + key + "\" must be a string");
    auto s = it->get<std::string>();
    if (s.size() > maxTextLength)
        fail(index, std::string("\"") + key + "\" is longer than " + std::to_string(maxTextLength) +
                        " bytes");
    for (unsigned char c : s)
        if (c < 0x20 || c == 0x7f)
            fail(index, std::string("\"") + key + "\" contains a control character");
    return s;
}

} // namespace

std::vector<SampleItem> parseSampleItems(const std::string& json) {
    if (json.size() > maxFileSize)
        throw std::invalid_argument("sample items: file is larger than " +
                                    std::to_string(maxFileSize) + " bytes");
    auto doc = nlohmann::json::parse(json, nullptr, /*allow_exceptions=*/false);
    if (doc.is_discarded())
        throw std::invalid_argument("sample items: not valid JSON");
    if (!doc.is_object() || !doc.contains("items") || !doc["items"].is_array())
        throw std::invalid_argument("sample items: expected an object with an \"items\" array");
    const auto& items = doc["items"];
    if (items.size() > maxItems)
        throw std::invalid_argument("sample items: more than " + std::to_string(maxItems) +
                                    " items");

    std::vector<SampleItem> out;
    std::set<std::string> autosaveNames;
    for (std::size_t i = 0; i < items.size(); ++i) {
        const auto& item = items[i];
        if (!item.is_object())
            fail(i, "must be an object");
        SampleItem s;
        s.ownerName = text(item, i, "owner", true);
        if (s.ownerName.empty())
            fail(i, "\"owner\" is empty");
        s.icon = text(item, i, "icon", true);
        if (s.icon.empty())
            fail(i, "\"icon\" is empty");
        s.autosaveName = text(item, i, "autosaveName", false);
        s.toolTip = text(item, i, "toolTip", false);
        if (!s.autosaveName.empty() && !autosaveNames.insert(s.autosaveName).second)
            fail(i, "\"autosaveName\" repeats an earlier item's");

        auto pid = item.find("pid");
        if (pid == item.end() || !pid->is_number_integer())
            fail(i, "\"pid\" must be an integer");
        auto pidValue = pid->get<std::int64_t>();
        if (pidValue <= 0 || pidValue > 4194304)
            fail(i, "\"pid\" must be between 1 and 4194304");
        s.ownerPID = static_cast<std::int32_t>(pidValue);

        if (auto w = item.find("width"); w != item.end()) {
            if (!w->is_number())
                fail(i, "\"width\" must be a number");
            s.width = w->get<double>();
            if (!std::isfinite(s.width) || s.width < 8 || s.width > 400)
                fail(i, "\"width\" must be between 8 and 400");
        }
        if (auto p = item.find("preferredPosition"); p != item.end()) {
            if (!p->is_number())
                fail(i, "\"preferredPosition\" must be a number");
            double v = p->get<double>();
            if (!std::isfinite(v) || v < 0)
                fail(i, "\"preferredPosition\" must be a number of zero or more");
            s.preferredPosition = v;
        }
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<SampleItem> loadSampleItems(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        throw std::invalid_argument("sample items: cannot open " + path);
    std::string data;
    char buf[8192];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        data.append(buf, static_cast<std::size_t>(in.gcount()));
        if (data.size() > maxFileSize)
            throw std::invalid_argument("sample items: " + path + " is larger than " +
                                        std::to_string(maxFileSize) + " bytes");
    }
    try {
        return parseSampleItems(data);
    } catch (const std::invalid_argument& e) {
        throw std::invalid_argument(path + ": " + e.what());
    }
}

std::vector<SampleItem> defaultSampleItems() {
    return parseSampleItems(builtIn);
}

} // namespace desktop
