#include "Platform/Desktop/StatusBar/TrayHost.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/DBusMenu.h"
#include "Platform/Desktop/StatusBar/TrayIcons.h"
#include "Platform/StatusBar.h"
#include "Platform/UserDefaults.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusPendingCallWatcher>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QGuiApplication>
#include <QScreen>
#include <cmath>
#include <map>
#include <mutex>
#include <unistd.h>

namespace desktop {

namespace {

const QString watcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString watcherPath = QStringLiteral("/StatusNotifierWatcher");
const QString watcherInterface = QStringLiteral("org.kde.StatusNotifierWatcher");
constexpr int callTimeoutMs = 5000;
constexpr qsizetype maxIdLength = 128;

// The autosave name part of an item's id: printable, bounded.
QString cleanId(const QString& id) {
    QString out;
    for (const QChar c : id.left(maxIdLength))
        if (c.isPrint())
            out += c;
    return out;
}

std::mutex iconsMutex;
std::map<int, QImage>& iconTable() {
    static std::map<int, QImage> table;
    return table;
}

} // namespace

// --- the icons the panel shows ---

namespace trayicons {

void set(int number, const QImage& image) {
    std::lock_guard lock(iconsMutex);
    iconTable()[number] = image;
}

void remove(int number) {
    std::lock_guard lock(iconsMutex);
    iconTable().erase(number);
}

QImage get(int number) {
    std::lock_guard lock(iconsMutex);
    auto it = iconTable().find(number);
    return it == iconTable().end() ? QImage() : it->second;
}

} // namespace trayicons

// --- the watcher ---

TrayWatcher::TrayWatcher(QDBusConnection bus) : bus_(std::move(bus)) {
    services_ = new QDBusServiceWatcher(this);
    services_->setConnection(bus_);
    services_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(services_, &QDBusServiceWatcher::serviceUnregistered, this, &TrayWatcher::serviceGone);
}

TrayWatcher::~TrayWatcher() {
    if (published_) {
        bus_.unregisterService(watcherService);
        bus_.unregisterObject(watcherPath);
    }
}

bool TrayWatcher::publish() {
    if (!bus_.registerObject(watcherPath, this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                 QDBusConnection::ExportAllProperties))
        return false;
    if (!bus_.registerService(watcherService)) {
        bus_.unregisterObject(watcherPath);
        return false;
    }
    published_ = true;
    return true;
}

void TrayWatcher::RegisterStatusNotifierItem(const QString& serviceOrPath,
                                             const QDBusMessage& message) {
    // An object path names an object of the caller's own connection.
    QString service = serviceOrPath;
    QString path = QStringLiteral("/StatusNotifierItem");
    if (serviceOrPath.startsWith(QLatin1Char('/'))) {
        service = message.service();
        path = serviceOrPath;
    }
    if (service.isEmpty() || service.contains(QLatin1Char('/')) || service.size() > 255)
        return;
    const QString item = service + path;
    if (items_.contains(item))
        return;
    items_.push_back(item);
    services_->addWatchedService(service);
    emit StatusNotifierItemRegistered(item);
    if (onItemRegistered)
        onItemRegistered(item);
}

void TrayWatcher::RegisterStatusNotifierHost(const QString& service, const QDBusMessage& message) {
    const QString name = service.isEmpty() ? message.service() : service;
    if (name.isEmpty() || hosts_.contains(name))
        return;
    hosts_.push_back(name);
    services_->addWatchedService(name);
    emit StatusNotifierHostRegistered();
}

void TrayWatcher::serviceGone(const QString& service) {
    const QString prefix = service + QLatin1Char('/');
    const QStringList items = items_;
    for (const auto& item : items) {
        if (!item.startsWith(prefix))
            continue;
        items_.removeAll(item);
        emit StatusNotifierItemUnregistered(item);
        if (onItemUnregistered)
            onItemUnregistered(item);
    }
    if (hosts_.removeAll(service) > 0)
        emit StatusNotifierHostUnregistered();
    services_->removeWatchedService(service);
}

// --- the host ---

TrayHost::TrayHost(DesktopHost& host, QDBusConnection bus) : host_(host), bus_(std::move(bus)) {}

TrayHost::~TrayHost() {
    for (auto& [key, item] : items_) {
        hide(item);
        trayicons::remove(item.number);
    }
    items_.clear();
    if (!hostName_.isEmpty())
        bus_.unregisterService(hostName_);
}

std::string TrayHost::positionKey(const std::string& autosaveName) {
    return "Tray Item Preferred Position " + autosaveName;
}

void TrayHost::start() {
    if (!bus_.isConnected()) {
        host_.logHost(platform::LogLevel::info,
                      "no session bus: other programs' tray items are not shown");
        return;
    }
    static int instances = 0;
    hostName_ = QStringLiteral("org.kde.StatusNotifierHost-%1-%2").arg(::getpid()).arg(++instances);
    bus_.registerService(hostName_);

    services_ = new QDBusServiceWatcher(this);
    services_->setConnection(bus_);
    services_->setWatchMode(QDBusServiceWatcher::WatchForUnregistration);
    connect(services_, &QDBusServiceWatcher::serviceUnregistered, this, &TrayHost::removeService);

    // When the session's watcher goes, its items go with it; they come back to the watcher
    // this process then provides.
    watcherName_ = new QDBusServiceWatcher(watcherService, bus_,
                                           QDBusServiceWatcher::WatchForUnregistration, this);
    connect(watcherName_, &QDBusServiceWatcher::serviceUnregistered, this, [this] {
        if (role_ != Role::host)
            return;
        bus_.disconnect(watcherService, watcherPath, watcherInterface,
                        QStringLiteral("StatusNotifierItemRegistered"), this,
                        SLOT(itemRegistered(QString)));
        bus_.disconnect(watcherService, watcherPath, watcherInterface,
                        QStringLiteral("StatusNotifierItemUnregistered"), this,
                        SLOT(itemUnregistered(QString)));
        std::vector<QString> keys;
        for (const auto& [key, item] : items_)
            keys.push_back(key);
        for (const auto& key : keys)
            remove(key);
        role_ = Role::none;
        becomeWatcher();
    });

    if (bus_.interface()->isServiceRegistered(watcherService))
        registerWithWatcher();
    else
        becomeWatcher();
}

void TrayHost::becomeWatcher() {
    watcher_ = std::make_unique<TrayWatcher>(bus_);
    watcher_->onItemRegistered = [this](const QString& item) { add(item); };
    watcher_->onItemUnregistered = [this](const QString& item) { itemUnregistered(item); };
    if (!watcher_->publish()) {
        // Another program took the name meanwhile: be its host.
        watcher_.reset();
        registerWithWatcher();
        return;
    }
    role_ = Role::watcher;
    host_.logHost(platform::LogLevel::info, "providing the tray item watcher");
}

void TrayHost::registerWithWatcher() {
    role_ = Role::host;
    bus_.connect(watcherService, watcherPath, watcherInterface,
                 QStringLiteral("StatusNotifierItemRegistered"), this,
                 SLOT(itemRegistered(QString)));
    bus_.connect(watcherService, watcherPath, watcherInterface,
                 QStringLiteral("StatusNotifierItemUnregistered"), this,
                 SLOT(itemUnregistered(QString)));
    auto registration =
        QDBusMessage::createMethodCall(watcherService, watcherPath, watcherInterface,
                                       QStringLiteral("RegisterStatusNotifierHost"));
    registration << hostName_;
    bus_.send(registration);

    auto get = QDBusMessage::createMethodCall(watcherService, watcherPath,
                                              QStringLiteral("org.freedesktop.DBus.Properties"),
                                              QStringLiteral("Get"));
    get << watcherInterface << QStringLiteral("RegisteredStatusNotifierItems");
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(get, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        const QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            host_.logHost(platform::LogLevel::error,
                          "the tray item watcher did not list its items: " +
                              w->error().message().toStdString());
            return;
        }
        const QVariant value = reply.arguments().constFirst().value<QDBusVariant>().variant();
        QStringList items;
        if (value.metaType() == QMetaType::fromType<QStringList>())
            items = value.toStringList();
        else if (value.metaType() == QMetaType::fromType<QDBusArgument>() &&
                 static_cast<const QDBusArgument*>(value.constData())->currentSignature() ==
                     QLatin1String("as"))
            items = qdbus_cast<QStringList>(value);
        for (const auto& item : items)
            add(item);
    });
    host_.logHost(platform::LogLevel::info, "registered with the session's tray item watcher");
}

