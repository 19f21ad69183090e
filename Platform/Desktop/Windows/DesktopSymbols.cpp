#include "Platform/Desktop/Windows/DesktopSymbols.h"

#include <QFile>
#include <QPainter>
#include <QSvgRenderer>
#include <algorithm>
#include <map>
#include <tuple>

namespace desktop {

const std::vector<std::string>& DesktopSymbols::catalogue() {
    static const std::vector<std::string> names{"chevron.left", "chevron.right",
                                                "circle.fill",  "exclamationmark.triangle",
                                                "app.dashed",   "pause"};
    return names;
}

QString DesktopSymbols::resourcePath(const std::string& name) {
    return QStringLiteral(":/symbols/") + QString::fromStdString(name) + QStringLiteral(".svg");
}

std::optional<platform::Image>
DesktopSymbols::systemSymbol(const std::string& name, const std::string& accessibilityDescription) {
    const auto& names = catalogue();
    if (std::find(names.begin(), names.end(), name) == names.end())
        return std::nullopt;
    if (!QFile::exists(resourcePath(name)))
        return std::nullopt;
    platform::Image image;
    image.symbolName = name;
    image.accessibilityDescription = accessibilityDescription;
    // Symbols are monochrome shapes: whoever draws them picks the colour.
    image.isTemplate = true;
    return image;
}

QImage DesktopSymbols::render(const std::string& name, int pixels, QColor tint) {
    if (pixels <= 0 || pixels > 1024)
        return {};
    using Key = std::tuple<std::string, int, QRgb>;
    static std::map<Key, QImage> cache;
    Key key{name, pixels, tint.rgba()};
    if (auto it = cache.find(key); it != cache.end())
        return it->second;

    QSvgRenderer renderer(resourcePath(name));
    if (!renderer.isValid())
        return {};
    QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    {
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        renderer.render(&p, QRectF(0, 0, pixels, pixels));
        // Keep the shapes' coverage, replace their colour.
        p.setCompositionMode(QPainter::CompositionMode_SourceIn);
        p.fillRect(image.rect(), tint);
    }
    if (cache.size() > 256)
        cache.clear();
    cache.emplace(key, image);
    return image;
}

} // namespace desktop
