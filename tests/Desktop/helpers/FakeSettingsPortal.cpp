// A stand-in for the desktop portal's Settings interface on the session bus, holding only
// org.freedesktop.appearance color-scheme. Read answers a variant inside a variant, as the
// portal does; a call of org.quillet.test.FakePortal.SetColorScheme(u) changes the value and
// emits SettingChanged. Prints "ready" once it owns its name.
// Usage: fake-settings-portal INITIAL-VALUE   (0 no preference, 1 dark, 2 light)
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <cstdio>
#include <cstdlib>

namespace {

const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
const QString settings = QStringLiteral("org.freedesktop.portal.Settings");
const QString control = QStringLiteral("org.quillet.test.FakePortal");
const QString appearance = QStringLiteral("org.freedesktop.appearance");
const QString colorScheme = QStringLiteral("color-scheme");

class Portal final : public QDBusVirtualObject {
public:
    explicit Portal(uint value) : value_(value) {}

    QString introspect(const QString&) const override {
        return QStringLiteral("<interface name=\"org.freedesktop.portal.Settings\">"
                              "<method name=\"Read\"><arg type=\"s\" direction=\"in\"/>"
                              "<arg type=\"s\" direction=\"in\"/>"
                              "<arg type=\"v\" direction=\"out\"/></method>"
                              "<signal name=\"SettingChanged\"><arg type=\"s\"/><arg type=\"s\"/>"
                              "<arg type=\"v\"/></signal></interface>");
    }

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        const auto args = message.arguments();
        if (message.interface() == settings && message.member() == QLatin1String("Read")) {
            if (args.size() != 2 || args[0].toString() != appearance ||
                args[1].toString() != colorScheme) {
                connection.send(message.createErrorReply(
                    QStringLiteral("org.freedesktop.portal.Error.NotFound"),
                    QStringLiteral("Requested setting not found")));
                return true;
            }
            const auto inner = QVariant::fromValue(QDBusVariant(QVariant(value_)));
            connection.send(message.createReply(QVariant::fromValue(QDBusVariant(inner))));
            return true;
        }
        if (message.interface() == control && message.member() == QLatin1String("SetColorScheme") &&
            args.size() == 1) {
            value_ = args[0].toUInt();
            connection.send(message.createReply());
            auto changed = QDBusMessage::createSignal(path, settings, "SettingChanged");
            changed << appearance << colorScheme
                    << QVariant::fromValue(QDBusVariant(QVariant(value_)));
            connection.send(changed);
            return true;
        }
        return false;
    }

private:
    uint value_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: fake-settings-portal INITIAL-VALUE\n");
        return 2;
    }
    auto bus = QDBusConnection::sessionBus();
    Portal portal(static_cast<uint>(std::strtoul(argv[1], nullptr, 10)));
    if (!bus.registerVirtualObject(path, &portal) ||
        !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
        std::fprintf(stderr, "fake-settings-portal: could not take the portal's name: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
