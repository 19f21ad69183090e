#include "Platform/Desktop/StatusBar/DBusMenu.h"

#include "Platform/Desktop/Windows/MenuPresenter.h"

#include <QActionGroup>
#include <QBuffer>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QDateTime>
#include <QIcon>
#include <QImageReader>
#include <QMenu>
#include <QPixmap>
#include <QPointer>
#include <QTimer>
#include <unordered_map>

namespace desktop {

namespace {

const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");
constexpr int callTimeoutMs = 3000;
constexpr int maxDepth = 8;
constexpr int maxEntries = 1000;
constexpr qsizetype maxShortcutChords = 4;
constexpr qsizetype maxShortcutKeys = 8;
constexpr qsizetype maxIconDataBytes = 256 * 1024;
constexpr int maxIconDataSide = 256;

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

// The shortcut property, an array of arrays of key names.
QList<QStringList> shortcutOf(const QVariant& value) {
    QList<QStringList> out;
    if (value.metaType() != QMetaType::fromType<QDBusArgument>())
        return out;
    const auto& arg = *static_cast<const QDBusArgument*>(value.constData());
    if (arg.currentSignature() != QLatin1String("aas"))
        return out;
    arg.beginArray();
    while (!arg.atEnd()) {
        QStringList keys;
        arg >> keys;
        if (out.size() < maxShortcutChords)
            out.push_back(keys.mid(0, maxShortcutKeys));
    }
    arg.endArray();
    return out;
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
    applyDBusMenuProperties(e, props);
    return e;
}

DBusMenuEntry* findEntry(DBusMenuEntry& node, int id) {
    if (node.id == id)
        return &node;
    for (auto& child : node.children)
        if (auto* found = findEntry(child, id))
            return found;
    return nullptr;
}

} // namespace

std::optional<DBusMenuEntry> readDBusMenuLayout(const QDBusArgument& argument) {
    int budget = maxEntries;
    return readNode(argument, 0, budget);
}

void applyDBusMenuProperties(DBusMenuEntry& e, const QVariantMap& props) {
    if (props.contains(QStringLiteral("type")))
        e.separator = text(props, "type") == QLatin1String("separator");
    e.label = text(props, "label", e.label);
    e.enabled = flag(props, "enabled", e.enabled);
    e.visible = flag(props, "visible", e.visible);
    e.toggleType = text(props, "toggle-type", e.toggleType);
    e.toggleState = number(props, "toggle-state", e.toggleState);
    e.iconName = text(props, "icon-name", e.iconName);
    e.childrenDisplay = text(props, "children-display", e.childrenDisplay);
    if (auto it = props.constFind(QStringLiteral("icon-data")); it != props.constEnd()) {
        if (it->metaType() == QMetaType::fromType<QByteArray>())
            e.iconData =
                it->toByteArray().size() <= maxIconDataBytes ? it->toByteArray() : QByteArray();
    }
    if (auto it = props.constFind(QStringLiteral("shortcut")); it != props.constEnd())
        e.shortcut = shortcutOf(*it);
}

void resetDBusMenuProperties(DBusMenuEntry& e, const QStringList& names) {
    const DBusMenuEntry defaults;
    for (const auto& name : names) {
        if (name == QLatin1String("type"))
            e.separator = defaults.separator;
        else if (name == QLatin1String("label"))
            e.label = defaults.label;
        else if (name == QLatin1String("enabled"))
            e.enabled = defaults.enabled;
        else if (name == QLatin1String("visible"))
            e.visible = defaults.visible;
        else if (name == QLatin1String("toggle-type"))
            e.toggleType = defaults.toggleType;
        else if (name == QLatin1String("toggle-state"))
            e.toggleState = defaults.toggleState;
        else if (name == QLatin1String("icon-name"))
            e.iconName = defaults.iconName;
        else if (name == QLatin1String("icon-data"))
            e.iconData = defaults.iconData;
        else if (name == QLatin1String("children-display"))
            e.childrenDisplay = defaults.childrenDisplay;
        else if (name == QLatin1String("shortcut"))
            e.shortcut = defaults.shortcut;
    }
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

QKeySequence dbusMenuShortcut(const QList<QStringList>& shortcut) {
    if (shortcut.isEmpty() || shortcut.size() > maxShortcutChords)
        return {};
    QStringList chords;
    for (const auto& keys : shortcut) {
        if (keys.isEmpty() || keys.size() > maxShortcutKeys)
            return {};
        QStringList parts;
        for (qsizetype i = 0; i < keys.size(); ++i) {
            const QString& key = keys[i];
            const bool last = i + 1 == keys.size();
            if (key == QLatin1String("Control"))
                parts << QStringLiteral("Ctrl");
            else if (key == QLatin1String("Alt") || key == QLatin1String("Shift"))
                parts << key;
            else if (key == QLatin1String("Super"))
                parts << QStringLiteral("Meta");
            else if (!last || key.isEmpty() || key.contains(QLatin1Char(',')) || key.size() > 32)
                return {}; // a key before the last, or none at all
            else if (key == QLatin1String("plus"))
                parts << QStringLiteral("+");
            else if (key == QLatin1String("minus"))
                parts << QStringLiteral("-");
            else
                parts << key;
            if (last && parts.size() == i + 1 && parts.back() != key &&
                (key == QLatin1String("Control") || key == QLatin1String("Alt") ||
                 key == QLatin1String("Shift") || key == QLatin1String("Super")))
                return {}; // modifiers only
        }
        chords << parts.join(QLatin1Char('+'));
    }
    const QKeySequence sequence =
        QKeySequence::fromString(chords.join(QStringLiteral(", ")), QKeySequence::PortableText);
    if (sequence.count() != static_cast<int>(chords.size()))
        return {};
    for (int i = 0; i < sequence.count(); ++i)
        if (sequence[i].key() == Qt::Key_unknown || sequence[i].key() == Qt::Key(0))
            return {};
    return sequence;
}

QIcon dbusMenuIcon(const DBusMenuEntry& e) {
    if (!e.iconData.isEmpty() && e.iconData.size() <= maxIconDataBytes) {
        QBuffer buffer;
        buffer.setData(e.iconData);
        QImageReader reader(&buffer, "png");
        const QSize size = reader.size();
        if (size.isValid() && size.width() <= maxIconDataSide && size.height() <= maxIconDataSide) {
            const QImage image = reader.read();
            if (!image.isNull())
                return QIcon(QPixmap::fromImage(image));
        }
    }
    if (!e.iconName.isEmpty())
        return QIcon::fromTheme(e.iconName);
    return {};
}

DBusMenu::DBusMenu(QDBusConnection bus, QString service, QString path)
    : bus_(std::move(bus)), service_(std::move(service)), path_(std::move(path)) {}

DBusMenu::~DBusMenu() {
    listen(false);
}

QDBusMessage DBusMenu::call(const QString& method) {
    return QDBusMessage::createMethodCall(service_, path_, menuInterface, method);
}

void DBusMenu::listen(bool on) {
    // The program's changes are heard only while its menu is open: a closed menu is read anew
    // when it opens.
    if (on == listening_)
        return;
    listening_ = on;
    if (on) {
        bus_.connect(service_, path_, menuInterface, QStringLiteral("LayoutUpdated"), this,
                     SLOT(layoutUpdated(uint, int)));
        bus_.connect(service_, path_, menuInterface, QStringLiteral("ItemsPropertiesUpdated"), this,
                     SLOT(itemsPropertiesUpdated(QDBusMessage)));
    } else {
        bus_.disconnect(service_, path_, menuInterface, QStringLiteral("LayoutUpdated"), this,
                        SLOT(layoutUpdated(uint, int)));
        bus_.disconnect(service_, path_, menuInterface, QStringLiteral("ItemsPropertiesUpdated"),
                        this, SLOT(itemsPropertiesUpdated(QDBusMessage)));
    }
}

void DBusMenu::open(QPoint at, std::function<void()> onClosed) {
    if (menu_)
        return;
    // The program may update its menu first; whatever it answers, the layout is read next.
    auto msg = call(QStringLiteral("AboutToShow"));
    msg << 0;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(msg, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, at, onClosed = std::move(onClosed)](QDBusPendingCallWatcher* w) mutable {
                w->deleteLater();
                fetchLayout(0, [this, at, onClosed = std::move(onClosed)](
                                   std::optional<DBusMenuEntry> root) mutable {
                    if (!root) {
                        if (onClosed)
                            onClosed();
                        return;
                    }
                    root_ = std::move(*root);
                    // Shown from the run loop rather than inside the reply's handler: the menu
                    // runs a loop of its own.
                    QPointer<DBusMenu> self = this;
                    QTimer::singleShot(0, this,
                                       [self, at, onClosed = std::move(onClosed)]() mutable {
                                           if (self)
                                               self->show(at, std::move(onClosed));
                                       });
                });
            });
}

void DBusMenu::fetchLayout(int parent, std::function<void(std::optional<DBusMenuEntry>)> done) {
    auto msg = call(QStringLiteral("GetLayout"));
    msg << parent << -1 << QStringList();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(msg, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [done = std::move(done)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                const QDBusMessage reply = w->reply();
                std::optional<DBusMenuEntry> node;
                if (reply.type() == QDBusMessage::ReplyMessage && reply.arguments().size() == 2) {
                    const QVariant layout = reply.arguments()[1];
                    if (layout.metaType() == QMetaType::fromType<QDBusArgument>())
                        node = readDBusMenuLayout(
                            *static_cast<const QDBusArgument*>(layout.constData()));
                }
                done(std::move(node));
            });
}

void DBusMenu::show(QPoint at, std::function<void()> onClosed) {
    QPointer<DBusMenu> self = this;
    chosen_.reset();
    {
        QMenu menu;
        menu_ = &menu;
        menus_[0] = &menu;
        fill(menu, root_);
        listen(true);
        if (!menu.isEmpty())
            execMenu(menu, at);
        if (self) {
            listen(false);
            menu_ = nullptr;
            menus_.clear();
            actions_.clear();
            fetching_.clear();
            fetchAgain_.clear();
        }
    }
    if (!self) {
        if (onClosed)
            onClosed();
        return;
    }
    if (chosen_) {
        auto msg = call(QStringLiteral("Event"));
        msg << *chosen_ << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0))
            << static_cast<uint>(QDateTime::currentSecsSinceEpoch());
        bus_.send(msg);
    }
    if (onClosed)
        onClosed();
}

