#include "Platform/Desktop/StatusBar/TrayHost.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/DBusMenu.h"
#include "Platform/Desktop/StatusBar/ForeignItems.h"
#include "Platform/Desktop/StatusBar/TrayIcons.h"
#include "Platform/StatusBar.h"
#include "Platform/UserDefaults.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QIcon>
#include <QScreen>
#include <QThreadPool>
#include <QTimer>
#include <chrono>
#include <cmath>
#include <cstdlib>
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
    services_->setWatchMode(QDBusServiceWatcher::WatchForOwnerChange);
    connect(services_, &QDBusServiceWatcher::serviceOwnerChanged, this, &TrayWatcher::ownerChanged);
}

TrayWatcher::~TrayWatcher() {
    if (published_) {
        if (!handedOver_)
            bus_.unregisterService(watcherService);
        bus_.unregisterObject(watcherPath);
    }
}

bool TrayWatcher::publish() {
    if (!bus_.registerObject(watcherPath, this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals |
                                 QDBusConnection::ExportAllProperties))
        return false;
    // Held so that another watcher may take it over (a desktop's own, restarted): this process
    // then becomes its host.
    const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
        bus_.interface()->registerService(watcherService,
                                          QDBusConnectionInterface::DontQueueService,
                                          QDBusConnectionInterface::AllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        bus_.unregisterObject(watcherPath);
        return false;
    }
    published_ = true;
    return true;
}

void TrayWatcher::refuse(const QString& why) {
    if (calledFromDBus())
        sendErrorReply(QStringLiteral("org.kde.StatusNotifierWatcher.Error.Refused"), why);
}

void TrayWatcher::RegisterStatusNotifierItem(const QString& serviceOrPath,
                                             const QDBusMessage& message) {
    const QString caller = message.service();
    if (caller.isEmpty())
        return refuse(QStringLiteral("no caller"));
    // An object path names an object of the caller's own connection; a service name must be
    // the caller's own (its unique name, or a name it owns now).
    QString service = serviceOrPath;
    QString path = QStringLiteral("/StatusNotifierItem");
    if (serviceOrPath.startsWith(QLatin1Char('/'))) {
        service = caller;
        path = serviceOrPath;
        if (path.size() > 255 || !QDBusObjectPath(path).path().size())
            return refuse(QStringLiteral("not an object path"));
    }
    if (service.isEmpty() || service.contains(QLatin1Char('/')) || service.size() > 255)
        return refuse(QStringLiteral("not a bus name"));
    if (service != caller) {
        if (service.startsWith(QLatin1Char(':')))
            return refuse(QStringLiteral("another connection's name"));
        const QDBusReply<QString> owner = bus_.interface()->serviceOwner(service);
        if (!owner.isValid() || owner.value().isEmpty())
            return refuse(QStringLiteral("the name has no owner"));
        if (owner.value() != caller)
            return refuse(QStringLiteral("the name belongs to another connection"));
    }
    const QString item = service + path;
    if (items_.contains(item)) {
        // Registered again (a program that restarted its item, or whose first answer was
        // lost): its host asks it again.
        if (onItemRegistered)
            onItemRegistered(item);
        return;
    }
    if (perConnection_[caller] >= maxItemsPerConnection || items_.size() >= maxItems) {
        if (perConnection_[caller] == 0)
            perConnection_.erase(caller);
        return refuse(QStringLiteral("too many items"));
    }
    items_.push_back(item);
    owners_[item] = caller;
    ++perConnection_[caller];
    services_->addWatchedService(caller);
    if (service != caller)
        services_->addWatchedService(service);
    emit StatusNotifierItemRegistered(item);
    if (onItemRegistered)
        onItemRegistered(item);
}

void TrayWatcher::RegisterStatusNotifierHost(const QString& service, const QDBusMessage& message) {
    const QString name = service.isEmpty() ? message.service() : service;
    if (name.isEmpty() || hosts_.contains(name) || hosts_.size() >= maxItems)
        return;
    hosts_.push_back(name);
    services_->addWatchedService(name);
    emit StatusNotifierHostRegistered();
}

void TrayWatcher::drop(const QString& item) {
    items_.removeAll(item);
    if (auto it = owners_.find(item); it != owners_.end()) {
        if (--perConnection_[it->second] <= 0)
            perConnection_.erase(it->second);
        owners_.erase(it);
    }
    emit StatusNotifierItemUnregistered(item);
    if (onItemUnregistered)
        onItemUnregistered(item);
}