void TrayHost::itemRegistered(const QString& item) {
    add(item);
}

void TrayHost::itemUnregistered(const QString& item) {
    if (auto address = parseTrayItemAddress(item))
        remove(address->key());
}

void TrayHost::add(const QString& text) {
    auto address = parseTrayItemAddress(text);
    if (!address || items_.count(address->key()))
        return;
    const QString key = address->key();
    auto* remote = new TrayItem(bus_, *address);
    remote->setParent(this);
    Item& item = items_[key];
    item.remote = remote;
    item.number = nextNumber_++;
    services_->addWatchedService(address->service);
    remote->onChange = [this, key] { sync(key); };
    remote->onFailure = [this, key] { remove(key); };
    remote->start();
}

void TrayHost::remove(const QString& key) {
    auto it = items_.find(key);
    if (it == items_.end())
        return;
    Item& item = it->second;
    hide(item);
    trayicons::remove(item.number);
    item.remote->onChange = nullptr;
    item.remote->onFailure = nullptr;
    item.remote->deleteLater();
    if (item.menu)
        item.menu->deleteLater();
    items_.erase(it);
}

void TrayHost::removeService(const QString& service) {
    std::vector<QString> gone;
    for (const auto& [key, item] : items_)
        if (item.remote->address().service == service)
            gone.push_back(key);
    for (const auto& key : gone)
        remove(key);
    services_->removeWatchedService(service);
}

