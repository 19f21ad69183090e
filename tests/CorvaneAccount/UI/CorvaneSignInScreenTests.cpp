#include "CorvaneAccount/UI/CorvaneSignInScreen.h"
#include "CorvaneAccount/UI/GoogleGGlyph.h"

#include <gtest/gtest.h>

#include <cmath>
#include <vector>

using namespace corvane;
using Hint = OAuthDriver::ProviderHint;
using Phase = CorvaneSignInScreen::Phase;

namespace {

constexpr CorvaneColor accent{163 / 255.0, 230 / 255.0, 53 / 255.0, 1};

// WCAG relative luminance and contrast ratio of two opaque colours.
double luminance(const CorvaneColor& c) {
    auto lin = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * lin(c.red) + 0.7152 * lin(c.green) + 0.0722 * lin(c.blue);
}
double contrast(const CorvaneColor& a, const CorvaneColor& b) {
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

struct Recorder {
    std::vector<Hint> taps;
    int cancels = 0;
    int retries = 0;

    CorvaneSignInScreen screen(Phase phase, CorvaneProviderButtonStyle style,
                               bool withCancel = true) {
        CorvaneSignInScreen s;
        s.appName = "Quillet";
        s.valueProp = "Tidy menu bar";
        s.style = style;
        s.phase = std::move(phase);
        s.privacyURL = "https://corvane.com/privacy/quillet";
        s.termsURL = "https://corvane.com/terms/quillet";
        s.onTap = [this](Hint h) { taps.push_back(h); };
        if (withCancel)
            s.onCancel = [this] { ++cancels; };
        s.onRetry = [this] { ++retries; };
        return s;
    }
};

TEST(CorvaneSignInScreen, ReadyOffersTheThreeProvidersInOrder) {
    Recorder r;
    auto s = r.screen(Phase::ready(), CorvaneProviderButtonStyle::light(accent));
    auto buttons = s.providerButtons();
    ASSERT_TRUE(buttons);
    auto list = buttons->buttons();
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(list[0].title, "Sign in with Apple");
    EXPECT_EQ(list[0].symbolName, "apple.logo");
    EXPECT_EQ(list[1].title, "Sign in with Google");
    EXPECT_TRUE(list[1].drawsGoogleGlyph);
    EXPECT_EQ(list[2].title, "Continue with email");
    EXPECT_EQ(list[2].symbolName, "envelope.fill");
    for (const auto& b : list) {
        EXPECT_EQ(b.accessibilityLabel, b.title);
        EXPECT_TRUE(b.isEnabled);
        EXPECT_EQ(b.opacity, 1.0);
    }
    s.tapProvider(Hint::apple);
    s.tapProvider(Hint::google);
    s.tapProvider(Hint::email);
    EXPECT_EQ(r.taps, (std::vector<Hint>{Hint::apple, Hint::google, Hint::email}));
    EXPECT_FALSE(s.progressText());
    EXPECT_FALSE(s.errorMessage());
    EXPECT_FALSE(s.showsOfflineCard());
    EXPECT_FALSE(buttons->showsCancelButton());
    s.tapRetry();
    EXPECT_EQ(r.retries, 0) << "no offline card, no retry";
}

TEST(CorvaneSignInScreen, BusyDisablesTheButtonsAndOffersCancelOnlyWhenGiven) {
    Recorder r;
    auto s = r.screen(Phase::busy(), CorvaneProviderButtonStyle::dark(accent));
    auto buttons = s.providerButtons();
    ASSERT_TRUE(buttons);
    for (const auto& b : buttons->buttons()) {
        EXPECT_FALSE(b.isEnabled);
        EXPECT_DOUBLE_EQ(b.opacity, 0.55);
    }
    EXPECT_EQ(s.progressText(), "Signing in to Quillet\u2026");
    s.tapProvider(Hint::google);
    EXPECT_TRUE(r.taps.empty()) << "disabled buttons take no taps";
    EXPECT_TRUE(buttons->showsCancelButton());
    s.tapCancel();
    EXPECT_EQ(r.cancels, 1);

    auto noCancel = r.screen(Phase::busy(), CorvaneProviderButtonStyle::dark(accent), false);
    EXPECT_FALSE(noCancel.providerButtons()->showsCancelButton());
    noCancel.tapCancel();
    EXPECT_EQ(r.cancels, 1);
}

TEST(CorvaneSignInScreen, OfflineShowsOnlyTheCardAndErrorShowsItsMessageUnderTheButtons) {
    Recorder r;
    auto offline = r.screen(Phase::offline(), CorvaneProviderButtonStyle::light(accent));
    EXPECT_FALSE(offline.providerButtons());
    EXPECT_TRUE(offline.showsOfflineCard());
    offline.tapProvider(Hint::apple);
    EXPECT_TRUE(r.taps.empty());
    offline.tapRetry();
    EXPECT_EQ(r.retries, 1);

    auto error =
        r.screen(Phase::error("Server error (500)"), CorvaneProviderButtonStyle::light(accent));
    EXPECT_EQ(error.errorMessage(), "Server error (500)");
    ASSERT_TRUE(error.providerButtons());
    EXPECT_FALSE(error.providerButtons()->isBusy);
    EXPECT_NE(error.errorColor(),
              r.screen(Phase::error("x"), CorvaneProviderButtonStyle::dark(accent)).errorColor());
    EXPECT_NE(Phase::error("a"), Phase::error("b"));
    EXPECT_NE(Phase::ready(), Phase::busy());
}

TEST(CorvaneSignInScreen, BothStylesKeepEveryTextReadable) {
    for (auto style :
         {CorvaneProviderButtonStyle::light(accent), CorvaneProviderButtonStyle::dark(accent)}) {
        Recorder r;
        auto s = r.screen(Phase::error("x"), style);
        for (const auto& b : s.providerButtons()->buttons())
            EXPECT_GE(contrast(b.foreground, b.background), 4.5)
                << b.title << " dark=" << style.isDark();
        EXPECT_GE(contrast(s.textColor(), s.backgroundColor()), 4.5);
        EXPECT_GE(contrast(s.errorColor(), s.backgroundColor()), 4.5) << "dark=" << style.isDark();
    }
    // Apple's button inverts between the styles.
    Recorder r;
    auto light = r.screen(Phase::ready(), CorvaneProviderButtonStyle::light(accent))
                     .providerButtons()
                     ->buttons();
    auto dark = r.screen(Phase::ready(), CorvaneProviderButtonStyle::dark(accent))
                    .providerButtons()
                    ->buttons();
    EXPECT_EQ(light[0].background, (CorvaneColor{0, 0, 0, 1}));
    EXPECT_EQ(dark[0].background, (CorvaneColor{1, 1, 1, 1}));
}

TEST(GoogleGGlyph, TheRingIsClosedButForTheBarOpening) {
    GoogleGGlyph g;
    auto arcs = g.arcs();
    ASSERT_EQ(arcs.size(), 4u);
    for (std::size_t i = 1; i < arcs.size(); ++i)
        EXPECT_DOUBLE_EQ(arcs[i].startDegrees, arcs[i - 1].endDegrees) << "segments meet";
    EXPECT_DOUBLE_EQ(arcs.front().startDegrees, 0);
    EXPECT_LT(arcs.back().endDegrees, 360) << "an opening is left at the top right";
    EXPECT_EQ(g.barColor(), arcs.front().color);
    EXPECT_GT(g.radius(), 0);
    EXPECT_EQ(CorvaneColor({1, 0, 0.5, 1}).argbHex(), "#FFFF0080");
}

} // namespace
