// System symbols drawn from SVG files made for this program and compiled in as resources
// (":/symbols/<name>.svg"). All are template images: black shapes that the drawer tints.
// Main thread only.
#pragma once

#include "Platform/Symbols.h"

#include <QColor>
#include <QImage>
#include <QSize>
#include <string>
#include <vector>

namespace desktop {

class DesktopSymbols final : public platform::Symbols {
public:
    std::optional<platform::Image>
    systemSymbol(const std::string& name, const std::string& accessibilityDescription) override;

    // The system symbols this host draws.
    static const std::vector<std::string>& catalogue();
    // The resource path of a drawing (a system symbol or one of the strip's own drawings).
    static QString resourcePath(const std::string& name);
    // Renders drawing `name` into a square of `pixels` device pixels, tinted with `tint` (the
    // template's shapes take the colour, keeping their coverage). Null when there is no such
    // drawing. Renderings are cached by name, size and colour.
    static QImage render(const std::string& name, int pixels, QColor tint);
};

} // namespace desktop
