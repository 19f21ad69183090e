// Another program's tray icon, as it publishes itself on the session bus
// (org.kde.StatusNotifierItem): its properties, fetched again whenever it signals a change, and
// the calls that activate it. Main thread only.
#pragma once

#include <QDBusConnection>
#include <QImage>
#include <QObject>
#include <QString>
#include <QVector>
#include <cstdint>
#include <functional>
#include <optional>

class QDBusArgument;
class QDBusPendingCallWatcher;
class QVariant;

namespace desktop {

// One image of an icon as sent on the bus: width, height and ARGB32 pixels in network byte
// order.
struct TrayPixmap {
    int width = 0;
    int height = 0;
    QByteArray data;
};

// Reads an a(iiay) value; pixmaps whose sizes do not match their data, or that are empty or
// larger than 1024 pixels a side, are left out.
QVector<TrayPixmap> readTrayPixmaps(const QDBusArgument& argument);
// The image of the pixmap best suited to `pixels`: the smallest at least that large, else the
// largest; a null image when there is none.
QImage bestTrayPixmap(const QVector<TrayPixmap>& pixmaps, int pixels);
// Converts one pixmap (network byte order ARGB32) to an image; null when its size is wrong.
QImage imageFromTrayPixmap(const TrayPixmap& pixmap);

// What an item publishes.
struct TrayItemProperties {
    QString id;
    QString category;
    QString status;
    QString title;
    QString iconName;
    QVector<TrayPixmap> iconPixmap;
    QString overlayIconName;
    QVector<TrayPixmap> overlayIconPixmap;
    QString attentionIconName;
    QVector<TrayPixmap> attentionIconPixmap;
    QString iconThemePath;
    QString menu; // an object path; empty when the item has none
    bool itemIsMenu = false;
    // The tooltip (icon name, pixmaps, title, description): its title and description.
    QString toolTipTitle;
    QString toolTipDescription;

    bool needsAttention() const { return status == QLatin1String("NeedsAttention"); }
    bool passive() const { return status == QLatin1String("Passive"); }
    // The text the strip shows on hover: the tooltip's title and description, else the title.
    QString toolTipText() const;
};

// Reads the dictionary that Properties.GetAll returns; unknown or mistyped entries are ignored.
TrayItemProperties readTrayItemProperties(const QVariantMap& values);

// Draws the item's icon at `pixels` square: the attention icon while it needs attention (when
// it has one), else its icon, from the icon theme (or its own theme path) by name or from its
// pixmaps, with the overlay in the lower right quarter. Null when it has no icon at all.
QImage renderTrayIcon(const TrayItemProperties& properties, int pixels);

// "service/path" as watchers list items; a bare service means the usual object path.
struct TrayItemAddress {
    QString service;
    QString path;
    QString key() const { return service + path; }
};
std::optional<TrayItemAddress> parseTrayItemAddress(const QString& text);

class TrayItem final : public QObject {
    Q_OBJECT
public:
    TrayItem(QDBusConnection bus, TrayItemAddress address);
    ~TrayItem() override;

    const TrayItemAddress& address() const { return address_; }
    // False until the first answer to GetAll has arrived.
    bool ready() const { return ready_; }
    const TrayItemProperties& properties() const { return properties_; }
    // The process behind the item's connection; 0 when the bus did not say.
    std::int32_t pid() const { return pid_; }
    // True once the bus has answered (or failed to answer) about the process.
    bool pidKnown() const { return pidKnown_; }

    // Fetches the properties and the process id; `onChange` runs when they arrive and after
    // every later change, `onFailure` when the item does not answer.
    void start();
    std::function<void()> onChange;
    std::function<void()> onFailure;

    // The item's own actions, at a point in global coordinates.
    void activate(QPoint at);
    void secondaryActivate(QPoint at);
    void contextMenu(QPoint at);

private slots:
    void changed();
    void statusChanged(const QString& status);

private:
    void fetch();
    void call(const QString& method, QPoint at);

    QDBusConnection bus_;
    TrayItemAddress address_;
    TrayItemProperties properties_;
    std::int32_t pid_ = 0;
    bool pidKnown_ = false;
    bool ready_ = false;
    bool fetching_ = false;
    bool fetchAgain_ = false;
};

} // namespace desktop
