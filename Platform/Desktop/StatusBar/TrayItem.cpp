#include "Platform/Desktop/StatusBar/TrayItem.h"

#include <QDBusArgument>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QIcon>
#include <QPainter>
#include <QtEndian>
#include <algorithm>
#include <cstring>

namespace desktop {

namespace {

const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
constexpr int maxPixmapSide = 1024;
constexpr int maxPixmaps = 32;
constexpr int callTimeoutMs = 5000;

// A string property, or empty when it is missing or of another type.
QString text(const QVariantMap& values, const char* key) {
    auto it = values.constFind(QLatin1String(key));
    if (it == values.constEnd())
        return {};
    if (it->canConvert<QDBusObjectPath>() &&
        it->metaType() == QMetaType::fromType<QDBusObjectPath>())
        return it->value<QDBusObjectPath>().path();
    if (it->metaType() != QMetaType::fromType<QString>())
        return {};
    return it->toString();
}

// The QDBusArgument of a compound value with D-Bus signature `signature`, or null.
const QDBusArgument* compound(const QVariantMap& values, const char* key, const char* signature) {
    auto it = values.constFind(QLatin1String(key));
    if (it == values.constEnd() || it->metaType() != QMetaType::fromType<QDBusArgument>())
        return nullptr;
    const auto* arg = static_cast<const QDBusArgument*>(it->constData());
    return arg->currentSignature() == QLatin1String(signature) ? arg : nullptr;
}

QVector<TrayPixmap> pixmaps(const QVariantMap& values, const char* key) {
    if (const auto* arg = compound(values, key, "a(iiay)"))
        return readTrayPixmaps(*arg);
    return {};
}

// An image of `pixels` square with `image` scaled into it, centred, keeping its aspect.
QImage fitted(const QImage& image, int pixels) {
    if (image.isNull())
        return {};
    if (image.width() == pixels && image.height() == pixels)
        return image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QImage out(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
    out.fill(Qt::transparent);
    QPainter p(&out);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    const QSize size = image.size().scaled(pixels, pixels, Qt::KeepAspectRatio);
    p.drawImage(QRect((pixels - size.width()) / 2, (pixels - size.height()) / 2, size.width(),
                      size.height()),
                image);
    return out;
}

// An icon file named `name` under the item's own theme directory: an SVG, else the PNG or XPM
// best suited to `pixels`.
QImage fromThemePath(const QString& themePath, const QString& name, int pixels) {
    if (themePath.isEmpty() || !QFileInfo(themePath).isDir())
        return {};
    QDirIterator it(themePath,
                    {name + QStringLiteral(".svg"), name + QStringLiteral(".png"),
                     name + QStringLiteral(".xpm")},
                    QDir::Files, QDirIterator::Subdirectories);
    QImage best;
    int seen = 0;
    while (it.hasNext() && seen++ < 64) {
        const QString file = it.next();
        if (file.endsWith(QLatin1String(".svg"))) {
            QIcon icon(file);
            QImage image = icon.pixmap(pixels, pixels).toImage();
            if (!image.isNull())
                return image;
            continue;
        }
        QImage image(file);
        if (image.isNull())
            continue;
        const bool fits = image.width() >= pixels;
        const bool bestFits = !best.isNull() && best.width() >= pixels;
        if (best.isNull() || (fits && (!bestFits || image.width() < best.width())) ||
            (!fits && !bestFits && image.width() > best.width()))
            best = image;
    }
    return best;
}

QImage iconImage(const QString& name, const QVector<TrayPixmap>& pixmaps, const QString& themePath,
                 int pixels) {
    if (!name.isEmpty()) {
        if (QDir::isAbsolutePath(name) && QFileInfo(name).isFile()) {
            QImage image = QIcon(name).pixmap(pixels, pixels).toImage();
            if (!image.isNull())
                return image;
        }
        QImage image = fromThemePath(themePath, name, pixels);
        if (!image.isNull())
            return image;
        QIcon icon = QIcon::fromTheme(name);
        if (!icon.isNull()) {
            image = icon.pixmap(pixels, pixels).toImage();
            if (!image.isNull())
                return image;
        }
    }
    return bestTrayPixmap(pixmaps, pixels);
}

} // namespace

QVector<TrayPixmap> readTrayPixmaps(const QDBusArgument& argument) {
    QVector<TrayPixmap> out;
    argument.beginArray();
    while (!argument.atEnd()) {
        TrayPixmap p;
        argument.beginStructure();
        argument >> p.width >> p.height >> p.data;
        argument.endStructure();
        if (out.size() >= maxPixmaps)
            continue;
        if (p.width <= 0 || p.height <= 0 || p.width > maxPixmapSide || p.height > maxPixmapSide)
            continue;
        if (p.data.size() != static_cast<qsizetype>(p.width) * p.height * 4)
            continue;
        out.push_back(std::move(p));
    }
    argument.endArray();
    return out;
}

QImage imageFromTrayPixmap(const TrayPixmap& pixmap) {
    if (pixmap.width <= 0 || pixmap.height <= 0 || pixmap.width > maxPixmapSide ||
        pixmap.height > maxPixmapSide ||
        pixmap.data.size() != static_cast<qsizetype>(pixmap.width) * pixmap.height * 4)
        return {};
    QImage image(pixmap.width, pixmap.height, QImage::Format_ARGB32);
    const auto* src = reinterpret_cast<const uchar*>(pixmap.data.constData());
    for (int y = 0; y < pixmap.height; ++y) {
        auto* line = reinterpret_cast<quint32*>(image.scanLine(y));
        for (int x = 0; x < pixmap.width; ++x)
            line[x] =
                qFromBigEndian<quint32>(src + (static_cast<qsizetype>(y) * pixmap.width + x) * 4);
    }
    return image;
}

QImage bestTrayPixmap(const QVector<TrayPixmap>& pixmaps, int pixels) {
    const TrayPixmap* best = nullptr;
    for (const auto& p : pixmaps) {
        if (!best) {
            best = &p;
            continue;
        }
        const bool fits = p.width >= pixels;
        const bool bestFits = best->width >= pixels;
        if ((fits && (!bestFits || p.width < best->width)) ||
            (!fits && !bestFits && p.width > best->width))
            best = &p;
    }
    return best ? imageFromTrayPixmap(*best) : QImage();
}

QString TrayItemProperties::toolTipText() const {
    if (toolTipTitle.isEmpty() && toolTipDescription.isEmpty())
        return title;
    if (toolTipDescription.isEmpty())
        return toolTipTitle;
    if (toolTipTitle.isEmpty())
        return toolTipDescription;
    return toolTipTitle + QLatin1Char('\n') + toolTipDescription;
}

TrayItemProperties readTrayItemProperties(const QVariantMap& values) {
    TrayItemProperties p;
    p.id = text(values, "Id");
    p.category = text(values, "Category");
    p.status = text(values, "Status");
    p.title = text(values, "Title");
    p.iconName = text(values, "IconName");
    p.iconPixmap = pixmaps(values, "IconPixmap");
    p.overlayIconName = text(values, "OverlayIconName");
    p.overlayIconPixmap = pixmaps(values, "OverlayIconPixmap");
    p.attentionIconName = text(values, "AttentionIconName");
    p.attentionIconPixmap = pixmaps(values, "AttentionIconPixmap");
    p.iconThemePath = text(values, "IconThemePath");
    p.menu = text(values, "Menu");
    if (p.menu == QLatin1String("/"))
        p.menu.clear();
    if (auto it = values.constFind(QStringLiteral("ItemIsMenu"));
        it != values.constEnd() && it->metaType() == QMetaType::fromType<bool>())
        p.itemIsMenu = it->toBool();
    if (const auto* arg = compound(values, "ToolTip", "(sa(iiay)ss)")) {
        QString iconName;
        arg->beginStructure();
        *arg >> iconName;
        readTrayPixmaps(*arg);
        *arg >> p.toolTipTitle >> p.toolTipDescription;
        arg->endStructure();
    }
    return p;
}

QImage renderTrayIcon(const TrayItemProperties& properties, int pixels) {
    if (pixels <= 0)
        return {};
    QImage base;
    if (properties.needsAttention())
        base = iconImage(properties.attentionIconName, properties.attentionIconPixmap,
                         properties.iconThemePath, pixels);
    if (base.isNull())
        base =
            iconImage(properties.iconName, properties.iconPixmap, properties.iconThemePath, pixels);
    if (base.isNull())
        return {};
    QImage out = fitted(base, pixels);
    const int half = std::max(1, pixels / 2);
    QImage overlay = iconImage(properties.overlayIconName, properties.overlayIconPixmap,
                               properties.iconThemePath, half);
    if (!overlay.isNull()) {
        QPainter p(&out);
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(QRect(pixels - half, pixels - half, half, half), fitted(overlay, half));
    }
    return out;
}

std::optional<TrayItemAddress> parseTrayItemAddress(const QString& text) {
    if (text.isEmpty() || text.size() > 512)
        return std::nullopt;
    const auto slash = text.indexOf(QLatin1Char('/'));
    TrayItemAddress a;
    if (slash < 0) {
        a.service = text;
        a.path = QStringLiteral("/StatusNotifierItem");
    } else {
        a.service = text.left(slash);
        a.path = text.mid(slash);
    }
    if (a.service.isEmpty())
        return std::nullopt;
    return a;
}

TrayItem::TrayItem(QDBusConnection bus, TrayItemAddress address)
    : bus_(std::move(bus)), address_(std::move(address)) {}

TrayItem::~TrayItem() {
    for (const char* name :
         {"NewIcon", "NewAttentionIcon", "NewOverlayIcon", "NewTitle", "NewToolTip", "NewMenu"})
        bus_.disconnect(address_.service, address_.path, itemInterface, QLatin1String(name), this,
                        SLOT(changed()));
    for (const char* name : {"NewStatus", "NewIconThemePath"})
        bus_.disconnect(address_.service, address_.path, itemInterface, QLatin1String(name), this,
                        SLOT(statusChanged(QString)));
}

void TrayItem::start() {
    // Every change comes as a signal: nothing is polled.
    for (const char* name :
         {"NewIcon", "NewAttentionIcon", "NewOverlayIcon", "NewTitle", "NewToolTip", "NewMenu"})
        bus_.connect(address_.service, address_.path, itemInterface, QLatin1String(name), this,
                     SLOT(changed()));
    for (const char* name : {"NewStatus", "NewIconThemePath"})
        bus_.connect(address_.service, address_.path, itemInterface, QLatin1String(name), this,
                     SLOT(statusChanged(QString)));

    auto pidCall = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("/org/freedesktop/DBus"),
        QStringLiteral("org.freedesktop.DBus"), QStringLiteral("GetConnectionUnixProcessID"));
    pidCall << address_.service;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(pidCall, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        QDBusPendingReply<uint> reply = *w;
        if (reply.isValid() && reply.value() <= 0x7fffffffu)
            pid_ = static_cast<std::int32_t>(reply.value());
        pidKnown_ = true;
        if (ready_ && onChange)
            onChange();
    });
    fetch();
}

