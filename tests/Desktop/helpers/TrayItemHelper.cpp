// A small program with a tray icon for the tray tests: it publishes a StatusNotifierItem with a
// com.canonical.dbusmenu menu on the session bus and registers it with the watcher (again
// whenever a watcher appears), prints every call it receives on stdout, one line each, and
// takes changes on stdin ("pixmap RRGGBB", "lying-pixmap RRGGBB", "attention-pixmap RRGGBB",
// "overlay-pixmap RRGGBB", "icon-name NAME", "title TEXT", "tooltip TEXT", "status STATUS",
// "ayatana-label TEXT" (XAyatanaNewLabel), "poke" (NewIcon with nothing changed), "flap-status
// N" (N changes of NeedsAttention at once), "register AS" (one more registration, as anything),
// "flood N" (N registrations of paths of its own), "quit"); for its menu "networks A,B" (the
// lazily filled submenu's entries, announced with LayoutUpdated), "flood-layout N" (N
// LayoutUpdated at once), "label ID TEXT", "hide ID" and "unshortcut" (ItemsPropertiesUpdated).
// With --live-menu its menu has more (see Menu). Misbehaving on purpose: --slow-getall MS holds
// back its first answer to GetAll, --failing-getall N fails the first N, --no-activate has no
// Activate (as libappindicator's items), --icon-every MS changes its icon name that often. With
// --watcher it is a minimal org.kde.StatusNotifierWatcher instead; with --qt-tray a
// QSystemTrayIcon with a QMenu (needs a display), which Qt publishes on the bus by itself.
#include <QApplication>
#include <QBuffer>
#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QDBusVirtualObject>
#include <QImage>
#include <QMenu>
#include <QMetaProperty>
#include <QPixmap>
#include <QSocketNotifier>
#include <QStringList>
#include <QSystemTrayIcon>
#include <QTimer>
#include <cstdio>
#include <map>
#include <memory>
#include <unistd.h>

namespace {

void say(const QString& line) {
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

} // namespace

struct IconPixmap {
    int width = 0;
    int height = 0;
    QByteArray bytes;
};
using IconPixmapList = QList<IconPixmap>;

struct ToolTip {
    QString iconName;
    IconPixmapList pixmaps;
    QString title;
    QString description;
};

struct MenuLayout {
    int id = 0;
    QVariantMap properties;
    QList<MenuLayout> children;
};

// The entries of an ItemsPropertiesUpdated signal: properties set, and properties removed.
struct PropertiesUpdate {
    int id = 0;
    QVariantMap properties;
};
struct PropertiesRemoval {
    int id = 0;
    QStringList names;
};

Q_DECLARE_METATYPE(IconPixmap)
Q_DECLARE_METATYPE(ToolTip)
Q_DECLARE_METATYPE(MenuLayout)
Q_DECLARE_METATYPE(PropertiesUpdate)
Q_DECLARE_METATYPE(PropertiesRemoval)

QDBusArgument& operator<<(QDBusArgument& arg, const PropertiesUpdate& u) {
    arg.beginStructure();
    arg << u.id << u.properties;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, PropertiesUpdate& u) {
    arg.beginStructure();
    arg >> u.id >> u.properties;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const PropertiesRemoval& r) {
    arg.beginStructure();
    arg << r.id << r.names;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, PropertiesRemoval& r) {
    arg.beginStructure();
    arg >> r.id >> r.names;
    arg.endStructure();
    return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const IconPixmap& p) {
    arg.beginStructure();
    arg << p.width << p.height << p.bytes;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, IconPixmap& p) {
    arg.beginStructure();
    arg >> p.width >> p.height >> p.bytes;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const ToolTip& t) {
    arg.beginStructure();
    arg << t.iconName << t.pixmaps << t.title << t.description;
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, ToolTip& t) {
    arg.beginStructure();
    arg >> t.iconName >> t.pixmaps >> t.title >> t.description;
    arg.endStructure();
    return arg;
}
QDBusArgument& operator<<(QDBusArgument& arg, const MenuLayout& m) {
    arg.beginStructure();
    arg << m.id << m.properties;
    arg.beginArray(qMetaTypeId<QDBusVariant>());
    for (const auto& child : m.children)
        arg << QDBusVariant(QVariant::fromValue(child));
    arg.endArray();
    arg.endStructure();
    return arg;
}
const QDBusArgument& operator>>(const QDBusArgument& arg, MenuLayout& m) {
    arg.beginStructure();
    arg >> m.id >> m.properties;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant v;
        arg >> v;
    }
    arg.endArray();
    arg.endStructure();
    return arg;
}

