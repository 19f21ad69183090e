// Global shortcuts through the desktop portal, where no X server grabs keys: against a stand-in
// portal on a private bus, the set is bound in one session per change, presses of the current
// session reach their actions, and presses for a closed session or a removed shortcut do not.
#include "Platform/Desktop/Services/DesktopHotkeys.h"
#include "Platform/Desktop/Services/PortalShortcuts.h"
#include "tests/Desktop/PrivateBus.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QProcess>
#include <QProcessEnvironment>

#include <gtest/gtest.h>

using desktop::DesktopHotkeys;
using desktop::portalTrigger;
using desktop::test::PrivateBus;
using desktop::test::spinUntil;
using Result = platform::Hotkeys::Result;

namespace {

TEST(PortalShortcuts, TriggersAreWrittenInThePortalsKeyNames) {
    EXPECT_EQ(portalTrigger("Ctrl+Alt+H"), "CTRL+ALT+h");
    EXPECT_EQ(portalTrigger("Meta+F5"), "LOGO+F5");
    EXPECT_EQ(portalTrigger("Ctrl+Shift++"), "CTRL+SHIFT+plus");
    EXPECT_EQ(portalTrigger("Alt+Space"), "ALT+space");
    EXPECT_EQ(portalTrigger("Ctrl+PgDown"), "CTRL+Page_Down");
    EXPECT_EQ(portalTrigger("Ctrl+7"), "CTRL+7");
    EXPECT_FALSE(portalTrigger("Ctrl+\u00e9"));
}

// The stand-in portal on the test's bus, with what it printed.
class FakePortal {
public:
    FakePortal(const QString& bus, QStringList arguments = {}) {
        auto env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus);
        process_.setProcessEnvironment(env);
        process_.start(QStringLiteral(QUILLET_FAKE_SHORTCUTS_PORTAL), arguments);
        process_.waitForStarted(5000);
        waitFor("ready");
    }
    ~FakePortal() {
        process_.kill();
        process_.waitForFinished(5000);
    }
    bool waitFor(const QString& prefix) {
        return spinUntil([&] {
            read();
            for (const auto& l : lines_)
                if (l.startsWith(prefix))
                    return true;
            return false;
        });
    }
    QStringList linesStartingWith(const QString& prefix) {
        read();
        QStringList out;
        for (const auto& l : lines_)
            if (l.startsWith(prefix))
                out << l;
        return out;
    }

private:
    void read() {
        while (process_.canReadLine())
            lines_ << QString::fromUtf8(process_.readLine()).trimmed();
    }
    QProcess process_;
    QStringList lines_;
};

void activate(QDBusConnection& bus, const QString& id, const QString& session = {}) {
    auto call = QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.portal.Desktop"),
                                               QStringLiteral("/org/freedesktop/portal/desktop"),
                                               QStringLiteral("org.quillet.test.FakePortal"),
                                               session.isEmpty() ? QStringLiteral("Activate")
                                                                 : QStringLiteral("ActivateIn"));
    if (!session.isEmpty())
        call << QVariant::fromValue(QDBusObjectPath(session));
    call << id;
    bus.call(call);
}