void TrayItem::fetch() {
    if (fetching_) {
        fetchAgain_ = true;
        return;
    }
    fetching_ = true;
    auto msg = QDBusMessage::createMethodCall(address_.service, address_.path,
                                              QStringLiteral("org.freedesktop.DBus.Properties"),
                                              QStringLiteral("GetAll"));
    msg << itemInterface;
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(msg, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
        w->deleteLater();
        fetching_ = false;
        const QDBusMessage reply = w->reply();
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            // An item that never answered is no item; one that did keeps its last state.
            if (!ready_ && onFailure)
                onFailure();
            return;
        }
        const QVariant first = reply.arguments().constFirst();
        if (first.metaType() != QMetaType::fromType<QDBusArgument>() ||
            static_cast<const QDBusArgument*>(first.constData())->currentSignature() !=
                QLatin1String("a{sv}")) {
            if (!ready_ && onFailure)
                onFailure();
            return;
        }
        properties_ = readTrayItemProperties(qdbus_cast<QVariantMap>(first));
        ready_ = true;
        if (fetchAgain_) {
            fetchAgain_ = false;
            fetch();
        }
        if (onChange)
            onChange();
    });
}

void TrayItem::changed() {
    fetch();
}

void TrayItem::statusChanged(const QString&) {
    fetch();
}

void TrayItem::call(const QString& method, QPoint at) {
    auto msg =
        QDBusMessage::createMethodCall(address_.service, address_.path, itemInterface, method);
    msg << at.x() << at.y();
    bus_.send(msg);
}

void TrayItem::activate(QPoint at) {
    call(QStringLiteral("Activate"), at);
}

void TrayItem::secondaryActivate(QPoint at) {
    call(QStringLiteral("SecondaryActivate"), at);
}

void TrayItem::contextMenu(QPoint at) {
    call(QStringLiteral("ContextMenu"), at);
}

} // namespace desktop