namespace {

// A square of one colour, in network byte order ARGB32.
IconPixmap solid(int side, const QString& rgb) {
    bool ok = false;
    const uint value = rgb.toUInt(&ok, 16);
    IconPixmap p{side, side, {}};
    for (int i = 0; i < side * side; ++i) {
        p.bytes.append(char(0xff));
        p.bytes.append(char((value >> 16) & 0xff));
        p.bytes.append(char((value >> 8) & 0xff));
        p.bytes.append(char(value & 0xff));
    }
    return p;
}

IconPixmapList pixmaps(const QString& rgb) {
    if (rgb.isEmpty())
        return {};
    // Two sizes, so that the host has to choose; the smaller one is a darker shade so a test
    // can tell which was taken.
    return {solid(16, QStringLiteral("202020")), solid(32, rgb)};
}

MenuLayout entry(int id, QVariantMap properties) {
    return {id, std::move(properties), {}};
}

} // namespace

// Answers Properties.GetAll for the item itself, so that it can be slow or fail on purpose;
// Get and Set go to the exported properties as usual.
class Item;
class Properties final : public QDBusVirtualObject {
public:
    Item* item = nullptr;
    int slowFirstMs = 0;
    int failFirst = 0;
    int calls = 0;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override;
};

class Item final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
    Q_PROPERTY(QString Id MEMBER id)
    Q_PROPERTY(QString Category READ category)
    Q_PROPERTY(QString Status MEMBER status)
    Q_PROPERTY(QString Title MEMBER title)
    Q_PROPERTY(QString IconName MEMBER iconName)
    Q_PROPERTY(IconPixmapList IconPixmap READ iconPixmap)
    Q_PROPERTY(QString OverlayIconName READ empty)
    Q_PROPERTY(IconPixmapList OverlayIconPixmap READ overlayPixmap)
    Q_PROPERTY(QString AttentionIconName READ empty)
    Q_PROPERTY(IconPixmapList AttentionIconPixmap READ attentionPixmap)
    Q_PROPERTY(QString IconThemePath MEMBER iconThemePath)
    Q_PROPERTY(ToolTip ToolTip READ toolTip)
    Q_PROPERTY(QDBusObjectPath Menu READ menu)
    Q_PROPERTY(bool ItemIsMenu MEMBER itemIsMenu)
    Q_PROPERTY(QString XAyatanaLabel MEMBER ayatanaLabel)
public:
    QString ayatanaLabel;
    QString id = QStringLiteral("quillet-test-item");
    QString status = QStringLiteral("Active");
    QString title = QStringLiteral("Test Item");
    QString iconName;
    QString iconThemePath;
    QString pixmapColour = QStringLiteral("ff0000");
    QString attentionColour;
    QString overlayColour;
    QString toolTipTitle = QStringLiteral("Test tooltip");
    bool hasMenu = true;
    bool itemIsMenu = false;
    bool hasActivate = true;

    QString category() const { return QStringLiteral("ApplicationStatus"); }
    QString empty() const { return {}; }
    // A pixmap whose size claims more than its data holds comes first when asked for.
    bool lyingPixmap = false;
    IconPixmapList iconPixmap() const {
        if (lyingPixmap)
            return {IconPixmap{64, 64, QByteArray(16, '\x7f')}, solid(16, pixmapColour)};
        return pixmaps(pixmapColour);
    }
    IconPixmapList overlayPixmap() const { return pixmaps(overlayColour); }
    IconPixmapList attentionPixmap() const { return pixmaps(attentionColour); }
    ToolTip toolTip() const { return {{}, {}, toolTipTitle, {}}; }
    QDBusObjectPath menu() const {
        return QDBusObjectPath(hasMenu ? QStringLiteral("/MenuBar") : QStringLiteral("/"));
    }

