// The desktop's light or dark colour scheme and the one set of colours that the strip, its
// menus and the views draw with. Decided by QUILLET_COLOR_SCHEME, else the desktop portal's
// colour-scheme setting, else the application palette. Main thread only.
#pragma once

#include <QColor>
#include <QObject>
#include <QPalette>
#include <QVariant>
#include <optional>
#include <string_view>

class QDBusVariant;

namespace desktop {

enum class ColorScheme { light, dark };

// QUILLET_COLOR_SCHEME's value: "dark" or "light"; anything else forces nothing.
std::optional<ColorScheme> colorSchemeOverride(std::string_view value);
// A palette whose window colour is dark (lightness below the middle) is a dark scheme.
ColorScheme colorSchemeOfPalette(const QPalette& palette);
// org.freedesktop.appearance color-scheme as the portal hands it out (a number, possibly
// wrapped in one or more D-Bus variants): 1 prefers dark, 2 prefers light; 0 (no preference)
// and anything else say nothing.
std::optional<ColorScheme> colorSchemeOfPortalValue(const QVariant& value);
// The override wins, then the portal's preference, then the palette.
ColorScheme decideColorScheme(std::optional<ColorScheme> forced, std::optional<ColorScheme> portal,
                              const QPalette& palette);

// The strip's colours: its translucent fill, its text and template images, a pressed item.
struct StripColors {
    QColor background;
    QColor foreground;
    QColor pressedFill;
};
StripColors stripColors(ColorScheme scheme);
// The palette of the strip's menus (the status menu, the main menu's submenus).
QPalette menuPalette(ColorScheme scheme);

class DesktopAppearance final : public QObject {
    Q_OBJECT
    // What the views' QML reads as `appearance`.
    Q_PROPERTY(bool dark READ dark NOTIFY changed)
    Q_PROPERTY(QColor windowBackground READ windowBackground NOTIFY changed)
    Q_PROPERTY(QColor material READ material NOTIFY changed)
    Q_PROPERTY(QColor label READ label NOTIFY changed)
    Q_PROPERTY(QColor secondaryLabel READ secondaryLabel NOTIFY changed)
    Q_PROPERTY(QColor fill READ fill NOTIFY changed)
    Q_PROPERTY(QColor separator READ separator NOTIFY changed)
    Q_PROPERTY(QColor control READ control NOTIFY changed)
    Q_PROPERTY(QColor controlOff READ controlOff NOTIFY changed)
    Q_PROPERTY(QColor base READ base NOTIFY changed)
    // Hover highlights are drawn in this colour at the view's opacity.
    Q_PROPERTY(QColor highlightTint READ highlightTint NOTIFY changed)

public:
    // Reads QUILLET_COLOR_SCHEME and the palette now, asks the portal (when a session bus is
    // there) without waiting, and follows palette changes and the portal's from then on.
    DesktopAppearance();
    ~DesktopAppearance() override;

    // The appearance of the running host, if one is made.
    static DesktopAppearance* current();

    ColorScheme scheme() const { return scheme_; }
    bool dark() const { return scheme_ == ColorScheme::dark; }
    StripColors strip() const { return stripColors(scheme_); }
    QPalette menus() const { return menuPalette(scheme_); }
    // "dark" or "light".
    const char* name() const { return dark() ? "dark" : "light"; }

    QColor windowBackground() const;
    QColor material() const;
    QColor label() const;
    QColor secondaryLabel() const;
    QColor fill() const;
    QColor separator() const;
    QColor control() const;
    QColor controlOff() const;
    QColor base() const;
    QColor highlightTint() const;

signals:
    // The scheme changed; everything drawn with it redraws.
    void changed();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private slots:
    void portalSettingChanged(const QString& ns, const QString& key, const QDBusVariant& value);

private:
    void askPortal();
    void decide();

    std::optional<ColorScheme> forced_;
    std::optional<ColorScheme> portal_;
    ColorScheme scheme_ = ColorScheme::dark;
};

} // namespace desktop
