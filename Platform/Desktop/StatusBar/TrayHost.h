// Hosts other programs' tray icons (StatusNotifierItems) in the strip: registers as a host with
// the session's org.kde.StatusNotifierWatcher, or is the watcher itself when none runs, and
// turns each item into another application's status item, kept current by the item's signals.
// Main thread only.
#pragma once

#include "Platform/Desktop/StatusBar/DesktopStatusBar.h"
#include "Platform/Desktop/StatusBar/ForeignItems.h"
#include "Platform/Desktop/StatusBar/TrayItem.h"

#include <QDBusConnection>
#include <QDBusContext>
#include <QDBusMessage>
#include <QFont>
#include <QImage>
#include <QObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

class QDBusServiceWatcher;
class QTimer;

namespace platform {
class StatusItem;
}

namespace desktop {

class DBusMenu;
class DesktopHost;
struct TrayRenderMailbox;
class DesktopRunningApplication;

// The watcher this process provides when the session has none, at /StatusNotifierWatcher. It
// believes no one: an item registered by service name must come from that name's owner, one
// registered by object path belongs to the caller, names without an owner are refused, and an
// item goes when its name changes hands or its connection closes. Each connection may register
// a bounded number of items, and all of them together too.
class TrayWatcher final : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    static constexpr int maxItemsPerConnection = 16;
    static constexpr int maxItems = 256;

    explicit TrayWatcher(QDBusConnection bus);
    ~TrayWatcher() override;

    // Takes the watcher's name (letting another watcher replace it) and object; false when
    // another process holds the name.
    bool publish();
    // The name went to another watcher: it is not this one's to give back.
    void handOver() { handedOver_ = true; }
    QStringList registeredItems() const { return items_; }
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

    // This process's own host learns of items through these; an item registered again runs
    // onItemRegistered again.
    std::function<void(const QString&)> onItemRegistered;
    std::function<void(const QString&)> onItemUnregistered;

public slots:
    void RegisterStatusNotifierItem(const QString& serviceOrPath, const QDBusMessage& message);
    void RegisterStatusNotifierHost(const QString& service, const QDBusMessage& message);

signals:
    void StatusNotifierItemRegistered(const QString& item);
    void StatusNotifierItemUnregistered(const QString& item);
    void StatusNotifierHostRegistered();
    void StatusNotifierHostUnregistered();

private:
    void ownerChanged(const QString& name, const QString& oldOwner, const QString& newOwner);
    void drop(const QString& item);
    void refuse(const QString& why);

    QDBusConnection bus_;
    QStringList items_;
    // The unique name of the connection each item belongs to.
    std::map<QString, QString> owners_;
    std::map<QString, int> perConnection_;
    QStringList hosts_;
    QDBusServiceWatcher* services_ = nullptr;
    bool published_ = false;
    bool handedOver_ = false;
};

class TrayHost final : public QObject {
    Q_OBJECT
public:
    enum class Role { none, watcher, host };
    // Icons are drawn this many points square in the strip.
    static constexpr int iconPoints = 18;
    static constexpr double itemWidth = 26;

    TrayHost(DesktopHost& host, QDBusConnection bus);
    ~TrayHost() override;

    // Becomes the watcher, or registers with the session's; items then arrive by themselves.
    void start();
    Role role() const { return role_; }

    // Items this host follows at most, whoever lists them.
    static constexpr std::size_t maxItems = 256;
    // A render that has not come back by then is given up: the item is drawn again without
    // reading files, and its theme path is not read again.
    static constexpr int renderDeadlineMs = 1500;
    // Stored positions of items not seen for this long are removed.
    static constexpr int forgetAfterDays = 90;
    static constexpr const char* lastSeenKey = "Tray Items Last Seen";

    struct ItemInfo {
        QString key;
        std::int32_t pid = 0;
        TrayItemProperties properties;
        // Null while the item is not in the strip (not answered yet).
        std::shared_ptr<platform::StatusItem> statusItem;
        QImage icon;
        // How many times its icon was drawn anew (a change that altered it).
        int iconVersion = 0;
    };
    std::vector<ItemInfo> items() const;
    // Runs each time an item enters the strip.
    std::function<void()> onItemShown;

