// A stand-in for the desktop portal's GlobalShortcuts interface on the session bus. Sessions and
// bindings answer through Request objects as the portal does; each BindShortcuts prints
// "bound <session> <id>=<preferred trigger>..." and Session.Close prints "closed <session>".
// org.quillet.test.FakePortal.Activate(s id) emits Activated for the newest session and
// ActivateIn(o session, s id) for a given one. Prints "ready" once it owns its name.
// Usage: fake-shortcuts-portal [--refuse]   (--refuse: the user cancels every binding)
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusVirtualObject>
#include <QTimer>
#include <cstdio>
#include <cstring>

namespace {

const QString path = QStringLiteral("/org/freedesktop/portal/desktop");
const QString shortcuts = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");
const QString control = QStringLiteral("org.quillet.test.FakePortal");

struct Shortcut {
    QString id;
    QVariantMap properties;
};

} // namespace

Q_DECLARE_METATYPE(Shortcut)

namespace {

QDBusArgument& operator<<(QDBusArgument& a, const Shortcut& s) {
    a.beginStructure();
    a << s.id << s.properties;
    a.endStructure();
    return a;
}
const QDBusArgument& operator>>(const QDBusArgument& a, Shortcut& s) {
    a.beginStructure();
    a >> s.id >> s.properties;
    a.endStructure();
    return a;
}

QString senderPart(const QString& sender) {
    QString s = sender;
    return s.remove(0, 1).replace(QLatin1Char('.'), QLatin1Char('_'));
}

QVariantMap optionsOf(const QVariant& v) {
    QVariantMap m;
    if (v.canConvert<QDBusArgument>())
        v.value<QDBusArgument>() >> m;
    else
        m = v.toMap();
    return m;
}

class Portal final : public QDBusVirtualObject {
public:
    explicit Portal(bool refuse) : refuse_(refuse) {}

    QString introspect(const QString&) const override { return {}; }

    bool handleMessage(const QDBusMessage& m, const QDBusConnection& bus) override {
        const auto args = m.arguments();
        if (m.interface() == shortcuts && m.member() == QLatin1String("CreateSession")) {
            const auto options = optionsOf(args.value(0));
            const QString request = requestPath(m, options);
            const QString session =
                path + QStringLiteral("/session/") + senderPart(m.service()) + QLatin1Char('/') +
                options.value(QStringLiteral("session_handle_token")).toString();
            bus.send(m.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            newest_ = session;
            respond(bus, request, 0, {{QStringLiteral("session_handle"), session}});
            return true;
        }
        if (m.interface() == shortcuts && m.member() == QLatin1String("BindShortcuts")) {
            const QString session = args.value(0).value<QDBusObjectPath>().path();
            QList<Shortcut> list;
            args.value(1).value<QDBusArgument>() >> list;
            const QString request = requestPath(m, optionsOf(args.value(3)));
            bus.send(m.createReply(QVariant::fromValue(QDBusObjectPath(request))));
            QString line = QStringLiteral("bound ") + session;
            QList<Shortcut> given;
            for (const auto& s : list) {
                const QString trigger =
                    s.properties.value(QStringLiteral("preferred_trigger")).toString();
                line += QLatin1Char(' ') + s.id + QLatin1Char('=') + trigger;
                given.push_back({s.id, {{QStringLiteral("trigger_description"), trigger}}});
            }
            std::printf("%s\n", qPrintable(line));
            std::fflush(stdout);
            QVariantMap results;
            results.insert(QStringLiteral("shortcuts"), QVariant::fromValue(given));
            respond(bus, request, refuse_ ? 1 : 0, refuse_ ? QVariantMap{} : results);
            return true;
        }
        if (m.interface() == QLatin1String("org.freedesktop.portal.Session") &&
            m.member() == QLatin1String("Close")) {
            std::printf("closed %s\n", qPrintable(m.path()));
            std::fflush(stdout);
            bus.send(m.createReply());
            return true;
        }
        if (m.interface() == control && (m.member() == QLatin1String("Activate") ||
                                         m.member() == QLatin1String("ActivateIn"))) {
            const bool given = m.member() == QLatin1String("ActivateIn");
            const QString session = given ? args.value(0).value<QDBusObjectPath>().path() : newest_;
            const QString id = args.value(given ? 1 : 0).toString();
            bus.send(m.createReply());
            auto signal = QDBusMessage::createSignal(path, shortcuts, QStringLiteral("Activated"));
            signal << QVariant::fromValue(QDBusObjectPath(session)) << id
                   << QVariant::fromValue(qulonglong(1)) << QVariantMap{};
            bus.send(signal);
            return true;
        }
        return false;
    }

private:
    static QString requestPath(const QDBusMessage& m, const QVariantMap& options) {
        return path + QStringLiteral("/request/") + senderPart(m.service()) + QLatin1Char('/') +
               options.value(QStringLiteral("handle_token")).toString();
    }
    // Answers after the reply, as the portal does, on a later turn.
    static void respond(const QDBusConnection& bus, const QString& request, uint code,
                        QVariantMap results) {
        QTimer::singleShot(0, [bus, request, code, results] {
            auto signal = QDBusMessage::createSignal(
                request, QStringLiteral("org.freedesktop.portal.Request"),
                QStringLiteral("Response"));
            signal << code << results;
            QDBusConnection(bus).send(signal);
        });
    }

    bool refuse_;
    QString newest_;
};

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<Shortcut>();
    qDBusRegisterMetaType<QList<Shortcut>>();
    const bool refuse = argc > 1 && std::strcmp(argv[1], "--refuse") == 0;
    auto bus = QDBusConnection::sessionBus();
    Portal portal(refuse);
    if (!bus.registerVirtualObject(path, &portal, QDBusConnection::SubPath) ||
        !bus.registerService(QStringLiteral("org.freedesktop.portal.Desktop"))) {
        std::fprintf(stderr, "fake-shortcuts-portal: could not take the portal's name: %s\n",
                     qPrintable(bus.lastError().message()));
        return 1;
    }
    std::printf("ready\n");
    std::fflush(stdout);
    return app.exec();
}
