// A D-Bus session bus of a test's own (dbus-daemon started for it, gone with the object), and the
// rule for tests that need one: skipped where dbus-daemon is missing, failed under CI.
#pragma once

#include "tests/Desktop/DesktopTestSupport.h"

#include <QProcess>
#include <QStandardPaths>
#include <QString>
#include <cstdlib>
#include <string>

namespace desktop::test {

inline bool onCI() {
    const char* ci = std::getenv("CI");
    return ci && std::string(ci) == "true";
}

class PrivateBus {
public:
    PrivateBus() {
        const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (daemon.isEmpty())
            return;
        process_.start(daemon,
                       {QStringLiteral("--session"), QStringLiteral("--nofork"),
                        QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
        if (!process_.waitForStarted(5000))
            return;
        spinUntil([&] { return process_.canReadLine(); }, 5000);
        address_ = QString::fromUtf8(process_.readLine()).trimmed();
    }
    ~PrivateBus() {
        if (process_.state() != QProcess::NotRunning) {
            process_.kill();
            process_.waitForFinished(5000);
        }
    }
    PrivateBus(const PrivateBus&) = delete;
    PrivateBus& operator=(const PrivateBus&) = delete;
    const QString& address() const { return address_; }

private:
    QProcess process_;
    QString address_;
};

} // namespace desktop::test

#define REQUIRE_PRIVATE_BUS(bus)                                                                   \
    do {                                                                                           \
        if ((bus).address().isEmpty()) {                                                           \
            if (::desktop::test::onCI())                                                           \
                FAIL() << "dbus-daemon could not be started";                                      \
            GTEST_SKIP() << "no dbus-daemon";                                                      \
        }                                                                                          \
    } while (0)
