// The Google "G" mark as drawing instructions: four coloured arc segments of a ring and the
// horizontal bar, in a square of `size` points. A view value; the host draws it on a canvas.
#pragma once

#include "CorvaneAccount/UI/CorvaneProviderButtons.h"

#include <vector>

namespace corvane {

struct GoogleGGlyph {
    // One stroke of the ring, angles in degrees, clockwise from the positive x axis (screen
    // coordinates: y grows downwards).
    struct Arc {
        double startDegrees;
        double endDegrees;
        CorvaneColor color;
    };

    double size = 18;

    // The ring's stroke width, radius and the bar, proportional to `size`.
    double strokeWidth() const { return size * 0.2; }
    double radius() const { return (size - strokeWidth()) / 2; }
    // Red top, yellow left, green bottom, blue right with the bar.
    std::vector<Arc> arcs() const;
    // The bar: from the centre to the right edge of the ring, at the centre's height.
    CorvaneColor barColor() const;
};

} // namespace corvane
