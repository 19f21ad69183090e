// System symbol images with an accessibility description and a symbol configuration.
// Implemented by Sim (a fixed catalogue) and Desktop (SVG files); main thread only.
#pragma once

#include <optional>
#include <string>

namespace platform {

enum class SymbolWeight { ultraLight, thin, light, regular, medium, semibold, bold, heavy, black };
enum class SymbolScale { small, medium, large };

struct SymbolConfiguration {
    double pointSize = 13;
    SymbolWeight weight = SymbolWeight::regular;
    SymbolScale scale = SymbolScale::medium;
    bool operator==(const SymbolConfiguration&) const = default;
};

// An image made from a named system symbol. Template images are tinted by whoever draws them.
struct Image {
    // A system symbol's name; empty for other images (an application's icon).
    std::string symbolName;
    // For images that are not symbols: what the host draws (an icon name or file).
    std::string resourceName;
    std::string accessibilityDescription;
    std::optional<SymbolConfiguration> configuration;
    bool isTemplate = false;

    Image withSymbolConfiguration(SymbolConfiguration c) const {
        Image copy = *this;
        copy.configuration = c;
        return copy;
    }
    // Drawn width in points: the configured point size, or 16 without a configuration.
    double width() const { return configuration ? configuration->pointSize + 4 : 16; }
    bool operator==(const Image&) const = default;
};

class Symbols {
public:
    virtual ~Symbols() = default;
    // The named system symbol; none when the platform has no such symbol.
    virtual std::optional<Image> systemSymbol(const std::string& name,
                                              const std::string& accessibilityDescription) = 0;
};

} // namespace platform
