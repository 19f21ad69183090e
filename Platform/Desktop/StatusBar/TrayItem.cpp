#include "Platform/Desktop/StatusBar/TrayItem.h"

#include <QDBusArgument>
#include <QDBusError>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDeadlineTimer>
#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QPainter>
#include <QSvgRenderer>
#include <QTimer>
#include <QtEndian>
#include <algorithm>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace desktop {

namespace {

const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
constexpr int maxPixmapSide = 1024;
constexpr int maxPixmaps = 32;
constexpr int callTimeoutMs = 5000;
constexpr qint64 maxIconFileBytes = 4 * 1024 * 1024;
constexpr qsizetype maxThemeSizes = 32;
constexpr qsizetype maxThemeCategories = 16;
constexpr std::size_t maxCachedThemePaths = 64;
constexpr int themeFoldersLifetimeMs = 30'000;
// The signals after which an item's properties are read again (the label's under both names
// that libraries have used).
constexpr const char* changeSignals[] = {"NewIcon",          "NewAttentionIcon", "NewOverlayIcon",
                                         "NewTitle",         "NewToolTip",       "NewMenu",
                                         "NewIconThemePath", "XAyatanaNewLabel", "NewAyatanaLabel"};

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

// An image file read here, off the GUI thread: an SVG rendered at `pixels`, else whatever
// QImageReader decodes (PNG, XPM). Null for anything but a readable regular file.
QImage loadIconFile(const QString& file, int pixels) {
    const QFileInfo info(file);
    if (!info.isFile() || info.size() > maxIconFileBytes)
        return {};
    if (file.endsWith(QLatin1String(".svg"), Qt::CaseInsensitive)) {
        QSvgRenderer svg(file);
        if (!svg.isValid())
            return {};
        QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter p(&image);
        svg.render(&p);
        return image;
    }
    QImageReader reader(file);
    if (reader.size().isValid() &&
        (reader.size().width() > maxPixmapSide || reader.size().height() > maxPixmapSide))
        return {};
    return reader.read();
}

// The folders of an item's theme path where icons may be, listed once per path and kept a
// while: <path>/hicolor/<size>/<category>.
struct ThemeFolders {
    struct Folder {
        int size = 0; // 0 for "scalable"
        QString path;
    };
    std::vector<Folder> folders;
    QDeadlineTimer fresh;
};

std::mutex themeFoldersMutex;
std::unordered_map<QString, ThemeFolders>& themeFolderCache() {
    static std::unordered_map<QString, ThemeFolders> cache;
    return cache;
}

std::vector<ThemeFolders::Folder> themeFolders(const QString& themePath) {
    {
        std::lock_guard lock(themeFoldersMutex);
        auto& cache = themeFolderCache();
        if (auto it = cache.find(themePath); it != cache.end() && !it->second.fresh.hasExpired())
            return it->second.folders;
    }
    // Two fixed levels under hicolor, each listed once and bounded: never a walk of the tree.
    ThemeFolders listed;
    const QDir hicolor(themePath + QStringLiteral("/hicolor"));
    const auto sizes =
        hicolor.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name).mid(0, maxThemeSizes);
    for (const auto& sizeName : sizes) {
        int size = 0;
        if (sizeName != QLatin1String("scalable")) {
            bool ok = false;
            size = sizeName.section(QLatin1Char('x'), 0, 0).toInt(&ok);
            if (!ok || size <= 0)
                continue;
        }
        const QDir sizeDir(hicolor.filePath(sizeName));
        const auto categories = sizeDir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name)
                                    .mid(0, maxThemeCategories);
        for (const auto& category : categories)
            listed.folders.push_back({size, sizeDir.filePath(category)});
    }
    listed.fresh.setRemainingTime(themeFoldersLifetimeMs);
    std::lock_guard lock(themeFoldersMutex);
    auto& cache = themeFolderCache();
    if (cache.size() >= maxCachedThemePaths)
        cache.clear();
    cache[themePath] = listed;
    return listed.folders;
}

// A plain icon name: no folders, nothing that climbs out of the theme path.
bool plainIconName(const QString& name) {
    return !name.isEmpty() && name.size() <= 255 && !name.contains(QLatin1Char('/')) &&
           name != QLatin1String(".") && name != QLatin1String("..");
}

QImage iconImage(const QString& name, const QVector<TrayPixmap>& pixmaps, const QString& themePath,
                 int pixels, const TrayIconSources& sources) {
    if (!name.isEmpty()) {
        if (sources.files && QDir::isAbsolutePath(name)) {
            QImage image = loadIconFile(name, pixels);
            if (!image.isNull())
                return image;
        }
        if (sources.files) {
            const QString file = findThemePathIcon(themePath, name, pixels);
            if (!file.isEmpty()) {
                QImage image = loadIconFile(file, pixels);
                if (!image.isNull())
                    return image;
            }
        }
        if (sources.systemIcon) {
            QImage image = sources.systemIcon(name, pixels);
            if (!image.isNull())
                return image;
        }
    }
    return bestTrayPixmap(pixmaps, pixels);
}

} // namespace

