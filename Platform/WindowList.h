// The window server's list of windows (dynamically typed entries, as CoreGraphics reports them)
// and the active displays. Implemented by Sim and Desktop; main thread only.
#pragma once

#include "Platform/Geometry.h"
#include "Platform/Value.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace platform {

using DisplayID = std::uint32_t;

// Keys of a window-list entry.
namespace windowinfo {
inline constexpr const char* layer = "kCGWindowLayer";
inline constexpr const char* bounds = "kCGWindowBounds";
inline constexpr const char* ownerPID = "kCGWindowOwnerPID";
inline constexpr const char* ownerName = "kCGWindowOwnerName";
inline constexpr const char* number = "kCGWindowNumber";
} // namespace windowinfo

inline constexpr std::uint32_t windowListOptionAll = 0;
inline constexpr std::uint32_t nullWindowID = 0;
// The level of status-item windows.
inline constexpr std::int64_t statusWindowLevel = 25;

class WindowList {
public:
    virtual ~WindowList() = default;
    // The window list: normally an array of dictionaries; null when the call fails. Shared and
    // immutable, as the platform hands out its list.
    virtual std::shared_ptr<const Value> copyWindowInfo(std::uint32_t option,
                                                        std::uint32_t relativeToWindow) = 0;
    // The active displays, like CGGetActiveDisplayList: with capacity 0 only the count is
    // reported. Returns 0 on success, an error code otherwise.
    virtual std::int32_t getActiveDisplayList(std::uint32_t capacity, DisplayID* displays,
                                              std::uint32_t* count) = 0;
    // A display's bounds in global display coordinates (origin at the top left of the main
    // display, y growing downwards).
    virtual Rect displayBounds(DisplayID display) = 0;
};

// A bounds dictionary ({"X", "Y", "Width", "Height"}) as a rectangle; none when it is not one.
std::optional<Rect> rectFromDictionary(const Value& value);
Value dictionaryFromRect(Rect rect);

} // namespace platform
