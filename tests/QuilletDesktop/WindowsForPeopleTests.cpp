// The settings and sign-in windows as people use them on the desktop: the keyboard reaches every
// control and closes the window, a window that is not resizable keeps its size, a closed window
// nobody holds is freed with its view, `--status` lists the shown windows' controls, and the
// texts use the desktop's words.
#include "tests/Desktop/DesktopTestSupport.h"
#include "tests/Desktop/HostTestSupport.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Windows/DesktopViews.h"
#include "Platform/Desktop/Windows/DesktopWindow.h"
#include "Platform/NotificationCenter.h"
#include "Quillet/Account/SignInWindowView.h"
#include "Quillet/Settings/SettingsView.h"
#include "QuilletDesktop/AccountViewAdapters.h"

#include <QApplication>
#include <QPointer>
#include <QQuickItem>
#include <QTest>
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

namespace desktop {
namespace {

using platform::windowstyle::closable;
using platform::windowstyle::miniaturizable;
using platform::windowstyle::resizable;
using platform::windowstyle::titled;

struct Fixture {
    test::TempDir dir;
    std::unique_ptr<DesktopHost> host;

    Fixture() { host = std::make_unique<DesktopHost>(test::isolatedHostOptions(dir, {})); }

    std::shared_ptr<platform::Window> make(std::uint64_t style, platform::Size size) {
        platform::WindowAttributes a;
        a.styleMask = style;
        a.title = "Quillet";
        auto window = host->makeWindow(a, false);
        window->setFrame({{100, 100}, size});
        return window;
    }
    // Shown as the application shows it, made key so that its scene has the keyboard.
    std::shared_ptr<platform::Window> show(std::shared_ptr<platform::ViewModel> model,
                                           std::uint64_t style, platform::Size size) {
        auto window = make(style, size);
        window->setContentView(std::move(model));
        window->makeKeyAndOrderFront();
        auto* widget = dynamic_cast<DesktopWindow&>(*window).widget();
        QApplication::setActiveWindow(widget);
        EXPECT_TRUE(QTest::qWaitForWindowActive(widget));
        return window;
    }
    static ViewQuickWidget* scene(platform::Window& window) {
        return dynamic_cast<DesktopWindow&>(window).scene();
    }
    static QQuickItem* named(platform::Window& window, const QString& name) {
        auto items = scene(window)->itemsNamed(name);
        return items.empty() ? nullptr : items.front();
    }
    // The objectName of the item that has the keyboard focus.
    static QString focused(platform::Window& window) {
        auto* item = scene(window)->quickWindow()->activeFocusItem();
        while (item && item->objectName().isEmpty())
            item = item->parentItem();
        return item ? item->objectName() : QString();
    }
    static void key(platform::Window& window, int key,
                    Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        QTest::keyClick(scene(window), static_cast<Qt::Key>(key), modifiers);
    }
    nlohmann::json status() const { return nlohmann::json::parse(host->statusJSON()); }
};

TEST(WindowsForPeople, TheSettingsWindowIsUsedWithTheKeyboardAlone) {
    Fixture f;
    auto model = quillet::SettingsView::create({}, nullptr, nullptr);
    auto window = f.show(model, titled | closable | miniaturizable, {420, 600});
    ASSERT_TRUE(f.scene(*window));
    // The first control has the focus when the window opens; Tab goes through the controls in
    // visual order (the disabled update button is passed over), Shift+Tab back.
    EXPECT_EQ(f.focused(*window), "launchAtLogin");
    // The section "Always hidden and hotkeys" follows the hover switch; its "Clear" buttons are
    // passed over while there is nothing to clear.
    const QStringList order = {"autoRehide",
                               "hoverPreview",
                               "alwaysHidden",
                               "toggleHotkeyKeys",
                               "alwaysHiddenHotkeyKeys",
                               "accountButton",
                               "betaUpdates",
                               "quit",
                               "launchAtLogin"};
    for (const auto& next : order) {
        f.key(*window, Qt::Key_Tab);
        EXPECT_EQ(f.focused(*window), next);
    }
    f.key(*window, Qt::Key_Backtab);
    EXPECT_EQ(f.focused(*window), "quit");

    // Space and Return flip the focused switch.
    f.key(*window, Qt::Key_Tab);
    auto* launch = f.named(*window, "launchAtLogin");
    const bool before = launch->property("checked").toBool();
    f.key(*window, Qt::Key_Space);
    EXPECT_NE(launch->property("checked").toBool(), before);
    f.key(*window, Qt::Key_Return);
    EXPECT_EQ(launch->property("checked").toBool(), before);

    // --status lists the window and its controls by name, with the focus where it is.
    const auto s = f.status();
    ASSERT_EQ(s["windows"].size(), 1u);
    const auto& w = s["windows"][0];
    EXPECT_EQ(w["title"], "Quillet");
    EXPECT_EQ(w["fixedSize"], true);
    std::map<std::string, nlohmann::json> controls;
    for (const auto& c : w["controls"])
        controls[c["name"].get<std::string>()] = c;
    ASSERT_TRUE(controls.count("Launch at Login"));
    EXPECT_EQ(controls["Launch at Login"]["role"], "check box");
    EXPECT_EQ(controls["Launch at Login"]["focused"], true);
    EXPECT_EQ(controls["Auto-rehide"]["role"], "combo box");
    EXPECT_EQ(controls["Sign In\u2026"]["role"], "push button");
    EXPECT_EQ(controls["Sign In\u2026"]["focused"], false);
    EXPECT_EQ(controls["Check for Updates\u2026"]["enabled"], false);
    EXPECT_EQ(controls["Get early-access updates"]["role"], "check box");
    EXPECT_EQ(controls["Quit Quillet"]["role"], "push button");
    EXPECT_EQ(controls["Not signed in"]["role"], "label");
    EXPECT_GT(controls["Quit Quillet"]["frame"]["width"].get<double>(), 0);

    // Escape closes the window as its close button does: the will-close notification first.
    int willClose = 0;
    auto token = f.host->notificationCenter().addObserver(platform::windowWillCloseNotification,
                                                          window.get(), [&] { ++willClose; });
    f.key(*window, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(willClose, 1);
    EXPECT_TRUE(f.status()["windows"].empty());
    // Shown again, Ctrl+W closes it too.
    window->makeKeyAndOrderFront();
    ASSERT_TRUE(window->isVisible());
    QApplication::setActiveWindow(dynamic_cast<DesktopWindow&>(*window).widget());
    f.key(*window, Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(willClose, 2);
    f.host->notificationCenter().removeObserver(token);
}

TEST(WindowsForPeople, TheSignInWindowStartsASignInFromTheKeyboard) {
    Fixture f;
    // No host window: a press ends in the "couldn't start" error line, so a press shows.
    auto model =
        quillet::SignInWindowView::create(nullptr, nullptr, nullptr, [] { return nullptr; });
    auto window = f.show(model, titled | closable, {520, 640});
    ASSERT_TRUE(f.scene(*window));
    EXPECT_EQ(f.focused(*window), "provider-Sign in with Apple");
    f.key(*window, Qt::Key_Tab);
    EXPECT_EQ(f.focused(*window), "provider-Sign in with Google");
    f.key(*window, Qt::Key_Tab);
    EXPECT_EQ(f.focused(*window), "provider-Continue with email");
    f.key(*window, Qt::Key_Tab);
    EXPECT_EQ(f.focused(*window), "link-Privacy Policy");
    f.key(*window, Qt::Key_Tab);
    EXPECT_EQ(f.focused(*window), "link-Terms of Service");
    f.key(*window, Qt::Key_Backtab);
    f.key(*window, Qt::Key_Backtab);
    f.key(*window, Qt::Key_Backtab);
    EXPECT_EQ(f.focused(*window), "provider-Sign in with Google");

    // What a screen reader is told: the shown buttons and links, not the hidden "Retry".
    const auto controls = f.status()["windows"][0]["controls"];
    std::vector<std::pair<std::string, std::string>> listed;
    for (const auto& c : controls)
        listed.emplace_back(c["name"], c["role"]);
    const std::vector<std::pair<std::string, std::string>> shown = {
        {"Sign in with Apple", "push button"},
        {"Sign in with Google", "push button"},
        {"Continue with email", "push button"},
        {"Privacy Policy", "link"},
        {"Terms of Service", "link"}};
    EXPECT_EQ(listed, shown);

    auto* error = f.named(*window, "errorMessage");
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->isVisible());
    f.key(*window, Qt::Key_Return);
    ASSERT_TRUE(test::spinUntil([&] { return error->isVisible(); }));
    EXPECT_EQ(error->property("text").toString(),
              QStringLiteral("Couldn't start sign-in. Please try again."));

    f.key(*window, Qt::Key_Escape);
    EXPECT_FALSE(window->isVisible());
}

TEST(WindowsForPeople, AWindowThatIsNotResizableKeepsItsSizeAndHasNoMaximiseButton) {
    Fixture f;
    auto fixed = f.make(titled | closable | miniaturizable, {420, 600});
    auto* widget = dynamic_cast<DesktopWindow&>(*fixed).widget();
    EXPECT_EQ(widget->minimumSize(), QSize(420, 600));
    EXPECT_EQ(widget->maximumSize(), QSize(420, 600));
    EXPECT_FALSE(widget->windowFlags() & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(widget->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_TRUE(widget->windowFlags() & Qt::WindowCloseButtonHint);
    // A later frame is the new fixed size.
    fixed->setFrame({{100, 100}, {520, 640}});
    EXPECT_EQ(widget->minimumSize(), QSize(520, 640));
    EXPECT_EQ(widget->maximumSize(), QSize(520, 640));
    auto closeOnly = f.make(titled | closable, {520, 640});
    auto* closeOnlyWidget = dynamic_cast<DesktopWindow&>(*closeOnly).widget();
    EXPECT_FALSE(closeOnlyWidget->windowFlags() & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(closeOnlyWidget->windowFlags() & Qt::WindowMaximizeButtonHint);

    auto sizable = f.make(titled | closable | resizable, {420, 600});
    auto* sizableWidget = dynamic_cast<DesktopWindow&>(*sizable).widget();
    EXPECT_NE(sizableWidget->minimumSize(), sizableWidget->maximumSize());
    EXPECT_TRUE(sizableWidget->windowFlags() & Qt::WindowMaximizeButtonHint);
}

TEST(WindowsForPeople, AClosedWindowNobodyHoldsIsFreedWithItsViewAndAdapter) {
    Fixture f;
    std::weak_ptr<quillet::SignInWindowView> weakModel;
    QPointer<QWidget> widget;
    QPointer<QObject> adapter;
    {
        auto model =
            quillet::SignInWindowView::create(nullptr, nullptr, nullptr, [] { return nullptr; });
        weakModel = model;
        // Its owner lets go of it while it closes, as the application does with the sign-in
        // window.
        auto window = f.show(model, titled | closable, {520, 640});
        widget = dynamic_cast<DesktopWindow&>(*window).widget();
        adapter = f.scene(*window)->findChild<quilletdesktop::SignInWindowViewAdapter*>();
        ASSERT_TRUE(adapter);
        std::shared_ptr<platform::Window> held = window;
        window.reset();
        model.reset();
        auto token = f.host->notificationCenter().addObserver(
            platform::windowWillCloseNotification, held.get(), [&held] { held.reset(); });
        QTest::keyClick(f.scene(*held), Qt::Key_Escape);
        EXPECT_FALSE(held);
        f.host->notificationCenter().removeObserver(token);
    }
    EXPECT_TRUE(weakModel.expired()) << "the view model went with its window";
    EXPECT_TRUE(f.host->application().windows().empty());
    ASSERT_TRUE(test::spinUntil([&] {
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        return widget.isNull() && adapter.isNull();
    }));
}

TEST(WindowsForPeople, TheDesktopNamesItsOwnModifierAndComputer) {
    Fixture f;
    EXPECT_EQ(quilletdesktop::SettingsViewAdapter::hintText(),
              QStringLiteral("Ctrl-drag menu bar icons to the LEFT of the dot, then click the "
                             "chevron to tuck them away."));
    EXPECT_EQ(quillet::SignInWindowView::valueProp(),
              "Tidy your menu bar, on every computer you use.");
}

} // namespace
} // namespace desktop