public slots:
    void Activate(int x, int y) {
        if (!hasActivate) {
            // What the bus answers for a method an object does not have.
            sendErrorReply(QDBusError::UnknownMethod, QStringLiteral("No such method Activate"));
            say(QStringLiteral("activate-refused"));
            return;
        }
        say(QStringLiteral("activate %1 %2").arg(x).arg(y));
    }
    void SecondaryActivate(int x, int y) {
        say(QStringLiteral("secondary-activate %1 %2").arg(x).arg(y));
    }
    void ContextMenu(int x, int y) { say(QStringLiteral("context-menu %1 %2").arg(x).arg(y)); }
    void Scroll(int delta, const QString& orientation) {
        say(QStringLiteral("scroll %1 %2").arg(delta).arg(orientation));
    }

signals:
    void NewTitle();
    void NewIcon();
    void NewAttentionIcon();
    void NewOverlayIcon();
    void NewToolTip();
    void NewStatus(const QString& status);
    void XAyatanaNewLabel(const QString& label, const QString& guide);
};

class Menu final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.canonical.dbusmenu")
    Q_PROPERTY(uint Version READ version)
    Q_PROPERTY(QString Status READ status)
public:
    uint version() const { return 3; }
    QString status() const { return QStringLiteral("normal"); }

    // With --live-menu: a submenu of networks the program fills only when asked for it, an
    // entry with a PNG icon and a shortcut, and a submenu that changes as it opens.
    bool live = false;
    bool moreChanged = false;
    uint revision = 1;
    QStringList networks{QStringLiteral("Home"), QStringLiteral("Office")};
    std::map<int, QString> labels;
    bool saveShortcut = true;

    QString label(int id, const char* fallback) const {
        auto it = labels.find(id);
        return it != labels.end() ? it->second : QString::fromUtf8(fallback);
    }

    MenuLayout tree(int parentId) const {
        MenuLayout layout{0, {{QStringLiteral("children-display"), QStringLiteral("submenu")}}, {}};
        auto& c = layout.children;
        c.push_back(entry(1, {{QStringLiteral("label"), label(1, "_Open")}}));
        c.push_back(entry(2, {{QStringLiteral("type"), QStringLiteral("separator")}}));
        c.push_back(entry(3, {{QStringLiteral("label"), QStringLiteral("Disabled")},
                              {QStringLiteral("enabled"), false}}));
        c.push_back(entry(4, {{QStringLiteral("label"), QStringLiteral("Check")},
                              {QStringLiteral("toggle-type"), QStringLiteral("checkmark")},
                              {QStringLiteral("toggle-state"), 1}}));
        c.push_back(entry(5, {{QStringLiteral("label"), QStringLiteral("Radio A")},
                              {QStringLiteral("toggle-type"), QStringLiteral("radio")},
                              {QStringLiteral("toggle-state"), 0}}));
        c.push_back(entry(6, {{QStringLiteral("label"), QStringLiteral("Radio B")},
                              {QStringLiteral("toggle-type"), QStringLiteral("radio")},
                              {QStringLiteral("toggle-state"), 1}}));
        c.push_back(entry(7, {{QStringLiteral("label"), QStringLiteral("Hidden")},
                              {QStringLiteral("visible"), false}}));
        MenuLayout more =
            entry(8, {{QStringLiteral("label"), QStringLiteral("_More")},
                      {QStringLiteral("children-display"), QStringLiteral("submenu")}});
        more.children.push_back(entry(9, {{QStringLiteral("label"), QStringLiteral("Sub item")}}));
        if (moreChanged)
            more.children.push_back(
                entry(13, {{QStringLiteral("label"), QStringLiteral("Fresh item")}}));
        c.push_back(more);
        c.push_back(entry(10, {{QStringLiteral("label"), QStringLiteral("A__B & C")}}));
        if (live) {
            MenuLayout nets =
                entry(11, {{QStringLiteral("label"), QStringLiteral("_Networks")},
                           {QStringLiteral("children-display"), QStringLiteral("submenu")}});
            // Filled only when asked for this submenu itself, as lazy programs do.
            if (parentId == 11)
                for (int i = 0; i < networks.size(); ++i)
                    nets.children.push_back(
                        entry(100 + i, {{QStringLiteral("label"), networks[i]}}));
            c.push_back(nets);
            QVariantMap save{{QStringLiteral("label"), QStringLiteral("Save")},
                             {QStringLiteral("icon-data"), bluePng()}};
            if (saveShortcut)
                save.insert(QStringLiteral("shortcut"),
                            QVariant::fromValue(QList<QStringList>{
                                {QStringLiteral("Control"), QStringLiteral("S")}}));
            c.push_back(entry(12, save));
        }
        return layout;
    }

    static QByteArray bluePng() {
        QImage image(16, 16, QImage::Format_ARGB32);
        image.fill(QColor(0x00, 0x00, 0xff));
        QByteArray png;
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        image.save(&buffer, "PNG");
        return png;
    }

    static const MenuLayout* find(const MenuLayout& node, int id) {
        if (node.id == id)
            return &node;
        for (const auto& child : node.children)
            if (auto* found = find(child, id))
                return found;
        return nullptr;
    }

