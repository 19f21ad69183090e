#include "CorvaneAccount/UI/CorvaneProviderButtons.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace corvane {

namespace {

constexpr CorvaneColor white{1, 1, 1, 1};
constexpr CorvaneColor black{0, 0, 0, 1};
// Text on light buttons, and the dark style's Google button.
constexpr CorvaneColor nearBlack{0.11, 0.11, 0.12, 1};
constexpr CorvaneColor darkButton{0.17, 0.17, 0.18, 1};
constexpr CorvaneColor lightText{0.95, 0.95, 0.96, 1};
constexpr CorvaneColor lightBorder{0, 0, 0, 0.18};

int channel(double v) {
    return static_cast<int>(std::lround(std::clamp(v, 0.0, 1.0) * 255));
}

} // namespace

std::string CorvaneColor::argbHex() const {
    char text[10];
    std::snprintf(text, sizeof text, "#%02X%02X%02X%02X", channel(opacity), channel(red),
                  channel(green), channel(blue));
    return text;
}

std::vector<CorvaneProviderButton> CorvaneProviderButtons::buttons() const {
    using Hint = OAuthDriver::ProviderHint;
    const bool dark = style.isDark();
    const double opacity = isBusy ? busyOpacity : 1.0;

    auto make = [](Hint hint, const char* title, const char* symbol, double size,
                   const char* weight) {
        CorvaneProviderButton b;
        b.hint = hint;
        b.title = title;
        b.symbolName = symbol;
        b.symbolPointSize = size;
        b.symbolWeight = weight;
        return b;
    };
    auto apple = make(Hint::apple, "Sign in with Apple", "apple.logo", 17, "medium");
    // Black on the light style, white on the dark one.
    apple.background = dark ? white : black;
    apple.foreground = dark ? nearBlack : white;

    auto google = make(Hint::google, "Sign in with Google", "", 0, "");
    google.drawsGoogleGlyph = true;
    google.background = dark ? darkButton : white;
    google.foreground = dark ? lightText : nearBlack;
    if (!dark)
        google.border = lightBorder;

    auto email = make(Hint::email, "Continue with email", "envelope.fill", 16, "semibold");
    // The host's accent colour carries the e-mail button; dark text stays readable on it.
    email.background = style.accent;
    email.foreground = nearBlack;

    std::vector<CorvaneProviderButton> all{apple, google, email};
    for (auto& b : all) {
        b.accessibilityLabel = b.title;
        b.isEnabled = !isBusy;
        b.opacity = opacity;
    }
    return all;
}

void CorvaneProviderButtons::tap(OAuthDriver::ProviderHint hint) const {
    if (isBusy || !onTap)
        return;
    onTap(hint);
}

void CorvaneProviderButtons::tapCancel() const {
    if (showsCancelButton())
        onCancelPending();
}

} // namespace corvane