void TrayWatcher::ownerChanged(const QString& name, const QString&, const QString& newOwner) {
    // A closed connection takes its items with it; a name that went or changed hands takes
    // the items registered under it.
    const QString prefix = name + QLatin1Char('/');
    const QStringList items = items_;
    for (const auto& item : items) {
        const auto owner = owners_.find(item);
        const bool byName = item.startsWith(prefix);
        const bool byConnection = owner != owners_.end() && owner->second == name;
        if ((byName && (owner == owners_.end() || newOwner != owner->second)) ||
            (byConnection && newOwner.isEmpty()))
            drop(item);
    }
    if (newOwner.isEmpty() && hosts_.removeAll(name) > 0)
        emit StatusNotifierHostUnregistered();
    bool watched = hosts_.contains(name);
    for (const auto& [item, owner] : owners_)
        watched = watched || owner == name || item.startsWith(prefix);
    if (!watched)
        services_->removeWatchedService(name);
}

// --- the host ---

// Renders run on a pool of their own threads and report back here, to the host while it
// lives: a render stuck on a hung file system holds a pool thread, never the strip.
struct TrayRenderMailbox {
    std::mutex mutex;
    TrayHost* host = nullptr;
};

namespace {

QThreadPool& renderPool(bool files) {
    // Never waited for: a thread stuck in a read must not hold up the program's exit.
    static auto* withFiles = [] {
        auto* pool = new QThreadPool;
        pool->setMaxThreadCount(4);
        // Idle threads wait without timers: an idle strip wakes for nothing.
        pool->setExpiryTimeout(-1);
        return pool;
    }();
    static auto* withoutFiles = [] {
        auto* pool = new QThreadPool;
        pool->setMaxThreadCount(1);
        pool->setExpiryTimeout(-1);
        return pool;
    }();
    return files ? *withFiles : *withoutFiles;
}

std::int64_t daysSinceEpoch(std::chrono::system_clock::time_point t) {
    return std::chrono::duration_cast<std::chrono::hours>(t.time_since_epoch()).count() / 24;
}

} // namespace

TrayHost::TrayHost(DesktopHost& host, QDBusConnection bus)
    : host_(host), bus_(std::move(bus)), mailbox_(std::make_shared<TrayRenderMailbox>()) {
    mailbox_->host = this;
    frame_ = new QTimer(this);
    frame_->setSingleShot(true);
    frame_->setInterval(16);
    connect(frame_, &QTimer::timeout, this, [this] {
        const auto keys = std::exchange(dirty_, {});
        for (const auto& key : keys)
            syncNow(key);
    });
    defaultsTimer_ = new QTimer(this);
    defaultsTimer_->setSingleShot(true);
    defaultsTimer_->setInterval(1000);
    connect(defaultsTimer_, &QTimer::timeout, this, &TrayHost::flushDefaults);
}

