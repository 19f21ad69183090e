// The strip on a real desktop: its colours, its template images and its menus follow the
// desktop's light or dark scheme, and the band it reserves at the top of the primary screen.
#include "tests/Desktop/DesktopTestSupport.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/StripWindow.h"
#include "Platform/Desktop/Windows/DesktopAppearance.h"
#include "Platform/Menu.h"

#include <QApplication>
#include <QKeyEvent>
#include <QMenu>
#include <QTimer>
#include <cstdlib>
#include <gtest/gtest.h>

namespace desktop {
namespace {

// Runs with QUILLET_COLOR_SCHEME set to `scheme` (unset for none) and restores it, and the
// application palette, afterwards.
struct ForcedScheme {
    std::optional<std::string> saved;
    QPalette palette = QApplication::palette();
    explicit ForcedScheme(const char* scheme) {
        if (const char* v = std::getenv("QUILLET_COLOR_SCHEME"))
            saved = v;
        if (scheme)
            ::setenv("QUILLET_COLOR_SCHEME", scheme, 1);
        else
            ::unsetenv("QUILLET_COLOR_SCHEME");
    }
    ~ForcedScheme() {
        if (saved)
            ::setenv("QUILLET_COLOR_SCHEME", saved->c_str(), 1);
        else
            ::unsetenv("QUILLET_COLOR_SCHEME");
        QApplication::setPalette(palette);
    }
};

struct Fixture {
    test::TempDir dir;
    std::unique_ptr<DesktopHost> host;
    std::shared_ptr<platform::StatusItem> toggle;
    Fixture() {
        DesktopHost::Options o;
        o.configDirectory = dir.sub("config");
        o.sampleItems = {};
        o.singleInstance = false;
        o.bundleDirectory = dir.path();
        o.autostartDirectory = dir.sub("autostart");
        host = std::make_unique<DesktopHost>(o);
        // No application name on the left: that end shows the strip's own colour.
        host->application().setActivationPolicy(platform::ActivationPolicy::accessory);
        toggle = host->statusBar().statusItem(platform::squareStatusItemLength);
        toggle->setAutosaveName("quillet.toggle");
        toggle->button()->setImage(host->symbols().systemSymbol("chevron.right", "Collapse"));
        strip().resize(800, 24);
    }
    StripWindow& strip() { return *host->desktopStatusBar().strip(); }
    QImage shot() { return strip().grab().toImage(); }
    // The strip's own colour where nothing is drawn (its left end, no application name).
    QColor background() { return shot().pixelColor(2, 12); }
    // The pixels of the chevron's template image: those far from the background.
    std::vector<QColor> chevronInk() {
        const QImage image = shot();
        const QColor back = image.pixelColor(2, 12);
        const QRect r = strip().localRect(toggle->button()->window()->frame());
        std::vector<QColor> out;
        for (int y = r.top(); y <= r.bottom(); ++y)
            for (int x = r.left(); x <= r.right(); ++x)
                if (std::abs(image.pixelColor(x, y).lightness() - back.lightness()) > 100)
                    out.push_back(image.pixelColor(x, y));
        return out;
    }
};

bool near(const QColor& a, const QColor& b, int tolerance = 3) {
    return std::abs(a.red() - b.red()) <= tolerance &&
           std::abs(a.green() - b.green()) <= tolerance &&
           std::abs(a.blue() - b.blue()) <= tolerance &&
           std::abs(a.alpha() - b.alpha()) <= tolerance;
}

// The menu a click on the chevron opens, as drawn: its palette's window colour and a pixel of
// its background, then it is closed with Escape.
struct ShownMenu {
    QColor paletteWindow;
    QColor pixel;
};
ShownMenu showStatusMenu(Fixture& f) {
    auto menu = std::make_shared<platform::Menu>();
    menu->addItem({"Show Hidden Items", [] {}, "", platform::ControlState::off});
    menu->addItem({"Quit Quillet", [] {}, "q", platform::ControlState::off});
    ShownMenu shown;
    QTimer::singleShot(0, [&] {
        auto* popup = qobject_cast<QMenu*>(QApplication::activePopupWidget());
        if (!popup)
            return;
        shown.paletteWindow = popup->palette().color(QPalette::Window);
        const QImage image = popup->grab().toImage();
        shown.pixel = image.pixelColor(image.width() / 2, image.height() - 3);
        QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
        QApplication::sendEvent(popup, &escape);
    });
    f.toggle->setMenu(menu);
    f.toggle->button()->performClick();
    f.toggle->setMenu(nullptr);
    return shown;
}

TEST(StripAppearance, AForcedSchemeColoursTheStripItsTemplateImagesAndItsMenus) {
    for (const char* name : {"dark", "light"}) {
        SCOPED_TRACE(name);
        ForcedScheme forced(name);
        // Against the palette: the override must win.
        QPalette against;
        against.setColor(QPalette::Window, std::string(name) == "dark" ? QColor(0xef, 0xef, 0xef)
                                                                       : QColor(0x20, 0x20, 0x20));
        QApplication::setPalette(against);
        Fixture f;
        const bool dark = std::string(name) == "dark";
        const auto scheme = dark ? ColorScheme::dark : ColorScheme::light;
        EXPECT_EQ(f.host->appearance().scheme(), scheme);

        const auto expected = stripColors(scheme);
        EXPECT_TRUE(near(f.background(), expected.background))
            << f.background().name(QColor::HexArgb).toStdString();
        EXPECT_EQ(f.background().lightness() < 128, dark);

        // The chevron is a template image: drawn in the strip's foreground, light on dark and
        // dark on light.
        const auto ink = f.chevronInk();
        ASSERT_GT(ink.size(), 10u);
        for (const auto& c : ink)
            EXPECT_EQ(c.lightness() > 128, dark) << c.name(QColor::HexArgb).toStdString();

        const auto menu = showStatusMenu(f);
        EXPECT_EQ(menu.paletteWindow, menuPalette(scheme).color(QPalette::Window));
        EXPECT_EQ(menu.pixel.lightness() < 128, dark)
            << "the status menu is drawn " << menu.pixel.name().toStdString() << " under a " << name
            << " strip";
    }
}

TEST(StripAppearance, TheStripAndItsMenusFollowTheDesktopSwitchingScheme) {
    ForcedScheme none(nullptr);
    QPalette light;
    light.setColor(QPalette::Window, QColor(0xef, 0xef, 0xef));
    QPalette dark;
    dark.setColor(QPalette::Window, QColor(0x2a, 0x2a, 0x2c));
    QApplication::setPalette(light);
    Fixture f;
    EXPECT_TRUE(near(f.background(), stripColors(ColorScheme::light).background));
    EXPECT_GT(showStatusMenu(f).pixel.lightness(), 128);

    QApplication::setPalette(dark);
    EXPECT_TRUE(near(f.background(), stripColors(ColorScheme::dark).background));
    for (const auto& c : f.chevronInk())
        EXPECT_GT(c.lightness(), 128);
    EXPECT_LT(showStatusMenu(f).pixel.lightness(), 128);
    // --status says which.
    EXPECT_NE(f.host->statusJSON().find(R"("colorScheme":"dark")"), std::string::npos);
}

TEST(StripStrut, ReservesTheStripsBandAcrossThePrimaryScreen) {
    using Strut = std::array<std::uint32_t, 12>;
    // left, right, top, bottom, left y range, right y range, top x range, bottom x range.
    EXPECT_EQ(topStrut(QRect(0, 0, 1280, 800), 1, 24),
              (Strut{0, 0, 24, 0, 0, 0, 0, 0, 0, 1279, 0, 0}));
    // A primary screen right of and below another: the band starts at its own top edge.
    EXPECT_EQ(topStrut(QRect(1920, 120, 1280, 1024), 1, 24),
              (Strut{0, 0, 144, 0, 0, 0, 0, 0, 1920, 3199, 0, 0}));
    // Scaled twice: the band and the screen's width are in the root window's pixels.
    EXPECT_EQ(topStrut(QRect(0, 0, 1280, 800), 2, 24),
              (Strut{0, 0, 48, 0, 0, 0, 0, 0, 0, 2559, 0, 0}));
    EXPECT_EQ(topStrut(QRect(0, 0, 1280, 800), 1.25, 24),
              (Strut{0, 0, 30, 0, 0, 0, 0, 0, 0, 1599, 0, 0}));
    // No screen: nothing reserved.
    EXPECT_EQ(topStrut(QRect(), 1, 24), Strut{});
}

TEST(StripStrut, SitsBelowOtherPanelsAndNeverReservesAMonitorAbove) {
    using Strut = std::array<std::uint32_t, 12>;
    const QRect primary(0, 1080, 1920, 1080);
    // A monitor right above the primary: a top strut would reserve all of it.
    EXPECT_EQ(topStrut(primary, 1, 24, 1080, {QRect(0, 0, 1920, 1080)}), Strut{});
    // One above part of it: the rest of the width is reserved.
    EXPECT_EQ(topStrut(primary, 1, 24, 1080, {QRect(0, 0, 1280, 1024)}),
              (Strut{0, 0, 1104, 0, 0, 0, 0, 0, 1280, 1919, 0, 0}));
    // Beside it, not above: no matter.
    EXPECT_EQ(topStrut(primary, 1, 24, 1080, {QRect(1920, 0, 1280, 1024)}),
              (Strut{0, 0, 1104, 0, 0, 0, 0, 0, 0, 1919, 0, 0}));
    // Below another desktop's 32-pixel panel: the band ends 24 below it.
    EXPECT_EQ(topStrut(QRect(0, 0, 1920, 1080), 1, 24, 32),
              (Strut{0, 0, 56, 0, 0, 0, 0, 0, 0, 1919, 0, 0}));

    // The top others leave: the work area's, unless that is only the strip's own band.
    const QRect screen(0, 0, 1920, 1080);
    EXPECT_EQ(stripTop(screen, QRect(0, 32, 1920, 1048), std::nullopt, std::nullopt), 32);
    EXPECT_EQ(stripTop(screen, QRect(0, 56, 1920, 1024), 56, 32), 32);
    EXPECT_EQ(stripTop(screen, QRect(0, 0, 1920, 1080), 24, 0), 0) << "the panel went";
    EXPECT_EQ(stripTop(screen, QRect(0, 600, 1920, 480), std::nullopt, std::nullopt), 0)
        << "no panel is that tall";
}

} // namespace
} // namespace desktop
