#include "CorvaneAccount/UI/GoogleGGlyph.h"

namespace corvane {

namespace {

constexpr CorvaneColor googleRed{234 / 255.0, 67 / 255.0, 53 / 255.0, 1};
constexpr CorvaneColor googleYellow{251 / 255.0, 188 / 255.0, 5 / 255.0, 1};
constexpr CorvaneColor googleGreen{52 / 255.0, 168 / 255.0, 83 / 255.0, 1};
constexpr CorvaneColor googleBlue{66 / 255.0, 133 / 255.0, 244 / 255.0, 1};

} // namespace

std::vector<GoogleGGlyph::Arc> GoogleGGlyph::arcs() const {
    // Clockwise in screen coordinates, starting at the blue bar's end (0°, pointing right): the
    // ring is open between -45° and 0°, where the bar leaves it.
    return {
        {0, 45, googleBlue},      // right, below the bar
        {45, 135, googleGreen},   // bottom
        {135, 215, googleYellow}, // left
        {215, 315, googleRed},    // top, up to the opening
    };
}

CorvaneColor GoogleGGlyph::barColor() const {
    return googleBlue;
}

} // namespace corvane
