// The sign-in and settings windows on the desktop: their QML scenes load, show what the view
// models say, and send taps back to them.
#include "tests/Desktop/DesktopTestSupport.h"
#include "tests/Desktop/HostTestSupport.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Windows/DesktopViews.h"
#include "Platform/Desktop/Windows/DesktopWindow.h"
#include "Quillet/Account/SignInWindowView.h"
#include "Quillet/Settings/SettingsView.h"

#include <QQuickItem>
#include <gtest/gtest.h>

namespace desktop {
namespace {

struct ViewFixture {
    test::TempDir dir;
    std::unique_ptr<DesktopHost> host;

    ViewFixture() {
        auto o = test::isolatedHostOptions(dir, {});
        host = std::make_unique<DesktopHost>(o);
    }

    // A shown window of `size` with `model` as its content.
    std::shared_ptr<platform::Window> show(std::shared_ptr<platform::ViewModel> model,
                                           platform::Size size) {
        platform::WindowAttributes a;
        a.contentRect = {{100, 100}, size};
        auto window = host->makeWindow(a, false);
        window->setContentView(std::move(model));
        window->orderFront();
        return window;
    }
    static QQuickItem* named(platform::Window& window, const char* name) {
        auto* scene = dynamic_cast<DesktopWindow&>(window).scene();
        if (!scene)
            return nullptr;
        auto items = scene->itemsNamed(QString::fromLatin1(name));
        return items.empty() ? nullptr : items.front();
    }
};

TEST(SignInWindowViewScene, ShowsTheProvidersAndTheErrorLineOfTheModel) {
    ViewFixture f;
    // No host window: a tap ends in the "couldn't start" error without sending anything.
    auto model =
        quillet::SignInWindowView::create(nullptr, nullptr, nullptr, [] { return nullptr; });
    auto window = f.show(model, {520, 640});
    ASSERT_NE(dynamic_cast<DesktopWindow&>(*window).scene(), nullptr) << "the QML loaded";
    EXPECT_TRUE(f.named(*window, "provider-Sign in with Apple"));
    EXPECT_TRUE(f.named(*window, "provider-Sign in with Google"));
    EXPECT_TRUE(f.named(*window, "provider-Continue with email"));
    EXPECT_TRUE(f.named(*window, "googleG"));
    auto* error = f.named(*window, "errorMessage");
    ASSERT_TRUE(error);
    EXPECT_FALSE(error->isVisible());
    auto* offline = f.named(*window, "offlineCard");
    ASSERT_TRUE(offline);
    EXPECT_FALSE(offline->isVisible());

    model->screen().tapProvider(corvane::OAuthDriver::ProviderHint::google);
    ASSERT_TRUE(test::spinUntil([&] { return error->isVisible(); }));
    EXPECT_EQ(error->property("text").toString(),
              QStringLiteral("Couldn't start sign-in. Please try again."));
    window->orderOut();
}

TEST(SettingsViewScene, ShowsTheVersionAndTheSignedOutAccountBox) {
    ViewFixture f;
    auto model = quillet::SettingsView::create({}, nullptr, nullptr);
    auto window = f.show(model, {420, 600});
    ASSERT_NE(dynamic_cast<DesktopWindow&>(*window).scene(), nullptr) << "the QML loaded";
    auto* version = f.named(*window, "versionString");
    ASSERT_TRUE(version);
    EXPECT_EQ(version->property("text").toString(),
              QString::fromStdString(quillet::SettingsView::versionString()));
    auto* account = f.named(*window, "accountText");
    ASSERT_TRUE(account);
    EXPECT_EQ(account->property("text").toString(), QStringLiteral("Not signed in"));
    auto* button = f.named(*window, "accountButton");
    ASSERT_TRUE(button);
    EXPECT_EQ(button->property("text").toString(), QStringLiteral("Sign In\u2026"));
    auto* update = f.named(*window, "checkForUpdates");
    ASSERT_TRUE(update);
    EXPECT_FALSE(update->isEnabled()) << "no update service";
    window->orderOut();
}

} // namespace
} // namespace desktop