    // The key under which user defaults keep a tray item's preferred position.
    static std::string positionKey(const std::string& autosaveName);

    // An item's label as the strip shows it beside the icon: on one line, without control
    // characters, at most 64 characters and 200 points wide.
    static constexpr qsizetype maxLabelLength = 64;
    static constexpr double maxLabelWidth = 200;
    static QString labelText(const QString& label);
    // The room the label takes beside the icon; 0 without one.
    static double labelWidth(const QString& label);
    static QFont labelFont();

private slots:
    void itemRegistered(const QString& item);
    void itemUnregistered(const QString& item);

private:
    // What an item's icon is drawn from: a render runs only when this changed.
    struct IconInputs {
        QString iconName, overlayIconName, attentionIconName, iconThemePath;
        QVector<TrayPixmap> iconPixmap, overlayIconPixmap, attentionIconPixmap;
        bool needsAttention = false;
        bool files = true;
        int pixels = 0;
        bool operator==(const IconInputs&) const = default;
    };

    struct Item {
        // A child of the host, deleted later when the item goes (it may be mid-call).
        TrayItem* remote = nullptr;
        std::shared_ptr<platform::StatusItem> statusItem;
        std::string autosaveName;
        QImage icon;
        int number = 0;
        int iconVersion = 0;
        std::int32_t appPID = 0;
        DBusMenu* menu = nullptr;
        bool menuOpen = false;
        bool passive = false;
        // The inputs of the icon drawn last, and of the render under way.
        std::optional<IconInputs> rendered;
        std::optional<IconInputs> rendering;
        std::uint64_t renderId = 0;
        // Set once a render missed its deadline: files are not read for this item again.
        bool filesUnreliable = false;
    };

    void becomeWatcher();
    void registerWithWatcher();
    void add(const QString& text);
    void remove(const QString& key);
    void removeService(const QString& service);
    // Marks an item for an update at the next frame: many answers in one frame cost one.
    void sync(const QString& key);
    void syncNow(const QString& key);
    void render(const QString& key, Item& item, const IconInputs& inputs);
    void rendered(const QString& key, std::uint64_t renderId, const QImage& image);
    void hide(Item& item);
    void click(const QString& key, ForeignClick click, QPoint at);
    void scroll(const QString& key, int delta, Qt::Orientation orientation);
    void rememberSeen(const std::string& autosaveName, std::optional<double> newPosition);
    void flushDefaults();
    void forgetOldPositions();
    void openMenu(const QString& key, QPoint at);
    std::string autosaveNameFor(const TrayItemProperties& p, const QString& key) const;
    double newItemPosition() const;
    // Where a passive item waits: just beyond Quillet's dot; none when there is no dot or the
    // item is beyond it already.
    std::optional<double> hiddenSidePosition(const std::string& autosaveName) const;
    void updateApplication(Item& item, std::int32_t pid, const std::string& name);
    int iconPixels() const;

    DesktopHost& host_;
    QDBusConnection bus_;
    QString hostName_;
    Role role_ = Role::none;
    std::unique_ptr<TrayWatcher> watcher_;
    QDBusServiceWatcher* services_ = nullptr;
    QDBusServiceWatcher* watcherName_ = nullptr;
    std::map<QString, Item> items_;
    int nextNumber_ = 1;
    // Autosave names in use, and the next number to try for a second copy of an id.
    std::set<std::string> autosaveNames_;
    std::map<std::string, int> nextCopy_;
    std::set<QString> dirty_;
    QTimer* frame_ = nullptr;
    // Theme paths that did not answer in time.
    std::set<QString> slowThemePaths_;
    std::uint64_t nextRenderId_ = 1;
    // Where renders report back; cleared when the host goes, while a render may still run.
    std::shared_ptr<TrayRenderMailbox> mailbox_;
    // Defaults written together, once a second at most.
    std::map<std::string, double> pendingPositions_;
    std::map<std::string, std::int64_t> pendingSeen_;
    QTimer* defaultsTimer_ = nullptr;
    // The running applications made for tray items' programs.
    ForeignApplications apps_{host_};
};

} // namespace desktop