void DBusMenu::fill(QMenu& menu, const DBusMenuEntry& parent) {
    QActionGroup* radios = nullptr;
    for (const auto& e : parent.children) {
        if (e.separator) {
            auto* separator = menu.addSeparator();
            separator->setVisible(e.visible);
            actions_[e.id] = separator;
            radios = nullptr;
            continue;
        }
        QAction* action = nullptr;
        if (e.opensSubmenu()) {
            // A submenu is filled from what is known and asked again as it opens; one the
            // program fills only then shows that it is coming rather than a dead entry.
            auto* sub = new QMenu(qtMenuLabel(e.label), &menu);
            sub->setPalette(menu.palette());
            menus_[e.id] = sub;
            if (e.children.empty())
                sub->addAction(QStringLiteral("\u2026"))->setEnabled(false);
            else
                fill(*sub, e);
            const int id = e.id;
            connect(sub, &QMenu::aboutToShow, this, [this, id] { submenuOpening(id); });
            action = menu.addMenu(sub);
        } else {
            action = menu.addAction(qtMenuLabel(e.label));
            const int id = e.id;
            connect(action, &QAction::triggered, this, [this, id] { chosen_ = id; });
        }
        actions_[e.id] = action;
        if (e.toggleType == QLatin1String("radio")) {
            // Neighbouring radio entries form a group, drawn as radio buttons.
            if (!radios)
                radios = new QActionGroup(&menu);
            radios->addAction(action);
        } else {
            radios = nullptr;
        }
        updateAction(e);
    }
}

