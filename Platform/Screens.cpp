#include "Platform/Screens.h"

#include "Platform/Host.h"
#include "Platform/Window.h"

#include <algorithm>

namespace platform {

namespace {

double overlapArea(const Rect& a, const Rect& b) {
    const double w = std::min(a.maxX(), b.maxX()) - std::max(a.minX(), b.minX());
    const double h = std::min(a.maxY(), b.maxY()) - std::max(a.minY(), b.minY());
    return w > 0 && h > 0 ? w * h : 0;
}

} // namespace

std::optional<Screen> screenHolding(const Rect& frame, const std::vector<Screen>& screens) {
    if (frame.isEmpty()) {
        for (const auto& s : screens)
            if (s.frame.contains({frame.midX(), frame.midY()}))
                return s;
        return std::nullopt;
    }
    std::optional<Screen> best;
    double bestArea = 0;
    for (const auto& s : screens) {
        // Strictly larger: on a tie the earlier screen keeps it.
        if (const double area = overlapArea(frame, s.frame); area > bestArea) {
            bestArea = area;
            best = s;
        }
    }
    return best;
}

std::optional<Screen> Window::screen() const {
    return screenHolding(frame(), host().screens().screens());
}

} // namespace platform