public slots:
    uint GetLayout(int parentId, int depth, const QStringList&, MenuLayout& layout) {
        say(QStringLiteral("get-layout %1 %2").arg(parentId).arg(depth));
        const MenuLayout whole = tree(parentId);
        const MenuLayout* node = find(whole, parentId);
        layout = node ? *node : whole;
        return revision;
    }
    bool AboutToShow(int id) {
        say(QStringLiteral("about-to-show %1").arg(id));
        // The submenu changes as it opens, once: the host must read it again.
        if (live && id == 8 && !moreChanged) {
            moreChanged = true;
            return true;
        }
        return false;
    }
    void Event(int id, const QString& eventId, const QDBusVariant&, uint timestamp) {
        say(QStringLiteral("event %1 %2 %3")
                .arg(id)
                .arg(eventId)
                .arg(QLatin1String(timestamp > 0 ? "t" : "0")));
    }
    QVariantMap GetProperty(int, const QString&) { return {}; }

signals:
    void LayoutUpdated(uint revision, int parent);
};

bool Properties::handleMessage(const QDBusMessage& message, const QDBusConnection& connection) {
    if (message.interface() != QLatin1String("org.freedesktop.DBus.Properties") ||
        message.member() != QLatin1String("GetAll"))
        return false;
    const int call = ++calls;
    say(QStringLiteral("get-all %1").arg(call));
    if (call <= failFirst) {
        connection.send(message.createErrorReply(QDBusError::Failed, QStringLiteral("busy")));
        return true;
    }
    QVariantMap out;
    const QMetaObject* meta = item->metaObject();
    for (int i = meta->propertyOffset(); i < meta->propertyCount(); ++i) {
        const QMetaProperty property = meta->property(i);
        out.insert(QLatin1String(property.name()), property.read(item));
    }
    const QDBusMessage reply = message.createReply(QVariant::fromValue(out));
    if (call == 1 && slowFirstMs > 0) {
        // The answer comes late, as from a program busy at login.
        QTimer::singleShot(slowFirstMs,
                           [reply, connection] { QDBusConnection(connection).send(reply); });
        return true;
    }
    connection.send(reply);
    return true;
}

// A watcher of its own, for the tests of a host that finds one already running.
class Watcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems MEMBER items)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    QStringList items;
    QStringList hosts;
    QDBusServiceWatcher gone{
        {}, QDBusConnection::sessionBus(), QDBusServiceWatcher::WatchForUnregistration};

    Watcher() {
        connect(&gone, &QDBusServiceWatcher::serviceUnregistered, this, [this](const QString& s) {
            const auto copy = items;
            for (const auto& item : copy)
                if (item.startsWith(s + QLatin1Char('/'))) {
                    items.removeAll(item);
                    emit StatusNotifierItemUnregistered(item);
                    say(QStringLiteral("item-unregistered ") + item);
                }
        });
    }
    bool hostRegistered() const { return !hosts.isEmpty(); }
    int protocolVersion() const { return 0; }

public slots:
    void RegisterStatusNotifierItem(const QString& service, const QDBusMessage& message) {
        const QString item = service.startsWith(QLatin1Char('/'))
                                 ? message.service() + service
                                 : service + QStringLiteral("/StatusNotifierItem");
        if (items.contains(item))
            return;
        items << item;
        gone.addWatchedService(item.left(item.indexOf(QLatin1Char('/'))));
        emit StatusNotifierItemRegistered(item);
        say(QStringLiteral("item-registered ") + item);
    }
    void RegisterStatusNotifierHost(const QString& service) {
        hosts << service;
        emit StatusNotifierHostRegistered();
        say(QStringLiteral("host-registered ") + service);
    }

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();
};