TrayHost::~TrayHost() {
    {
        std::lock_guard lock(mailbox_->mutex);
        mailbox_->host = nullptr;
    }
    flushDefaults();
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
    forgetOldPositions();
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

    // Another watcher took the name from this one: its items go, and come back through it.
    connect(bus_.interface(), &QDBusConnectionInterface::serviceUnregistered, this,
            [this](const QString& name) {
                if (name != watcherService || role_ != Role::watcher || !watcher_)
                    return;
                host_.logHost(platform::LogLevel::info,
                              "another tray item watcher took over: hosting its items");
                watcher_->handOver();
                std::vector<QString> keys;
                for (const auto& [key, item] : items_)
                    keys.push_back(key);
                for (const auto& key : keys)
                    remove(key);
                watcher_.reset();
                role_ = Role::none;
                registerWithWatcher();
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
    if (!address)
        return;
    const QString key = address->key();
    if (auto known = items_.find(key); known != items_.end()) {
        // Registered again: ask it again now, whatever its state.
        known->second.remote->refresh();
        return;
    }
    if (items_.size() >= maxItems) {
        host_.logHost(platform::LogLevel::error, "too many tray items: one more is not shown");
        return;
    }
    auto* remote = new TrayItem(bus_, *address);
    remote->setParent(this);
    Item& item = items_[key];
    item.remote = remote;
    item.number = nextNumber_++;
    services_->addWatchedService(address->service);
    remote->onChange = [this, key] { sync(key); };
    remote->start();
}

void TrayHost::remove(const QString& key) {
    auto it = items_.find(key);
    if (it == items_.end())
        return;
    Item& item = it->second;
    hide(item);
    trayicons::remove(item.number);
    dirty_.erase(key);
    item.remote->onChange = nullptr;
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
        autosaveNames_.erase(item.autosaveName);
        host_.desktopStatusBar().removeForeignItem(item.statusItem);
        item.statusItem.reset();
    }
    apps_.release(item.appPID);
}

int TrayHost::iconPixels() const {
    double ratio = 1;
    if (auto* screen = QGuiApplication::primaryScreen())
        ratio = screen->devicePixelRatio();
    return static_cast<int>(std::ceil(iconPoints * ratio));
}

std::string TrayHost::autosaveNameFor(const TrayItemProperties& p, const QString&) const {
    QString id = cleanId(p.id);
    if (id.isEmpty())
        id = cleanId(p.title);
    if (id.isEmpty())
        id = QStringLiteral("item");
    return distinctAutosaveName("tray." + id.toStdString(), autosaveNames_, &nextCopy_);
}

double TrayHost::newItemPosition() const {
    return positionBesideDot(host_.userDefaults());
}

void TrayHost::sync(const QString& key) {
    dirty_.insert(key);
    if (!frame_->isActive())
        frame_->start();
}

void TrayHost::syncNow(const QString& key) {
    auto found = items_.find(key);
    if (found == items_.end())
        return;
    Item& item = found->second;
    const TrayItem& remote = *item.remote;
    if (!remote.ready() || !remote.pidKnown())
        return;
    const auto& p = remote.properties();
    // The icon is drawn again only when what it is drawn from changed, off this thread; the
    // item enters the strip once its first icon is ready.
    IconInputs inputs{p.iconName,
                      p.overlayIconName,
                      p.attentionIconName,
                      p.iconThemePath,
                      p.iconPixmap,
                      p.overlayIconPixmap,
                      p.attentionIconPixmap,
                      p.needsAttention(),
                      !item.filesUnreliable && !slowThemePaths_.count(p.iconThemePath),
                      iconPixels()};
    if (item.rendered != inputs) {
        if (item.rendering != inputs)
            render(key, item, inputs);
        if (!item.statusItem)
            return;
    }
    const QImage& icon = item.icon;
    const QString ownerText = !p.title.isEmpty() ? p.title
                              : !p.id.isEmpty()  ? p.id
                                                 : remote.address().service;
    const std::string owner = ownerText.left(maxIdLength).toStdString();
    const std::string toolTip = p.toolTipText().left(1024).toStdString();
    const QString label = labelText(p.label);
    const double width = itemWidth + labelWidth(label);
    const bool symbolic = p.symbolicIcon();
    // A passive item waits on the hidden side (in the hidden-items panel) from the moment it
    // turns passive until it is active again; a drag meanwhile puts it where it is dropped.
    const bool turned = p.passive() != item.passive;
    item.passive = p.passive();
    bool shown = false;
    auto& bar = host_.desktopStatusBar();
    if (!item.statusItem) {
        item.autosaveName = autosaveNameFor(p, key);
        autosaveNames_.insert(item.autosaveName);
        if (auto hash = item.autosaveName.rfind('#'); hash != std::string::npos)
            nextCopy_[item.autosaveName.substr(0, hash)] =
                std::atoi(item.autosaveName.c_str() + hash + 1) + 1;
        ForeignItemSpec spec;
        spec.kind = ForeignItemSpec::Kind::tray;
        spec.ownerName = owner;
        spec.ownerPID = remote.pid();
        spec.autosaveName = item.autosaveName;
        spec.width = itemWidth;
        spec.toolTip = toolTip;
        spec.image = icon;
        spec.symbolic = symbolic;
        spec.label = label;
        spec.width = width;
        // Where the user put it last (in this run, or kept in the defaults), else shown.
        auto position = bar.foreignPosition(item.autosaveName);
        if (!position)
            if (auto kept = host_.userDefaults().object(positionKey(item.autosaveName)))
                position = kept->asNumber();
        std::optional<double> newPosition;
        if (!position)
            position = newPosition = newItemPosition();
        rememberSeen(item.autosaveName, newPosition);
        spec.preferredPosition = position;
        if (item.passive)
            spec.heldPosition = hiddenSidePosition(item.autosaveName);
        spec.onClick = [this, key](ForeignClick c, QPoint at) { click(key, c, at); };
        spec.onScroll = [this, key](int delta, Qt::Orientation o) { scroll(key, delta, o); };
        item.statusItem = bar.addForeignItem(spec);
        shown = true;
    } else {
        const auto* spec = bar.foreignSpec(item.statusItem);
        const bool same = spec && spec->ownerName == owner && spec->ownerPID == remote.pid() &&
                          spec->toolTip == toolTip && spec->image.cacheKey() == icon.cacheKey() &&
                          spec->symbolic == symbolic && spec->label == label &&
                          spec->width == width && !turned;
        const auto held = turned && item.passive ? hiddenSidePosition(item.autosaveName)
                                                 : std::optional<double>();
        if (!same)
            bar.updateForeignItem(item.statusItem, [&](ForeignItemSpec& s) {
                s.ownerName = owner;
                s.ownerPID = remote.pid();
                s.toolTip = toolTip;
                s.image = icon;
                s.symbolic = symbolic;
                s.label = label;
                s.width = width;
                if (turned)
                    s.heldPosition = held;
            });
    }
    updateApplication(item, remote.pid(), owner);
    if (shown && onItemShown)
        onItemShown();
}

std::optional<double> TrayHost::hiddenSidePosition(const std::string& autosaveName) const {
    // Just beyond Quillet's dot, unless the user keeps the item beyond it already.
    const auto dot =
        host_.userDefaults().object(platform::preferredPositionKey("quillet.separator"));
    const auto dotPosition = dot ? dot->asNumber() : std::nullopt;
    if (!dotPosition)
        return std::nullopt;
    auto own = host_.desktopStatusBar().foreignPosition(autosaveName);
    if (!own)
        if (auto kept = host_.userDefaults().object(positionKey(autosaveName)))
            own = kept->asNumber();
    if (own && *own > *dotPosition)
        return std::nullopt;
    return *dotPosition + 0.5;
}

QString TrayHost::labelText(const QString& label) {
    QString out = label.simplified().left(maxLabelLength);
    // No control or direction characters from another program in the strip.
    out.removeIf([](QChar c) {
        return c.category() == QChar::Other_Control || c.category() == QChar::Other_Format;
    });
    return out;
}

double TrayHost::labelWidth(const QString& label) {
    if (label.isEmpty())
        return 0;
    const QFontMetricsF metrics(labelFont());
    return std::min(maxLabelWidth, std::ceil(metrics.horizontalAdvance(label)) + 6);
}

QFont TrayHost::labelFont() {
    QFont font;
    font.setPixelSize(12);
    return font;
}

void TrayHost::render(const QString& key, Item& item, const IconInputs& inputs) {
    item.rendering = inputs;
    const std::uint64_t id = item.renderId = nextRenderId_++;
    TrayItemProperties p;
    p.iconName = inputs.iconName;
    p.overlayIconName = inputs.overlayIconName;
    p.attentionIconName = inputs.attentionIconName;
    p.iconThemePath = inputs.iconThemePath;
    p.iconPixmap = inputs.iconPixmap;
    p.overlayIconPixmap = inputs.overlayIconPixmap;
    p.attentionIconPixmap = inputs.attentionIconPixmap;
    if (inputs.needsAttention)
        p.status = QStringLiteral("NeedsAttention");
    // The system's icon theme is Qt's to read (cached by Qt, in the system's folders only); it
    // is asked here, on the GUI thread Qt wants it on, and the worker takes its images.
    std::map<QString, QImage> system;
    for (const QString* name : {&p.iconName, &p.overlayIconName, &p.attentionIconName})
        if (!name->isEmpty() && !name->contains(QLatin1Char('/')) && !system.count(*name) &&
            QIcon::hasThemeIcon(*name))
            system[*name] = QIcon::fromTheme(*name).pixmap(inputs.pixels).toImage();
    auto mailbox = mailbox_;
    const bool files = inputs.files;
    const int pixels = inputs.pixels;
    renderPool(files).start(
        [mailbox, key, id, p = std::move(p), system = std::move(system), files, pixels] {
            TrayIconSources sources;
            sources.files = files;
            sources.systemIcon = [&system](const QString& name, int) {
                auto it = system.find(name);
                return it == system.end() ? QImage() : it->second;
            };
            const QImage image = renderTrayIcon(p, pixels, sources);
            std::lock_guard lock(mailbox->mutex);
            if (mailbox->host)
                QMetaObject::invokeMethod(
                    mailbox->host,
                    [host = mailbox->host, key, id, image] { host->rendered(key, id, image); },
                    Qt::QueuedConnection);
        });
    // A render that reads files gets a deadline: a hung mount or a huge tree must not keep
    // the item without an icon.
    if (files)
        QTimer::singleShot(renderDeadlineMs, this, [this, key, id] {
            auto it = items_.find(key);
            if (it == items_.end() || it->second.renderId != id || !it->second.rendering)
                return;
            Item& late = it->second;
            host_.logHost(platform::LogLevel::error,
                          "a tray item's icon files did not answer in time: it is drawn "
                          "without them");
            late.filesUnreliable = true;
            if (!late.rendering->iconThemePath.isEmpty())
                slowThemePaths_.insert(late.rendering->iconThemePath);
            late.rendering.reset();
            sync(key);
        });
}

void TrayHost::rendered(const QString& key, std::uint64_t renderId, const QImage& image) {
    auto it = items_.find(key);
    if (it == items_.end() || it->second.renderId != renderId || !it->second.rendering)
        return;
    Item& item = it->second;
    item.rendered = std::exchange(item.rendering, std::nullopt);
    // Only an icon that really changed is a new image for the strip and the panel.
    if (image != item.icon || image.isNull() != item.icon.isNull()) {
        item.icon = image;
        ++item.iconVersion;
        trayicons::set(item.number, image);
    }
    syncNow(key);
}

void TrayHost::rememberSeen(const std::string& autosaveName, std::optional<double> newPosition) {
    if (newPosition)
        pendingPositions_[autosaveName] = *newPosition;
    pendingSeen_[autosaveName] = daysSinceEpoch(host_.now());
    if (!defaultsTimer_->isActive())
        defaultsTimer_->start();
}

void TrayHost::flushDefaults() {
    // One write per item new to Quillet and one for the dates: not one per answer.
    auto& defaults = host_.userDefaults();
    for (const auto& [name, position] : std::exchange(pendingPositions_, {}))
        if (!defaults.object(positionKey(name)))
            defaults.set(positionKey(name), position);
    if (pendingSeen_.empty())
        return;
    platform::Dictionary seen;
    if (auto kept = defaults.object(lastSeenKey))
        if (const auto* d = kept->asDictionary())
            seen = *d;
    bool changed = false;
    for (const auto& [name, day] : std::exchange(pendingSeen_, {})) {
        auto& entry = seen[name];
        if (entry.asInteger() != day) {
            entry = platform::Value(day);
            changed = true;
        }
    }
    if (changed)
        defaults.set(lastSeenKey, platform::Value(std::move(seen)));
}

void TrayHost::forgetOldPositions() {
    // Positions of items not seen for 90 days go, with their dates.
    auto& defaults = host_.userDefaults();
    auto kept = defaults.object(lastSeenKey);
    const auto* seen = kept ? kept->asDictionary() : nullptr;
    if (!seen)
        return;
    const std::int64_t today = daysSinceEpoch(host_.now());
    platform::Dictionary keep;
    for (const auto& [name, day] : *seen) {
        const auto d = day.asInteger();
        if (d && today - *d <= forgetAfterDays)
            keep.emplace(name, day);
        else
            defaults.removeObject(positionKey(name));
    }
    if (keep.size() != seen->size())
        defaults.set(lastSeenKey, platform::Value(std::move(keep)));
}

void TrayHost::updateApplication(Item& item, std::int32_t pid, const std::string& name) {
    auto app = apps_.hold(item.appPID, pid, name);
    if (!app)
        return;
    app->setLocalizedName(name);
    // The version makes the panel fetch the image again when the icon changed.
    const std::string resource =
        "tray:" + std::to_string(item.number) + "/" + std::to_string(item.iconVersion);
    // A symbolic icon is a template: the panel draws it in its own text colour.
    const bool symbolic = item.remote->properties().symbolicIcon();
    app->setIcon(item.icon.isNull() ? std::optional<platform::Image>()
                                    : std::optional<platform::Image>(
                                          platform::Image{"", resource, name, {}, symbolic}));
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
            // An item without Activate (libappindicator's) opens its menu, as other hosts do.
            remote.activate(at, [this, key, at] {
                auto it = items_.find(key);
                if (it == items_.end())
                    return;
                if (!it->second.remote->properties().menu.isEmpty())
                    openMenu(key, at);
                else
                    it->second.remote->contextMenu(at);
            });
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

void TrayHost::scroll(const QString& key, int delta, Qt::Orientation orientation) {
    if (auto it = items_.find(key); it != items_.end())
        it->second.remote->scroll(delta, orientation);
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
        out.push_back({key, item.remote->pid(), item.remote->properties(), item.statusItem,
                       item.icon, item.iconVersion});
    return out;
}

} // namespace desktop
