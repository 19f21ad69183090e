// Another program's menu published on the session bus (com.canonical.dbusmenu): read with
// GetLayout after AboutToShow, shown as a QMenu under the tray item, the chosen entry reported
// back with an Event "clicked". While it is open it follows the program: each submenu is asked
// AboutToShow as it opens (and read again when the program says it changed, or filled then when
// the program fills it lazily), and LayoutUpdated and ItemsPropertiesUpdated change the open
// menu in place. Main thread only.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QKeySequence>
#include <QList>
#include <QObject>
#include <QPoint>
#include <QString>
#include <QStringList>
#include <QVariantMap>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <vector>

class QAction;
class QDBusArgument;
class QDBusMessage;
class QIcon;
class QMenu;

namespace desktop {

// One entry of the layout, with the properties the menu shows.
struct DBusMenuEntry {
    int id = 0;
    bool separator = false;
    QString label;
    bool enabled = true;
    bool visible = true;
    // "checkmark", "radio" or empty; the state is 1 for on, 0 for off, -1 for neither.
    QString toggleType;
    int toggleState = -1;
    QString iconName;
    // A PNG image drawn as the entry's icon (before the icon name).
    QByteArray iconData;
    // "submenu" when the entry opens a submenu, even one the program fills only when it opens.
    QString childrenDisplay;
    // Key combinations, each a list of key names ("Control", "Alt", "Shift", "Super", then the
    // key).
    QList<QStringList> shortcut;
    std::vector<DBusMenuEntry> children;

    bool opensSubmenu() const {
        return !children.empty() || childrenDisplay == QLatin1String("submenu");
    }
};

// Reads a (ia{sv}av) layout node, at most 8 levels and 1000 entries deep; none when it is not
// one.
std::optional<DBusMenuEntry> readDBusMenuLayout(const QDBusArgument& argument);
// Sets the properties in `properties` on `entry`; unknown or mistyped ones are ignored.
void applyDBusMenuProperties(DBusMenuEntry& entry, const QVariantMap& properties);
// Gives the named properties of `entry` their defaults again (the program removed them).
void resetDBusMenuProperties(DBusMenuEntry& entry, const QStringList& names);
// A label with '_' before its mnemonic letter ("__" for an underscore) in Qt's form ('&').
QString qtMenuLabel(const QString& label);
// The key sequence of a shortcut as the bus gives it ([["Control","S"]] is Ctrl+S); empty when
// it names no key or more than four combinations.
QKeySequence dbusMenuShortcut(const QList<QStringList>& shortcut);
// The entry's icon: its PNG data (at most 256 KiB and 256 pixels a side) when it decodes, else
// its icon name in the icon theme; null when neither gives one.
QIcon dbusMenuIcon(const DBusMenuEntry& entry);

class DBusMenu final : public QObject {
    Q_OBJECT
public:
    DBusMenu(QDBusConnection bus, QString service, QString path);
    ~DBusMenu() override;

    // Asks for the current layout and shows it at `at` (global), then reports the choice.
    // `onClosed` runs when the menu has closed, or at once when the program did not answer.
    void open(QPoint at, std::function<void()> onClosed);
    // The menu while it is shown, else null.
    QMenu* shownMenu() const { return menu_; }

private slots:
    void layoutUpdated(uint revision, int parent);
    void itemsPropertiesUpdated(const QDBusMessage& message);

private:
    void fetchLayout(int parent, std::function<void(std::optional<DBusMenuEntry>)> done);
    void show(QPoint at, std::function<void()> onClosed);
    void fill(QMenu& menu, const DBusMenuEntry& parent);
    void submenuOpening(int id);
    void refetch(int parent);
    void replaceChildren(int parent, DBusMenuEntry fresh);
    // Draws the shown submenu of entry `parent` (0 for the menu) anew from the layout.
    void rebuild(int parent);
    const DBusMenuEntry* parentOf(int id) const;
    void forget(const DBusMenuEntry& entry);
    void updateAction(const DBusMenuEntry& entry);
    void listen(bool on);
    QDBusMessage call(const QString& method);

    QDBusConnection bus_;
    QString service_;
    QString path_;
    // What is shown, while the menu is open: the layout, each entry's action and each
    // submenu's menu by the id of its entry (0 for the menu itself).
    DBusMenuEntry root_;
    QMenu* menu_ = nullptr;
    std::map<int, QAction*> actions_;
    std::map<int, QMenu*> menus_;
    std::optional<int> chosen_;
    // Layouts being read again, and those asked for again meanwhile.
    std::set<int> fetching_;
    std::set<int> fetchAgain_;
    bool listening_ = false;
};

} // namespace desktop
