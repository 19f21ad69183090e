// Hosts other programs' tray icons (StatusNotifierItems) in the strip: registers as a host with
// the session's org.kde.StatusNotifierWatcher, or is the watcher itself when none runs, and
// turns each item into another application's status item, kept current by the item's signals.
// Main thread only.
#pragma once

#include "Platform/Desktop/StatusBar/DesktopStatusBar.h"
#include "Platform/Desktop/StatusBar/TrayItem.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QImage>
#include <QObject>
#include <QStringList>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

class QDBusServiceWatcher;

namespace platform {
class StatusItem;
}

namespace desktop {

class DBusMenu;
class DesktopHost;
class DesktopRunningApplication;

// The watcher this process provides when the session has none, at /StatusNotifierWatcher.
class TrayWatcher final : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ registeredItems)
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ isHostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
public:
    explicit TrayWatcher(QDBusConnection bus);
    ~TrayWatcher() override;

    // Takes the watcher's name and object; false when another process holds the name.
    bool publish();
    QStringList registeredItems() const { return items_; }
    bool isHostRegistered() const { return true; }
    int protocolVersion() const { return 0; }

    // This process's own host learns of items through these.
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
    void serviceGone(const QString& service);

    QDBusConnection bus_;
    QStringList items_;
    QStringList hosts_;
    QDBusServiceWatcher* services_ = nullptr;
    bool published_ = false;
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

    struct ItemInfo {
        QString key;
        std::int32_t pid = 0;
        TrayItemProperties properties;
        // Null while the item is not in the strip (not answered yet, or passive).
        std::shared_ptr<platform::StatusItem> statusItem;
        QImage icon;
    };
    std::vector<ItemInfo> items() const;
    // Runs each time an item enters the strip.
    std::function<void()> onItemShown;

    // The key under which user defaults keep a tray item's preferred position.
    static std::string positionKey(const std::string& autosaveName);

private slots:
    void itemRegistered(const QString& item);
    void itemUnregistered(const QString& item);

private:
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
    };

    void becomeWatcher();
    void registerWithWatcher();
    void add(const QString& text);
    void remove(const QString& key);
    void removeService(const QString& service);
    void sync(const QString& key);
    void hide(Item& item);
    void click(const QString& key, ForeignClick click, QPoint at);
    void openMenu(const QString& key, QPoint at);
    std::string autosaveNameFor(const TrayItemProperties& p, const QString& key) const;
    double newItemPosition() const;
    void updateApplication(Item& item, std::int32_t pid, const std::string& name);
    void releaseApplication(Item& item);
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
    // The running applications made for tray items' programs, with how many items use each.
    std::map<std::int32_t, std::pair<std::shared_ptr<DesktopRunningApplication>, int>> apps_;
};

} // namespace desktop