QString findThemePathIcon(const QString& themePath, const QString& name, int pixels) {
    if (themePath.isEmpty() || !plainIconName(name) || !QDir::isAbsolutePath(themePath))
        return {};
    // A scalable icon draws sharp at any size; else the smallest at least `pixels`, else the
    // largest; then the flat form right in the folder.
    QString best;
    int bestSize = -1;
    for (const auto& folder : themeFolders(themePath)) {
        if (folder.size == 0) {
            const QString svg = folder.path + QLatin1Char('/') + name + QStringLiteral(".svg");
            if (QFileInfo(svg).isFile())
                return svg;
            continue;
        }
        const bool fits = folder.size >= pixels;
        const bool bestFits = bestSize >= pixels;
        const bool better = bestSize < 0 || (fits && (!bestFits || folder.size < bestSize)) ||
                            (!fits && !bestFits && folder.size > bestSize);
        if (!better)
            continue;
        for (const char* ext : {".png", ".svg"}) {
            const QString file = folder.path + QLatin1Char('/') + name + QLatin1String(ext);
            if (QFileInfo(file).isFile()) {
                best = file;
                bestSize = folder.size;
                break;
            }
        }
    }
    if (!best.isEmpty())
        return best;
    for (const char* ext : {".svg", ".png", ".xpm"}) {
        const QString file = themePath + QLatin1Char('/') + name + QLatin1String(ext);
        if (QFileInfo(file).isFile())
            return file;
    }
    return {};
}

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

bool TrayItemProperties::symbolicIcon() const {
    const QString& name =
        needsAttention() && (!attentionIconName.isEmpty() || !attentionIconPixmap.isEmpty())
            ? attentionIconName
            : iconName;
    return name.endsWith(QLatin1String("-symbolic"));
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
    p.label = text(values, "XAyatanaLabel");
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

QImage renderTrayIcon(const TrayItemProperties& properties, int pixels,
                      const TrayIconSources& sources) {
    if (pixels <= 0)
        return {};
    QImage base;
    if (properties.needsAttention())
        base = iconImage(properties.attentionIconName, properties.attentionIconPixmap,
                         properties.iconThemePath, pixels, sources);
    if (base.isNull())
        base = iconImage(properties.iconName, properties.iconPixmap, properties.iconThemePath,
                         pixels, sources);
    if (base.isNull())
        return {};
    QImage out = fitted(base, pixels);
    const int half = std::max(1, pixels / 2);
    QImage overlay = iconImage(properties.overlayIconName, properties.overlayIconPixmap,
                               properties.iconThemePath, half, sources);
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
    for (const char* name : changeSignals)
        bus_.disconnect(address_.service, address_.path, itemInterface, QLatin1String(name), this,
                        SLOT(changed()));
    for (const char* name : {"NewStatus", "NewIconThemePath"})
        bus_.disconnect(address_.service, address_.path, itemInterface, QLatin1String(name), this,
                        SLOT(statusChanged(QString)));
}

void TrayItem::start() {
    // Every change comes as a signal: nothing is polled. NewIconThemePath comes with its path
    // from some libraries and without it from older ones; both are heard.
    for (const char* name : changeSignals)
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

void TrayItem::refresh() {
    retryMs_ = firstRetryMs;
    if (retry_)
        retry_->stop();
    fetch();
}

void TrayItem::retryLater() {
    if (!retry_) {
        retry_ = new QTimer(this);
        retry_->setSingleShot(true);
        connect(retry_, &QTimer::timeout, this, &TrayItem::fetch);
    }
    if (retry_->isActive() || fetching_)
        return;
    retry_->start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, maxRetryMs);
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
        const QVariant first =
            reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()
                ? reply.arguments().constFirst()
                : QVariant();
        if (first.metaType() != QMetaType::fromType<QDBusArgument>() ||
            static_cast<const QDBusArgument*>(first.constData())->currentSignature() !=
                QLatin1String("a{sv}")) {
            // A program busy at login answers late, a failing one may recover: an item that
            // has not answered yet is asked again later; one that did keeps its last state
            // until its next signal.
            fetchAgain_ = false;
            if (!ready_)
                retryLater();
            return;
        }
        retryMs_ = firstRetryMs;
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

void TrayItem::activate(QPoint at, std::function<void()> onRefused) {
    // Items of libappindicator programs have no Activate: the bus answers with an error, and
    // the caller does what other hosts do for them (open the menu).
    auto msg = QDBusMessage::createMethodCall(address_.service, address_.path, itemInterface,
                                              QStringLiteral("Activate"));
    msg << at.x() << at.y();
    auto* watcher = new QDBusPendingCallWatcher(bus_.asyncCall(msg, callTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [refused = std::move(onRefused)](QDBusPendingCallWatcher* w) {
                w->deleteLater();
                if (w->isError() && w->error().type() != QDBusError::NoReply &&
                    w->error().type() != QDBusError::Timeout && refused)
                    refused();
            });
}

void TrayItem::secondaryActivate(QPoint at) {
    call(QStringLiteral("SecondaryActivate"), at);
}

void TrayItem::contextMenu(QPoint at) {
    call(QStringLiteral("ContextMenu"), at);
}

void TrayItem::scroll(int delta, Qt::Orientation orientation) {
    auto msg = QDBusMessage::createMethodCall(address_.service, address_.path, itemInterface,
                                              QStringLiteral("Scroll"));
    msg << delta
        << (orientation == Qt::Horizontal ? QStringLiteral("horizontal")
                                          : QStringLiteral("vertical"));
    bus_.send(msg);
}

} // namespace desktop