TEST(PortalShortcuts, TheWholeSetIsBoundPerChangeAndOnlyTheCurrentSessionsPressesCount) {
    PrivateBus privateBus;
    REQUIRE_PRIVATE_BUS(privateBus);
    FakePortal portal(privateBus.address());
    auto bus = QDBusConnection::connectToBus(privateBus.address(), QStringLiteral("shortcuts"));
    ASSERT_TRUE(bus.isConnected());

    int toggles = 0, sections = 0;
    DesktopHotkeys hotkeys([](std::function<void()> action) { action(); }, bus);
    platform::Hotkeys::Token toggle = 0, section = 0, again = 0;
    ASSERT_EQ(hotkeys.registerHotkey(
                  "alt+ctrl+h", [&] { ++toggles; }, toggle),
              Result::registered);
    ASSERT_EQ(hotkeys.registerHotkey(
                  "Meta+F5", [&] { ++sections; }, section),
              Result::registered);
    EXPECT_EQ(hotkeys.registerHotkey(
                  "Ctrl+Alt+H", [] {}, again),
              Result::taken);

    // Both in one session: the two registrations of one turn make one binding.
    ASSERT_TRUE(portal.waitFor("bound "));
    spinUntil([&] { return hotkeys.portal()->bound().size() == 2; });
    auto bound = portal.linesStartingWith("bound ");
    ASSERT_EQ(bound.size(), 1) << bound.join('\n').toStdString();
    const QString first = bound[0].section(' ', 1, 1);
    EXPECT_TRUE(bound[0].contains(QStringLiteral("=CTRL+ALT+h")));
    EXPECT_TRUE(bound[0].contains(QStringLiteral("=LOGO+F5")));
    const QString toggleId = QStringLiteral("quillet-%1").arg(toggle);
    const QString sectionId = QStringLiteral("quillet-%1").arg(section);
    EXPECT_EQ(hotkeys.portal()->bound().at(toggleId), QStringLiteral("CTRL+ALT+h"));

    activate(bus, toggleId);
    ASSERT_TRUE(spinUntil([&] { return toggles == 1; }));
    EXPECT_EQ(sections, 0);

    // Removing one closes the session and binds the rest anew; the removed one and presses
    // reported for the closed session reach nothing.
    hotkeys.unregisterHotkey(toggle);
    ASSERT_TRUE(portal.waitFor("closed " + first));
    ASSERT_TRUE(spinUntil([&] { return portal.linesStartingWith("bound ").size() == 2; }));
    const QString second = portal.linesStartingWith("bound ")[1];
    EXPECT_FALSE(second.contains(toggleId));
    EXPECT_TRUE(second.contains(sectionId + "=LOGO+F5"));
    spinUntil([&] { return hotkeys.portal()->bound().size() == 1; });
    activate(bus, toggleId);
    activate(bus, sectionId, first);
    activate(bus, sectionId);
    ASSERT_TRUE(spinUntil([&] { return sections == 1; }));
    spinUntil([] { return false; }, 200);
    EXPECT_EQ(toggles, 1);
    EXPECT_EQ(sections, 1);
    EXPECT_EQ(hotkeys.pressesDelivered(), 2u);
}

TEST(PortalShortcuts, WithoutAPortalThereAreNoShortcutsAndARefusalBindsNothing) {
    PrivateBus privateBus;
    REQUIRE_PRIVATE_BUS(privateBus);
    auto bus = QDBusConnection::connectToBus(privateBus.address(), QStringLiteral("no-portal"));
    platform::Hotkeys::Token token = 0;
    {
        DesktopHotkeys hotkeys([](std::function<void()> a) { a(); }, bus);
        EXPECT_EQ(hotkeys.registerHotkey(
                      "Ctrl+Alt+H", [] {}, token),
                  Result::unavailable);
    }
    {
        DesktopHotkeys hotkeys([](std::function<void()> a) { a(); }, std::nullopt);
        EXPECT_EQ(hotkeys.registerHotkey(
                      "Ctrl+Alt+H", [] {}, token),
                  Result::unavailable);
    }

    FakePortal portal(privateBus.address(), {QStringLiteral("--refuse")});
    int presses = 0;
    DesktopHotkeys hotkeys([](std::function<void()> a) { a(); }, bus);
    ASSERT_EQ(hotkeys.registerHotkey(
                  "Ctrl+Alt+H", [&] { ++presses; }, token),
              Result::registered);
    ASSERT_TRUE(portal.waitFor("bound "));
    spinUntil([] { return false; }, 200);
    EXPECT_TRUE(hotkeys.portal()->bound().empty()) << "the user said no";
}

} // namespace
