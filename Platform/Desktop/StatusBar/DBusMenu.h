// Another program's menu published on the session bus (com.canonical.dbusmenu): read with
// GetLayout after AboutToShow, shown as a QMenu under the tray item, the chosen entry reported
// back with an Event "clicked". Main thread only.
#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPoint>
#include <QString>
#include <functional>
#include <optional>
#include <vector>

class QDBusArgument;
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
    std::vector<DBusMenuEntry> children;
};

// Reads a (ia{sv}av) layout node, at most 8 levels and 1000 entries deep; none when it is not
// one.
std::optional<DBusMenuEntry> readDBusMenuLayout(const QDBusArgument& argument);
// A label with '_' before its mnemonic letter ("__" for an underscore) in Qt's form ('&').
QString qtMenuLabel(const QString& label);
// Fills `menu` with `root`'s children; choosing one sets `chosen` to its id.
void fillDBusMenu(QMenu& menu, const DBusMenuEntry& root, std::optional<int>& chosen);

class DBusMenu final : public QObject {
    Q_OBJECT
public:
    DBusMenu(QDBusConnection bus, QString service, QString path);

    // Asks for the current layout and shows it at `at` (global), then reports the choice.
    // `onClosed` runs when the menu has closed, or at once when the program did not answer.
    void open(QPoint at, std::function<void()> onClosed);

private:
    void fetchLayout(QPoint at, std::function<void()> onClosed);
    void show(const DBusMenuEntry& root, QPoint at, std::function<void()> onClosed);
    QDBusMessage call(const QString& method);

    QDBusConnection bus_;
    QString service_;
    QString path_;
};

} // namespace desktop
