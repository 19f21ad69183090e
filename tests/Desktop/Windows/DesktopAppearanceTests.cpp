// The desktop's colour scheme: which source decides (override, portal, palette), how the
// portal's answer is read, and following the application palette while running.
#include "tests/Desktop/DesktopTestSupport.h"

#include "Platform/Desktop/Windows/DesktopAppearance.h"

#include <QApplication>
#include <QDBusVariant>
#include <QSignalSpy>
#include <cstdlib>
#include <gtest/gtest.h>

namespace desktop {
namespace {

QPalette paletteWithWindow(QColor window) {
    QPalette p;
    p.setColor(QPalette::Window, window);
    return p;
}

// Keeps QUILLET_COLOR_SCHEME and the application palette as they were.
struct SchemeEnvironment {
    std::optional<std::string> saved;
    QPalette palette = QApplication::palette();
    SchemeEnvironment() {
        if (const char* v = std::getenv("QUILLET_COLOR_SCHEME"))
            saved = v;
        ::unsetenv("QUILLET_COLOR_SCHEME");
    }
    ~SchemeEnvironment() {
        if (saved)
            ::setenv("QUILLET_COLOR_SCHEME", saved->c_str(), 1);
        else
            ::unsetenv("QUILLET_COLOR_SCHEME");
        QApplication::setPalette(palette);
    }
};

TEST(DesktopAppearance, TheOverrideWinsThenThePortalThenThePalette) {
    const QPalette darkPalette = paletteWithWindow(QColor(0x2d, 0x2d, 0x2d));
    const QPalette lightPalette = paletteWithWindow(QColor(0xef, 0xef, 0xef));
    EXPECT_EQ(colorSchemeOfPalette(darkPalette), ColorScheme::dark);
    EXPECT_EQ(colorSchemeOfPalette(lightPalette), ColorScheme::light);
    // Mid-grey windows: lightness 127 is dark, 128 light.
    EXPECT_EQ(colorSchemeOfPalette(paletteWithWindow(QColor(127, 127, 127))), ColorScheme::dark);
    EXPECT_EQ(colorSchemeOfPalette(paletteWithWindow(QColor(128, 128, 128))), ColorScheme::light);

    EXPECT_EQ(decideColorScheme(std::nullopt, std::nullopt, darkPalette), ColorScheme::dark);
    EXPECT_EQ(decideColorScheme(std::nullopt, ColorScheme::light, darkPalette), ColorScheme::light);
    EXPECT_EQ(decideColorScheme(std::nullopt, ColorScheme::dark, lightPalette), ColorScheme::dark);
    EXPECT_EQ(decideColorScheme(ColorScheme::light, ColorScheme::dark, darkPalette),
              ColorScheme::light);
    EXPECT_EQ(decideColorScheme(ColorScheme::dark, std::nullopt, lightPalette), ColorScheme::dark);

    EXPECT_EQ(colorSchemeOverride("dark"), ColorScheme::dark);
    EXPECT_EQ(colorSchemeOverride("light"), ColorScheme::light);
    for (const char* nothing : {"", "Dark", "auto", "dark "})
        EXPECT_EQ(colorSchemeOverride(nothing), std::nullopt) << nothing;
}

TEST(DesktopAppearance, ReadsThePortalsColourSchemeThroughItsVariants) {
    const auto wrap = [](QVariant v) { return QVariant::fromValue(QDBusVariant(v)); };
    // SettingChanged hands one variant, Read a variant inside a variant.
    EXPECT_EQ(colorSchemeOfPortalValue(wrap(QVariant(1u))), ColorScheme::dark);
    EXPECT_EQ(colorSchemeOfPortalValue(wrap(wrap(QVariant(2u)))), ColorScheme::light);
    EXPECT_EQ(colorSchemeOfPortalValue(QVariant(1u)), ColorScheme::dark);
    // No preference, an unknown value, or not a number: the palette decides.
    EXPECT_EQ(colorSchemeOfPortalValue(wrap(wrap(QVariant(0u)))), std::nullopt);
    EXPECT_EQ(colorSchemeOfPortalValue(wrap(QVariant(7u))), std::nullopt);
    EXPECT_EQ(colorSchemeOfPortalValue(wrap(QVariant(QStringLiteral("1")))), std::nullopt);
    EXPECT_EQ(colorSchemeOfPortalValue(QVariant()), std::nullopt);
    // Wrapped deeper than any portal does: not the setting.
    EXPECT_EQ(colorSchemeOfPortalValue(wrap(wrap(wrap(wrap(wrap(QVariant(1u))))))), std::nullopt);
}

TEST(DesktopAppearance, FollowsTheApplicationPaletteUnlessForced) {
    SchemeEnvironment keep;
    QApplication::setPalette(paletteWithWindow(QColor(0xef, 0xef, 0xef)));
    {
        DesktopAppearance appearance;
        EXPECT_EQ(appearance.scheme(), ColorScheme::light);
        EXPECT_EQ(DesktopAppearance::current(), &appearance);
        QSignalSpy changed(&appearance, &DesktopAppearance::changed);
        QApplication::setPalette(paletteWithWindow(QColor(0x20, 0x20, 0x22)));
        EXPECT_EQ(appearance.scheme(), ColorScheme::dark);
        EXPECT_EQ(changed.count(), 1);
        // A palette change that keeps the scheme is no change.
        QApplication::setPalette(paletteWithWindow(QColor(0x30, 0x30, 0x30)));
        EXPECT_EQ(changed.count(), 1);
        QApplication::setPalette(paletteWithWindow(QColor(0xfa, 0xfa, 0xfa)));
        EXPECT_EQ(appearance.scheme(), ColorScheme::light);
        EXPECT_EQ(changed.count(), 2);
        EXPECT_STREQ(appearance.name(), "light");
    }
    EXPECT_EQ(DesktopAppearance::current(), nullptr);

    ::setenv("QUILLET_COLOR_SCHEME", "dark", 1);
    DesktopAppearance forced;
    EXPECT_EQ(forced.scheme(), ColorScheme::dark);
    QSignalSpy changed(&forced, &DesktopAppearance::changed);
    QApplication::setPalette(paletteWithWindow(QColor(0xfa, 0xfa, 0xfa)));
    EXPECT_EQ(forced.scheme(), ColorScheme::dark) << "the override holds against the palette";
    EXPECT_EQ(changed.count(), 0);
}

TEST(DesktopAppearance, EachSchemeDrawsTextThatStandsOutFromItsBackground) {
    for (auto scheme : {ColorScheme::light, ColorScheme::dark}) {
        const auto strip = stripColors(scheme);
        const auto menus = menuPalette(scheme);
        const bool dark = scheme == ColorScheme::dark;
        EXPECT_EQ(strip.background.lightness() < 128, dark);
        EXPECT_GT(std::abs(strip.foreground.lightness() - strip.background.lightness()), 150);
        EXPECT_EQ(menus.color(QPalette::Window).lightness() < 128, dark);
        EXPECT_GT(std::abs(menus.color(QPalette::WindowText).lightness() -
                           menus.color(QPalette::Window).lightness()),
                  150);
        // The strip and its menus are one palette: the same side of the scale.
        EXPECT_EQ(colorSchemeOfPalette(menus), scheme);
    }
}

} // namespace
} // namespace desktop
