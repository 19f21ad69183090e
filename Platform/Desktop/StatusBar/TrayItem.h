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
class QTimer;
class QVariant;

namespace desktop {

// One image of an icon as sent on the bus: width, height and ARGB32 pixels in network byte
// order.
struct TrayPixmap {
    int width = 0;
    int height = 0;
    QByteArray data;
    bool operator==(const TrayPixmap&) const = default;
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
    // Text shown beside the icon (libayatana-appindicator's XAyatanaLabel).
    QString label;

    bool needsAttention() const { return status == QLatin1String("NeedsAttention"); }
    bool passive() const { return status == QLatin1String("Passive"); }
    // Whether the icon drawn is a symbolic one (a theme name ending in "-symbolic"), drawn in
    // the colour of the text around it.
    bool symbolicIcon() const;
    // The text the strip shows on hover: the tooltip's title and description, else the title.
    QString toolTipText() const;
};

// Reads the dictionary that Properties.GetAll returns; unknown or mistyped entries are ignored.
TrayItemProperties readTrayItemProperties(const QVariantMap& values);

// Where renderTrayIcon may look for a named icon. Files (an absolute icon name, the item's own
// theme path) are read only with `files`; the system's icon theme through `systemIcon`, which
// gives a null image for a name it does not know.
struct TrayIconSources {
    bool files = true;
    std::function<QImage(const QString& name, int pixels)> systemIcon;
};

// The file of icon `name` in an item's own theme path, looked up only where a theme keeps it
// (<path>/hicolor/<size>/<category>/<name>.png|svg, then <path>/<name>.svg|png|xpm) at fixed
// depth, the folder list cached per path: never a walk of the tree. Empty when there is none.
// Touches the file system: not on the GUI thread.
QString findThemePathIcon(const QString& themePath, const QString& name, int pixels);

// Draws the item's icon at `pixels` square: the attention icon while it needs attention (when
// it has one), else its icon, by name (an absolute file, its own theme path, the system theme)
// or from its pixmaps, with the overlay in the lower right quarter. Null when it has no icon at
// all. With files among the sources it reads and decodes files: not on the GUI thread.
QImage renderTrayIcon(const TrayItemProperties& properties, int pixels,
                      const TrayIconSources& sources);

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
    // every later change. An item that does not answer its first GetAll (busy, or failing) is
    // asked again with growing pauses for as long as its bus name lives: its owner removes it
    // when the name goes.
    void start();
    // Asks again at once (the program registered the item again), the back-off started over.
    void refresh();
    std::function<void()> onChange;

    // The item's own actions, at a point in global coordinates. `activate` runs `onRefused`
    // when the item has no Activate (AppIndicator-style items) or it fails.
    void activate(QPoint at, std::function<void()> onRefused);
    void secondaryActivate(QPoint at);
    void contextMenu(QPoint at);
    // A wheel turn: `delta` in the wheel's steps of 120, vertical or horizontal.
    void scroll(int delta, Qt::Orientation orientation);

    // The pauses before asking a silent item again: 1 s doubling up to a minute.
    static constexpr int firstRetryMs = 1000;
    static constexpr int maxRetryMs = 60'000;

private slots:
    void changed();
    void statusChanged(const QString& status);

private:
    void fetch();
    void retryLater();
    void call(const QString& method, QPoint at);

    QDBusConnection bus_;
    TrayItemAddress address_;
    TrayItemProperties properties_;
    std::int32_t pid_ = 0;
    bool pidKnown_ = false;
    bool ready_ = false;
    bool fetching_ = false;
    bool fetchAgain_ = false;
    int retryMs_ = firstRetryMs;
    QTimer* retry_ = nullptr;
};

} // namespace desktop
