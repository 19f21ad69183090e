#include "Platform/Desktop/StatusBar/DBusMenu.h"

#include "Platform/Desktop/Windows/MenuPresenter.h"

#include <QActionGroup>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDateTime>
#include <QIcon>
#include <QMenu>
#include <QPointer>
#include <QTimer>

namespace desktop {

namespace {

const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
constexpr int callTimeoutMs = 3000;
constexpr int maxDepth = 8;
constexpr int maxEntries = 1000;

QString text(const QVariantMap& props, const char* key, QString fallback = {}) {
    auto it = props.constFind(QLatin1String(key));
    if (it == props.constEnd() || it->metaType() != QMetaType::fromType<QString>())
        return fallback;
    return it->toString();
}

bool flag(const QVariantMap& props, const char* key, bool fallback) {
    auto it = props.constFind(QLatin1String(key));
    if (it == props.constEnd() || it->metaType() != QMetaType::fromType<bool>())
        return fallback;
    return it->toBool();
}

int number(const QVariantMap& props, const char* key, int fallback) {
    auto it = props.constFind(QLatin1String(key));
    if (it == props.constEnd() || it->metaType() != QMetaType::fromType<int>())
        return fallback;
    return it->toInt();
}

std::optional<DBusMenuEntry> readNode(const QDBusArgument& arg, int depth, int& budget) {
    if (arg.currentSignature() != QLatin1String("(ia{sv}av)") || --budget < 0)
        return std::nullopt;
    DBusMenuEntry e;
    QVariantMap props;
    arg.beginStructure();
    arg >> e.id >> props;
    arg.beginArray();
    while (!arg.atEnd()) {
        QDBusVariant child;
        arg >> child;
        const QVariant v = child.variant();
        if (depth + 1 >= maxDepth || v.metaType() != QMetaType::fromType<QDBusArgument>())
            continue;
        if (auto node =
                readNode(*static_cast<const QDBusArgument*>(v.constData()), depth + 1, budget))
            e.children.push_back(std::move(*node));
    }
    arg.endArray();
    arg.endStructure();
    e.separator = text(props, "type") == QLatin1String("separator");
    e.label = text(props, "label");
    e.enabled = flag(props, "enabled", true);
    e.visible = flag(props, "visible", true);
    e.toggleType = text(props, "toggle-type");
    e.toggleState = number(props, "toggle-state", -1);
    e.iconName = text(props, "icon-name");
    return e;
}

} // namespace

std::optional<DBusMenuEntry> readDBusMenuLayout(const QDBusArgument& argument) {
    int budget = maxEntries;
    return readNode(argument, 0, budget);
}

QString qtMenuLabel(const QString& label) {
    QString out;
    out.reserve(label.size() + 2);
    bool mnemonicSet = false;
    for (qsizetype i = 0; i < label.size(); ++i) {
        const QChar c = label[i];
        if (c == QLatin1Char('&')) {
            out += QStringLiteral("&&");
        } else if (c == QLatin1Char('_')) {
            if (i + 1 < label.size() && label[i + 1] == QLatin1Char('_')) {
                out += QLatin1Char('_');
                ++i;
            } else if (!mnemonicSet && i + 1 < label.size()) {
                out += QLatin1Char('&');
                mnemonicSet = true;
            }
        } else {
            out += c;
        }
    }
    return out;
}

void fillDBusMenu(QMenu& menu, const DBusMenuEntry& root, std::optional<int>& chosen) {
    QActionGroup* radios = nullptr;
    for (const auto& e : root.children) {
        if (!e.visible)
            continue;
        if (e.separator) {
            menu.addSeparator();
            radios = nullptr;
            continue;
        }
        QAction* action = nullptr;
        if (!e.children.empty()) {
            auto* sub = menu.addMenu(qtMenuLabel(e.label));
            fillDBusMenu(*sub, e, chosen);
            action = sub->menuAction();
        } else {
            action = menu.addAction(qtMenuLabel(e.label));
            const int id = e.id;
            QObject::connect(action, &QAction::triggered, &menu, [&chosen, id] { chosen = id; });
        }
        action->setEnabled(e.enabled);
        if (!e.iconName.isEmpty())
            action->setIcon(QIcon::fromTheme(e.iconName));
        if (e.toggleType == QLatin1String("checkmark") || e.toggleType == QLatin1String("radio")) {
            action->setCheckable(true);
            action->setChecked(e.toggleState == 1);
            if (e.toggleType == QLatin1String("radio")) {
                // Neighbouring radio entries form a group, drawn as radio buttons.
                if (!radios)
                    radios = new QActionGroup(&menu);
                radios->addAction(action);
            } else {
                radios = nullptr;
            }
        } else {
            radios = nullptr;
        }
    }
}

DBusMenu::DBusMenu(QDBusConnection bus, QString service, QString path)
    : bus_(std::move(bus)), service_(std::move(service)), path_(std::move(path)) {}

QDBusMessage DBusMenu::call(const QString& method) {
    return QDBusMessage::createMethodCall(service_, path_, menuInterface, method);
}

void DBusMenu::open(QPoint at, std::function<void()> onClosed) {
    // The program may update its menu first; whatever it answers, the layout is read next.
    auto msg = call(QStringLiteral("AboutToShow"));
    msg << 0;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(msg, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, at, onClosed = std::move(onClosed)](QDBusPendingCallWatcher* w) mutable {
                w->deleteLater();
                fetchLayout(at, std::move(onClosed));
            });
}

void DBusMenu::fetchLayout(QPoint at, std::function<void()> onClosed) {
    auto msg = call(QStringLiteral("GetLayout"));
    msg << 0 << -1 << QStringList();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(msg, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, at, onClosed = std::move(onClosed)](QDBusPendingCallWatcher* w) mutable {
                w->deleteLater();
                const QDBusMessage reply = w->reply();
                std::optional<DBusMenuEntry> root;
                if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2) {
                    const QVariant layout = reply.arguments()[1];
                    if (layout.metaType() == QMetaType::fromType<QDBusArgument>())
                        root = readDBusMenuLayout(
                            *static_cast<const QDBusArgument*>(layout.constData()));
                }
                if (!root) {
                    if (onClosed)
                        onClosed();
                    return;
                }
                // Shown from the run loop rather than inside the reply's handler: the menu
                // runs a loop of its own.
                QPointer<DBusMenu> self = this;
                QTimer::singleShot(
                    0, this,
                    [self, root = std::move(*root), at, onClosed = std::move(onClosed)]() mutable {
                        if (self)
                            self->show(root, at, std::move(onClosed));
                    });
            });
}

void DBusMenu::show(const DBusMenuEntry& root, QPoint at, std::function<void()> onClosed) {
    std::optional<int> chosen;
    QPointer<DBusMenu> self = this;
    {
        QMenu menu;
        fillDBusMenu(menu, root, chosen);
        if (!menu.isEmpty())
            execMenu(menu, at);
    }
    if (chosen && self) {
        auto msg = call(QStringLiteral("Event"));
        msg << *chosen << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0))
            << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
        bus_.send(msg);
    }
    if (onClosed)
        onClosed();
}

} // namespace desktop
