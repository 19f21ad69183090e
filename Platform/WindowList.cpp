#include "Platform/WindowList.h"

namespace platform {

std::optional<Rect> rectFromDictionary(const Value& value) {
    if (!value.asDictionary())
        return std::nullopt;
    double parts[4];
    const char* keys[4] = {"X", "Y", "Width", "Height"};
    for (int i = 0; i < 4; ++i) {
        const Value* v = value.find(keys[i]);
        auto n = v ? v->asNumber() : std::nullopt;
        if (!n || *n != *n) // absent, not a number, or NaN
            return std::nullopt;
        parts[i] = *n;
    }
    return makeRect(parts[0], parts[1], parts[2], parts[3]);
}

Value dictionaryFromRect(Rect r) {
    return Dictionary{
        {"X", r.origin.x}, {"Y", r.origin.y}, {"Width", r.size.width}, {"Height", r.size.height}};
}

} // namespace platform