namespace {

const QString watcherName = QStringLiteral("org.kde.StatusNotifierWatcher");

// Registers `count` items by paths of its own and says how many the watcher took.
void flood(int count) {
    auto accepted = std::make_shared<int>(0);
    auto answered = std::make_shared<int>(0);
    for (int i = 0; i < count; ++i) {
        auto msg = QDBusMessage::createMethodCall(
            watcherName, QStringLiteral("/StatusNotifierWatcher"), watcherName,
            QStringLiteral("RegisterStatusNotifierItem"));
        msg << QStringLiteral("/Flood/%1").arg(i);
        auto* w = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(msg));
        QObject::connect(w, &QDBusPendingCallWatcher::finished,
                         [accepted, answered, count](QDBusPendingCallWatcher* call) {
                             call->deleteLater();
                             *accepted += call->isError() ? 0 : 1;
                             if (++*answered == count)
                                 say(QStringLiteral("flooded %1").arg(*accepted));
                         });
    }
}

void registerItem(const QString& as) {
    auto msg =
        QDBusMessage::createMethodCall(watcherName, QStringLiteral("/StatusNotifierWatcher"),
                                       watcherName, QStringLiteral("RegisterStatusNotifierItem"));
    msg << as;
    auto* w = new QDBusPendingCallWatcher(QDBusConnection::sessionBus().asyncCall(msg));
    QObject::connect(w, &QDBusPendingCallWatcher::finished, [](QDBusPendingCallWatcher* call) {
        call->deleteLater();
        say(call->isError() ? QStringLiteral("register-failed ") + call->error().name()
                            : QStringLiteral("registered"));
    });
}

} // namespace

// Qt's own tray icon: the kind of client most Qt programs are.
int qtTray(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("qt-tray-helper"));
    QPixmap pixmap(32, 32);
    pixmap.fill(QColor(0xe7, 0x6f, 0x51));
    QSystemTrayIcon tray{QIcon(pixmap)};
    tray.setToolTip(QStringLiteral("Qt tray"));
    QMenu menu;
    QObject::connect(menu.addAction(QStringLiteral("Say hello")), &QAction::triggered,
                     [] { say(QStringLiteral("qt-menu hello")); });
    tray.setContextMenu(&menu);
    QObject::connect(&tray, &QSystemTrayIcon::activated, [](QSystemTrayIcon::ActivationReason r) {
        say(QStringLiteral("qt-activated %1").arg(int(r)));
    });
    tray.show();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[64];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0 || QByteArray(buffer, n).startsWith("quit"))
            app.quit();
    });
    say(QStringLiteral("ready"));
    return app.exec();
}