void DBusMenu::updateAction(const DBusMenuEntry& e) {
    auto it = actions_.find(e.id);
    if (it == actions_.end())
        return;
    QAction* action = it->second;
    action->setVisible(e.visible);
    if (action->isSeparator())
        return;
    action->setText(qtMenuLabel(e.label));
    action->setEnabled(e.enabled);
    action->setIcon(dbusMenuIcon(e));
    // Shown beside the label; the program itself reacts to the keys.
    action->setShortcutContext(Qt::WidgetShortcut);
    action->setShortcut(dbusMenuShortcut(e.shortcut));
    const bool toggles =
        e.toggleType == QLatin1String("checkmark") || e.toggleType == QLatin1String("radio");
    action->setCheckable(toggles);
    action->setChecked(toggles && e.toggleState == 1);
}

void DBusMenu::submenuOpening(int id) {
    // The program may change the submenu now; it says so, or fills it only now.
    auto msg = call(QStringLiteral("AboutToShow"));
    msg << id;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(msg, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, id](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (!menu_)
                    return;
                const QDBusMessage reply = w->reply();
                const bool needUpdate =
                    reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
                    reply.arguments().constFirst().metaType() == QMetaType::fromType<bool>() &&
                    reply.arguments().constFirst().toBool();
                const DBusMenuEntry* entry = findEntry(root_, id);
                if (needUpdate || (entry && entry->children.empty()))
                    refetch(id);
            });
}

void DBusMenu::refetch(int parent) {
    if (!menu_)
        return;
    // One read per subtree at a time: a program that signals in a loop costs one more read.
    if (fetching_.count(parent)) {
        fetchAgain_.insert(parent);
        return;
    }
    fetching_.insert(parent);
    fetchLayout(parent, [this, parent](std::optional<DBusMenuEntry> fresh) {
        fetching_.erase(parent);
        if (!menu_)
            return;
        if (fresh && fresh->id == parent)
            replaceChildren(parent, std::move(*fresh));
        if (fetchAgain_.erase(parent))
            refetch(parent);
    });
}

void DBusMenu::forget(const DBusMenuEntry& entry) {
    for (const auto& child : entry.children) {
        forget(child);
        actions_.erase(child.id);
        if (auto it = menus_.find(child.id); it != menus_.end()) {
            it->second->deleteLater();
            menus_.erase(it);
        }
    }
}

