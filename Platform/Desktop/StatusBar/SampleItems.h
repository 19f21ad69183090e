// Other applications' status items for demonstration and tests, standing in for real tray
// items: read from a JSON file, or the built-in set. Static: nothing in them changes while
// Quillet runs.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace desktop {

struct SampleItem {
    std::string ownerName;
    std::int32_t ownerPID = 0;
    // A system symbol name, or up to three characters drawn as a badge.
    std::string icon;
    double width = 24;
    std::string autosaveName;
    std::optional<double> preferredPosition;
    std::string toolTip;
};

// Parses a sample file:
//   {"items": [{"owner": "Notes", "pid": 41001, "icon": "N", "width": 26,
//               "autosaveName": "notes.item", "preferredPosition": 300, "toolTip": "..."}]}
// "owner", "pid" and "icon" are required. Throws std::invalid_argument naming the first
// problem (with the item's index).
std::vector<SampleItem> parseSampleItems(const std::string& json);
// Reads and parses a sample file; throws std::invalid_argument when it cannot be read.
std::vector<SampleItem> loadSampleItems(const std::string& path);
// The built-in set.
std::vector<SampleItem> defaultSampleItems();

} // namespace desktop