int main(int argc, char** argv) {
    for (int i = 1; i < argc; ++i)
        if (QByteArray(argv[i]) == "--qt-tray")
            return qtTray(argc, argv);
    QCoreApplication app(argc, argv);
    qDBusRegisterMetaType<IconPixmap>();
    qDBusRegisterMetaType<IconPixmapList>();
    qDBusRegisterMetaType<ToolTip>();
    qDBusRegisterMetaType<MenuLayout>();
    qDBusRegisterMetaType<QList<QStringList>>();
    qDBusRegisterMetaType<PropertiesUpdate>();
    qDBusRegisterMetaType<PropertiesRemoval>();
    qDBusRegisterMetaType<QList<PropertiesUpdate>>();
    qDBusRegisterMetaType<QList<PropertiesRemoval>>();
    auto bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        say(QStringLiteral("no-bus"));
        return 1;
    }
    const auto exportAll = QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                           QDBusConnection::ExportAllProperties;
    const QStringList args = app.arguments();

    if (args.contains(QStringLiteral("--watcher"))) {
        static Watcher watcher;
        // With --replace it takes the name from a watcher that allows it, as a restarted
        // panel does.
        const bool replace = args.contains(QStringLiteral("--replace"));
        if (!bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), &watcher, exportAll) ||
            bus.interface()
                    ->registerService(watcherName,
                                      replace ? QDBusConnectionInterface::ReplaceExistingService
                                              : QDBusConnectionInterface::DontQueueService,
                                      QDBusConnectionInterface::DontAllowReplacement)
                    .value() != QDBusConnectionInterface::ServiceRegistered) {
            say(QStringLiteral("watcher-failed"));
            return 1;
        }
        say(QStringLiteral("ready ") + bus.baseService());
        return app.exec();
    }

    static Item item;
    static Menu menu;
    auto option = [&](const char* name) -> QString {
        const auto i = args.indexOf(QLatin1String(name));
        return i >= 0 && i + 1 < args.size() ? args[i + 1] : QString();
    };
    if (auto v = option("--id"); !v.isEmpty())
        item.id = v;
    if (auto v = option("--title"); !v.isEmpty())
        item.title = v;
    if (auto v = option("--icon-name"); !v.isEmpty())
        item.iconName = v;
    if (auto v = option("--icon-theme-path"); !v.isEmpty())
        item.iconThemePath = v;
    if (auto v = option("--pixmap"); !v.isEmpty())
        item.pixmapColour = v;
    if (auto v = option("--status"); !v.isEmpty())
        item.status = v;
    item.hasMenu = !args.contains(QStringLiteral("--no-menu"));
    item.itemIsMenu = args.contains(QStringLiteral("--item-is-menu"));
    item.hasActivate = !args.contains(QStringLiteral("--no-activate"));
    menu.live = args.contains(QStringLiteral("--live-menu"));
    static Properties properties;
    properties.item = &item;
    properties.slowFirstMs = option("--slow-getall").toInt();
    properties.failFirst = option("--failing-getall").toInt();

    // With a slow or failing GetAll the item is answered by hand (and sends no signals).
    const bool ownGetAll = properties.slowFirstMs > 0 || properties.failFirst > 0;
    if (!(ownGetAll
              ? bus.registerVirtualObject(QStringLiteral("/StatusNotifierItem"), &properties)
              : bus.registerObject(QStringLiteral("/StatusNotifierItem"), &item, exportAll)) ||
        (item.hasMenu && !bus.registerObject(QStringLiteral("/MenuBar"), &menu, exportAll))) {
        say(QStringLiteral("export-failed"));
        return 1;
    }
    // Registered by a well-known name, as Qt's own tray icons do, or by object path.
    QString as = QStringLiteral("/StatusNotifierItem");
    if (args.contains(QStringLiteral("--well-known-name"))) {
        as = QStringLiteral("org.kde.StatusNotifierItem-%1-1").arg(::getpid());
        if (!bus.registerService(as)) {
            say(QStringLiteral("name-failed"));
            return 1;
        }
    }
    QTimer iconTimer;
    if (const int every = option("--icon-every").toInt(); every > 0) {
        // An icon that keeps changing, by name (looked up in its theme path each time).
        QObject::connect(&iconTimer, &QTimer::timeout, [&] {
            static int n = 0;
            item.iconName = QStringLiteral("quillet-changing-%1").arg(++n % 2);
            emit item.NewIcon();
        });
        iconTimer.start(every);
    }
    // Registered again with every new watcher, also one that took the name over.
    QDBusServiceWatcher watcherAppears(watcherName, bus, QDBusServiceWatcher::WatchForOwnerChange);
    QObject::connect(&watcherAppears, &QDBusServiceWatcher::serviceOwnerChanged,
                     [as](const QString&, const QString&, const QString& newOwner) {
                         if (!newOwner.isEmpty())
                             registerItem(as);
                     });
    if (bus.interface()->isServiceRegistered(watcherName))
        registerItem(as);

    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[512];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer - 1);
        if (n <= 0) {
            app.quit();
            return;
        }
        const auto lines =
            QString::fromUtf8(buffer, n).split(QLatin1Char('\n'), Qt::SkipEmptyParts);
        for (const auto& line : lines) {
            const auto space = line.indexOf(QLatin1Char(' '));
            const QString command = space < 0 ? line : line.left(space);
            const QString value = space < 0 ? QString() : line.mid(space + 1);
            if (command == QLatin1String("quit")) {
                app.quit();
            } else if (command == QLatin1String("pixmap")) {
                item.pixmapColour = value;
                item.iconName.clear();
                emit item.NewIcon();
            } else if (command == QLatin1String("lying-pixmap")) {
                item.pixmapColour = value;
                item.iconName.clear();
                item.lyingPixmap = true;
                emit item.NewIcon();
            } else if (command == QLatin1String("icon-name")) {
                item.iconName = value;
                emit item.NewIcon();
            } else if (command == QLatin1String("attention-pixmap")) {
                item.attentionColour = value;
                emit item.NewAttentionIcon();
            } else if (command == QLatin1String("overlay-pixmap")) {
                item.overlayColour = value;
                emit item.NewOverlayIcon();
            } else if (command == QLatin1String("title")) {
                item.title = value;
                emit item.NewTitle();
            } else if (command == QLatin1String("tooltip")) {
                item.toolTipTitle = value;
                emit item.NewToolTip();
            } else if (command == QLatin1String("status")) {
                item.status = value;
                emit item.NewStatus(value);
            } else if (command == QLatin1String("poke")) {
                for (int i = 0; i < 20; ++i)
                    emit item.NewIcon();
            } else if (command == QLatin1String("flap-status")) {
                for (int i = 0, n = value.toInt(); i < n; ++i) {
                    item.status =
                        i % 2 == 0 ? QStringLiteral("NeedsAttention") : QStringLiteral("Active");
                    emit item.NewStatus(item.status);
                }
            } else if (command == QLatin1String("ayatana-label")) {
                item.ayatanaLabel = value;
                emit item.XAyatanaNewLabel(value, value);
            } else if (command == QLatin1String("networks")) {
                // The list changes while the menu may be open.
                menu.networks = value.split(QLatin1Char(','), Qt::SkipEmptyParts);
                emit menu.LayoutUpdated(++menu.revision, 11);
            } else if (command == QLatin1String("flood-layout")) {
                // The same news over and over, as a program in a loop sends it.
                for (int i = 0, n = value.toInt(); i < n; ++i)
                    emit menu.LayoutUpdated(++menu.revision, 11);
            } else if (command == QLatin1String("label")) {
                const int id = value.section(QLatin1Char(' '), 0, 0).toInt();
                menu.labels[id] = value.section(QLatin1Char(' '), 1);
                auto signal = QDBusMessage::createSignal(QStringLiteral("/MenuBar"),
                                                         QStringLiteral("com.canonical.dbusmenu"),
                                                         QStringLiteral("ItemsPropertiesUpdated"));
                signal << QVariant::fromValue(QList<PropertiesUpdate>{
                              {id, {{QStringLiteral("label"), menu.labels[id]}}}})
                       << QVariant::fromValue(QList<PropertiesRemoval>{});
                bus.send(signal);
            } else if (command == QLatin1String("hide")) {
                auto signal = QDBusMessage::createSignal(QStringLiteral("/MenuBar"),
                                                         QStringLiteral("com.canonical.dbusmenu"),
                                                         QStringLiteral("ItemsPropertiesUpdated"));
                signal << QVariant::fromValue(QList<PropertiesUpdate>{
                              {value.toInt(), {{QStringLiteral("visible"), false}}}})
                       << QVariant::fromValue(QList<PropertiesRemoval>{});
                bus.send(signal);
            } else if (command == QLatin1String("unshortcut")) {
                menu.saveShortcut = false;
                auto signal = QDBusMessage::createSignal(QStringLiteral("/MenuBar"),
                                                         QStringLiteral("com.canonical.dbusmenu"),
                                                         QStringLiteral("ItemsPropertiesUpdated"));
                signal << QVariant::fromValue(QList<PropertiesUpdate>{})
                       << QVariant::fromValue(
                              QList<PropertiesRemoval>{{12, {QStringLiteral("shortcut")}}});
                bus.send(signal);
            } else if (command == QLatin1String("register")) {
                registerItem(value);
            } else if (command == QLatin1String("flood")) {
                flood(value.toInt());
            }
            say(QStringLiteral("done ") + command);
        }
    });
    say(QStringLiteral("ready ") + bus.baseService());
    return app.exec();
}

#include "TrayItemHelper.moc"