const DBusMenuEntry* DBusMenu::parentOf(int id) const {
    const std::function<const DBusMenuEntry*(const DBusMenuEntry&)> search =
        [&](const DBusMenuEntry& node) -> const DBusMenuEntry* {
        for (const auto& child : node.children) {
            if (child.id == id)
                return &node;
            if (auto* found = search(child))
                return found;
        }
        return nullptr;
    };
    return search(root_);
}

void DBusMenu::rebuild(int parent) {
    DBusMenuEntry* entry = findEntry(root_, parent);
    auto shown = menus_.find(parent);
    if (!entry || shown == menus_.end())
        return;
    QMenu* menu = shown->second;
    menu->clear();
    if (entry->children.empty() && parent != 0)
        menu->addAction(QStringLiteral("Empty"))->setEnabled(false);
    fill(*menu, *entry);
}

void DBusMenu::replaceChildren(int parent, DBusMenuEntry fresh) {
    DBusMenuEntry* entry = findEntry(root_, parent);
    if (!entry)
        return;
    forget(*entry);
    entry->children = std::move(fresh.children);
    if (menus_.count(parent)) {
        rebuild(parent);
        return;
    }
    // An entry shown as a plain one that now has entries of its own becomes a submenu: its
    // menu is drawn anew.
    if (const DBusMenuEntry* holder = parentOf(parent); holder && entry->opensSubmenu()) {
        const int holderId = holder->id;
        forget(*findEntry(root_, holderId));
        rebuild(holderId);
    }
}

void DBusMenu::layoutUpdated(uint, int parent) {
    if (!menu_)
        return;
    // A part of the layout that is not shown is read with its nearest shown ancestor: the
    // whole menu when the program names an entry this menu does not know.
    refetch(findEntry(root_, parent) ? parent : 0);
}

void DBusMenu::itemsPropertiesUpdated(const QDBusMessage& message) {
    if (!menu_)
        return;
    const auto args = message.arguments();
    if (args.size() != 2)
        return;
    auto compound = [](const QVariant& v, const char* signature) -> const QDBusArgument* {
        if (v.metaType() != QMetaType::fromType<QDBusArgument>())
            return nullptr;
        const auto* arg = static_cast<const QDBusArgument*>(v.constData());
        return arg->currentSignature() == QLatin1String(signature) ? arg : nullptr;
    };
    const QDBusArgument* updated = compound(args[0], "a(ia{sv})");
    const QDBusArgument* removed = compound(args[1], "a(ias)");
    if (!updated || !removed)
        return;
    // Each entry with the one holding it, found once for the whole signal: a program that
    // updates every entry of a large menu costs one walk of it, not one per entry.
    std::unordered_map<int, std::pair<DBusMenuEntry*, DBusMenuEntry*>> index;
    const std::function<void(DBusMenuEntry&)> walk = [&](DBusMenuEntry& node) {
        for (auto& child : node.children) {
            index.try_emplace(child.id, &child, &node);
            walk(child);
        }
    };
    walk(root_);
    auto entry = [&](int id) -> DBusMenuEntry* {
        auto it = index.find(id);
        return it == index.end() ? nullptr : it->second.first;
    };
    std::set<int> changed;
    int budget = maxEntries;
    updated->beginArray();
    while (!updated->atEnd()) {
        int id = 0;
        QVariantMap props;
        updated->beginStructure();
        *updated >> id >> props;
        updated->endStructure();
        if (--budget < 0)
            continue;
        if (auto* e = entry(id)) {
            applyDBusMenuProperties(*e, props);
            changed.insert(id);
        }
    }
    updated->endArray();
    removed->beginArray();
    while (!removed->atEnd()) {
        int id = 0;
        QStringList names;
        removed->beginStructure();
        *removed >> id >> names;
        removed->endStructure();
        if (--budget < 0)
            continue;
        if (auto* e = entry(id)) {
            resetDBusMenuProperties(*e, names);
            changed.insert(id);
        }
    }
    removed->endArray();
    std::set<int> rebuilt;
    for (int id : changed) {
        const DBusMenuEntry* e = entry(id);
        auto action = actions_.find(id);
        if (!e || action == actions_.end())
            continue;
        // An entry that became (or stopped being) a separator or a submenu is drawn anew with
        // its neighbours; any other change is made on its action.
        const bool isSubmenu = menus_.count(id) > 0;
        if (action->second->isSeparator() != e->separator || isSubmenu != e->opensSubmenu()) {
            rebuilt.insert(index.at(id).second->id);
            continue;
        }
        updateAction(*e);
    }
    for (int holderId : rebuilt)
        if (DBusMenuEntry* holder = findEntry(root_, holderId)) {
            forget(*holder);
            rebuild(holderId);
        }
}

} // namespace desktop
