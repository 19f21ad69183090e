// The three sign-in provider buttons (Apple, Google, e-mail) in a light or a dark style, with a
// busy form (disabled, dimmed, with an optional "Cancel sign-in"). A view value: the host
// renders its presentation and calls tap() / tapCancel() for the user. Main thread only.
#pragma once

#include "CorvaneAccount/Auth/OAuthDriver.h"

#include <functional>
#include <string>
#include <vector>

namespace corvane {

// An sRGB colour, each component in 0…1.
struct CorvaneColor {
    double red = 0;
    double green = 0;
    double blue = 0;
    double opacity = 1;

    // "#AARRGGBB", as QML and CSS-like renderers read it.
    std::string argbHex() const;
    bool operator==(const CorvaneColor&) const = default;
};

// The buttons' look; each case carries the host's accent colour (drawn as the e-mail button's
// fill and the focus ring).
struct CorvaneProviderButtonStyle {
    enum class Kind { light, dark };
    Kind kind = Kind::light;
    CorvaneColor accent;

    static CorvaneProviderButtonStyle light(CorvaneColor accent) { return {Kind::light, accent}; }
    static CorvaneProviderButtonStyle dark(CorvaneColor accent) { return {Kind::dark, accent}; }
    bool isDark() const { return kind == Kind::dark; }
    bool operator==(const CorvaneProviderButtonStyle&) const = default;
};

// How one button is drawn.
struct CorvaneProviderButton {
    OAuthDriver::ProviderHint hint = OAuthDriver::ProviderHint::apple;
    std::string title;
    // A system symbol before the title; empty for the Google button, which draws GoogleGGlyph.
    std::string symbolName;
    double symbolPointSize = 0;
    // "medium" or "semibold".
    std::string symbolWeight;
    bool drawsGoogleGlyph = false;
    double titlePointSize = 14;
    CorvaneColor background;
    CorvaneColor foreground;
    // Drawn around light buttons on a light background, so they keep an edge.
    std::optional<CorvaneColor> border;
    std::string accessibilityLabel;
    bool isEnabled = true;
    double opacity = 1;
};

struct CorvaneProviderButtons {
    static constexpr double busyOpacity = 0.55;
    static constexpr const char* cancelTitle = "Cancel sign-in";
    static constexpr double cancelPointSize = 13;
    static constexpr double cancelOpacity = 0.65;
    static constexpr double cancelSpacing = 2;
    static constexpr double buttonHeight = 44;
    static constexpr double cornerRadius = 10;
    static constexpr double spacing = 10;

    CorvaneProviderButtonStyle style;
    bool isBusy = false;
    std::function<void()> onCancelPending;
    std::function<void(OAuthDriver::ProviderHint)> onTap;

    // Apple, Google, e-mail, in this order.
    std::vector<CorvaneProviderButton> buttons() const;
    // "Cancel sign-in" shows while busy when there is a cancel action.
    bool showsCancelButton() const { return isBusy && static_cast<bool>(onCancelPending); }

    // --- what the user does ---
    // A press of a provider button; a disabled (busy) button does nothing.
    void tap(OAuthDriver::ProviderHint hint) const;
    // A press of "Cancel sign-in"; nothing when it is not shown.
    void tapCancel() const;
};

} // namespace corvane