void TrayHost::hide(Item& item) {
    if (item.statusItem) {
        host_.desktopStatusBar().removeForeignItem(item.statusItem);
        item.statusItem.reset();
    }
    releaseApplication(item);
}

int TrayHost::iconPixels() const {
    double ratio = 1;
    if (auto* screen = QGuiApplication::primaryScreen())
        ratio = screen->devicePixelRatio();
    return static_cast<int>(std::ceil(iconPoints * ratio));
}

std::string TrayHost::autosaveNameFor(const TrayItemProperties& p, const QString& key) const {
    QString id = cleanId(p.id);
    if (id.isEmpty())
        id = cleanId(p.title);
    if (id.isEmpty())
        id = QStringLiteral("item");
    const std::string base = "tray." + id.toStdString();
    // A second item with the same id (a second copy of a program) gets a number.
    for (int n = 1;; ++n) {
        const std::string name = n == 1 ? base : base + "#" + std::to_string(n);
        bool taken = false;
        for (const auto& [otherKey, other] : items_)
            taken = taken || (otherKey != key && other.autosaveName == name);
        if (!taken)
            return name;
    }
}

double TrayHost::newItemPosition() const {
    // Just on the edge's side of the dot, with the items that stay shown.
    const auto dot =
        host_.userDefaults().object(platform::preferredPositionKey("quillet.separator"));
    if (dot)
        if (auto position = dot->asNumber())
            return *position - 0.5;
    return 0;
}

void TrayHost::sync(const QString& key) {
    auto found = items_.find(key);
    if (found == items_.end())
        return;
    Item& item = found->second;
    const TrayItem& remote = *item.remote;
    if (!remote.ready() || !remote.pidKnown())
        return;
    const auto& p = remote.properties();
    if (p.passive()) {
        hide(item);
        return;
    }
    const QImage icon = renderTrayIcon(p, iconPixels());
    const QString ownerText = !p.title.isEmpty() ? p.title
                              : !p.id.isEmpty()  ? p.id
                                                 : remote.address().service;
    const std::string owner = ownerText.left(maxIdLength).toStdString();
    const std::string toolTip = p.toolTipText().left(1024).toStdString();
    bool shown = false;
    auto& bar = host_.desktopStatusBar();
    if (!item.statusItem) {
        item.autosaveName = autosaveNameFor(p, key);
        ForeignItemSpec spec;
        spec.kind = ForeignItemSpec::Kind::tray;
        spec.ownerName = owner;
        spec.ownerPID = remote.pid();
        spec.autosaveName = item.autosaveName;
        spec.width = itemWidth;
        spec.toolTip = toolTip;
        spec.image = icon;
        // Where the user put it last (in this run, or kept in the defaults), else shown.
        auto position = bar.foreignPosition(item.autosaveName);
        if (!position)
            if (auto kept = host_.userDefaults().object(positionKey(item.autosaveName)))
                position = kept->asNumber();
        if (!position) {
            position = newItemPosition();
            host_.userDefaults().set(positionKey(item.autosaveName), *position);
        }
        spec.preferredPosition = position;
        spec.onClick = [this, key](ForeignClick c, QPoint at) { click(key, c, at); };
        item.statusItem = bar.addForeignItem(spec);
        shown = true;
    } else {
        bar.updateForeignItem(item.statusItem, [&](ForeignItemSpec& s) {
            s.ownerName = owner;
            s.ownerPID = remote.pid();
            s.toolTip = toolTip;
            s.image = icon;
        });
    }
    item.icon = icon;
    ++item.iconVersion;
    trayicons::set(item.number, icon);
    updateApplication(item, remote.pid(), owner);
    if (shown && onItemShown)
        onItemShown();
}

void TrayHost::updateApplication(Item& item, std::int32_t pid, const std::string& name) {
    if (pid <= 0 || pid == host_.processInfo().processIdentifier)
        return;
    if (item.appPID != pid) {
        releaseApplication(item);
        auto it = apps_.find(pid);
        if (it == apps_.end()) {
            // Another kind of application already known under this pid keeps its own icon.
            if (host_.workspace().runningApplication(pid))
                return;
            auto app = std::make_shared<DesktopRunningApplication>(pid, std::nullopt, name,
                                                                   [] { return false; });
            host_.desktopWorkspace().add(app);
            it = apps_.emplace(pid, std::make_pair(app, 0)).first;
        }
        ++it->second.second;
        item.appPID = pid;
    }
    auto& app = apps_.at(pid).first;
    app->setLocalizedName(name);
    // The version makes the panel fetch the image again when the icon changed.
    const std::string resource =
        "tray:" + std::to_string(item.number) + "/" + std::to_string(item.iconVersion);
    app->setIcon(item.icon.isNull() ? std::optional<platform::Image>()
                                    : std::optional<platform::Image>(
                                          platform::Image{"", resource, name, {}, false}));
}

void TrayHost::releaseApplication(Item& item) {
    if (item.appPID == 0)
        return;
    auto it = apps_.find(item.appPID);
    item.appPID = 0;
    if (it == apps_.end())
        return;
    if (--it->second.second <= 0) {
        host_.desktopWorkspace().remove(it->second.first);
        apps_.erase(it);
    }
}

void TrayHost::click(const QString& key, ForeignClick click, QPoint at) {
    auto found = items_.find(key);
    if (found == items_.end())
        return;
    TrayItem& remote = *found->second.remote;
    const auto& p = remote.properties();
    switch (click) {
    case ForeignClick::primary:
        if (p.itemIsMenu && !p.menu.isEmpty())
            openMenu(key, at);
        else if (p.itemIsMenu)
            remote.contextMenu(at);
        else
            remote.activate(at);
        return;
    case ForeignClick::secondary:
        if (!p.menu.isEmpty())
            openMenu(key, at);
        else
            remote.contextMenu(at);
        return;
    case ForeignClick::middle:
        remote.secondaryActivate(at);
        return;
    }
}

void TrayHost::openMenu(const QString& key, QPoint at) {
    auto found = items_.find(key);
    if (found == items_.end())
        return;
    Item& item = found->second;
    if (item.menuOpen)
        return;
    const auto& address = item.remote->address();
    const QString path = item.remote->properties().menu;
    if (item.menu && item.menu->property("menuPath").toString() != path) {
        item.menu->deleteLater();
        item.menu = nullptr;
    }
    if (!item.menu) {
        item.menu = new DBusMenu(bus_, address.service, path);
        item.menu->setParent(this);
        item.menu->setProperty("menuPath", path);
    }
    item.menuOpen = true;
    item.menu->open(at, [this, key] {
        if (auto it = items_.find(key); it != items_.end())
            it->second.menuOpen = false;
    });
}

std::vector<TrayHost::ItemInfo> TrayHost::items() const {
    std::vector<ItemInfo> out;
    for (const auto& [key, item] : items_)
        out.push_back(
            {key, item.remote->pid(), item.remote->properties(), item.statusItem, item.icon});
    return out;
}

} // namespace desktop
