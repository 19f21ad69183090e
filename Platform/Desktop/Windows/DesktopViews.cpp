#include "Platform/Desktop/Windows/DesktopViews.h"

#include "Platform/Desktop/StatusBar/TrayIcons.h"

#include "Platform/Desktop/Windows/DesktopAppearance.h"
#include "Platform/Desktop/Windows/DesktopSymbols.h"
#include "Platform/Symbols.h"
#include "Platform/View.h"

#include <QFile>
#include <QFontMetrics>
#include <QHelpEvent>
#include <QPainter>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlEngine>
#include <QQuickImageProvider>
#include <QQuickItem>
#include <QQuickWindow>
#include <QSGRendererInterface>
#include <QToolTip>
#include <QUrl>
#include <algorithm>
#include <map>

namespace desktop {

namespace {

// The label colours of the desktop's scheme, as symbols and badges are drawn in them.
QColor primaryLabel() {
    auto* appearance = DesktopAppearance::current();
    return appearance && !appearance->dark() ? QColor(0, 0, 0, 217) : QColor(255, 255, 255, 217);
}
QColor secondaryLabel() {
    auto* appearance = DesktopAppearance::current();
    return appearance ? appearance->secondaryLabel() : QColor(235, 235, 245, 153);
}

// Draws the host's images for QML: "symbol/<primary|secondary>/<name>", "badge/<text>" (names
// and texts percent-encoded) and "tray/<number>/<version>[/template]", at the requested size in
// pixels (square).
class HostImageProvider final : public QQuickImageProvider {
public:
    HostImageProvider() : QQuickImageProvider(QQuickImageProvider::Image) {}

    QImage requestImage(const QString& id, QSize* size, const QSize& requested) override {
        int pixels = std::max(requested.width(), requested.height());
        if (pixels <= 0)
            pixels = 32;
        pixels = std::min(pixels, 256);
        QImage image;
        const auto parts = id.split(QLatin1Char('/'));
        if (parts.size() == 3 && parts[0] == QLatin1String("symbol")) {
            // "primary", "secondary", or "rgb-RRGGBB" for a view's own colour.
            QColor tint =
                parts[1] == QLatin1String("secondary") ? secondaryLabel() : primaryLabel();
            if (parts[1].startsWith(QLatin1String("rgb-")))
                tint = QColor(QLatin1Char('#') + parts[1].mid(4));
            const auto name = QUrl::fromPercentEncoding(parts[2].toUtf8()).toStdString();
            image = DesktopSymbols::render(name, pixels, tint);
        } else if (parts.size() == 2 && parts[0] == QLatin1String("badge")) {
            image = badge(QUrl::fromPercentEncoding(parts[1].toUtf8()), pixels);
        } else if ((parts.size() == 3 || parts.size() == 4) && parts[0] == QLatin1String("tray")) {
            // A tray item's current icon (the version in the id only makes it new to QML); a
            // symbolic one ("/template") in the label colour, only its shape taken.
            bool ok = false;
            const int number = parts[1].toInt(&ok);
            if (ok)
                image = trayicons::get(number);
            if (!image.isNull())
                image = image.scaled(pixels, pixels, Qt::KeepAspectRatio, Qt::SmoothTransformation);
            if (!image.isNull() && parts.size() == 4 && parts[3] == QLatin1String("template")) {
                image = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
                QPainter p(&image);
                p.setCompositionMode(QPainter::CompositionMode_SourceIn);
                p.fillRect(image.rect(), primaryLabel());
            }
        }
        if (size)
            *size = image.size();
        return image;
    }

private:
    // A short text in a rounded outline, as the strip draws items without a symbol.
    static QImage badge(const QString& text, int pixels) {
        QImage image(pixels, pixels, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        if (text.isEmpty())
            return image;
        QPainter p(&image);
        p.setRenderHint(QPainter::Antialiasing);
        const double line = std::max(1.0, pixels / 16.0);
        const QRectF box = QRectF(0, 0, pixels, pixels).adjusted(line, line, -line, -line);
        p.setPen(QPen(primaryLabel(), line));
        p.drawRoundedRect(box, pixels / 5.0, pixels / 5.0);
        QFont font = p.font();
        font.setBold(true);
        // The largest size at which the text fits inside the outline.
        for (int px = pixels / 2; px >= 4; --px) {
            font.setPixelSize(px);
            if (QFontMetrics(font).horizontalAdvance(text) <= box.width() - 2 * line)
                break;
        }
        p.setFont(font);
        p.drawText(box, Qt::AlignCenter, text);
        return image;
    }
};

std::map<std::type_index, ViewRegistration>& registry() {
    static std::map<std::type_index, ViewRegistration> views;
    return views;
}

void collect(QQuickItem* item, const QString& name, std::vector<QQuickItem*>& out) {
    if (!item)
        return;
    if (item->objectName() == name)
        out.push_back(item);
    for (auto* child : item->childItems())
        collect(child, name, out);
}

// The topmost item at `scenePos` that carries a tooltip; decorations drawn over the content
// (a border) are looked through.
QString toolTipUnder(QQuickItem* item, QPointF scenePos) {
    if (!item || !item->isVisible())
        return {};
    // Children drawn last are on top.
    const auto children = item->childItems();
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (auto tip = toolTipUnder(*it, scenePos); !tip.isEmpty())
            return tip;
    if (!item->contains(item->mapFromScene(scenePos)))
        return {};
    const auto tip = item->property("toolTip");
    return tip.isValid() ? tip.toString() : QString();
}

} // namespace

// --- image sources ---

QString symbolImageSource(const std::string& name, const char* style) {
    return QStringLiteral("image://quillet/symbol/") + QLatin1String(style) + QLatin1Char('/') +
           QString::fromUtf8(QUrl::toPercentEncoding(QString::fromStdString(name)));
}

QImage hostImage(const QString& source, int pixels) {
    static const QString scheme = QStringLiteral("image://quillet/");
    if (!source.startsWith(scheme))
        return {};
    HostImageProvider provider;
    QSize size;
    return provider.requestImage(source.mid(scheme.size()), &size, QSize(pixels, pixels));
}

QString imageSource(const platform::Image& image) {
    if (!image.symbolName.empty())
        return symbolImageSource(image.symbolName, "primary");
    const auto& resource = image.resourceName;
    if (resource.empty())
        return {};
    if (resource.front() == '/')
        return QUrl::fromLocalFile(QString::fromStdString(resource)).toString();
    // A tray item's icon: "tray:<number>/<version>".
    static const std::string tray = "tray:";
    if (resource.compare(0, tray.size(), tray) == 0 && resource.size() > tray.size())
        return QStringLiteral("image://quillet/tray/") +
               QString::fromStdString(resource.substr(tray.size())) +
               (image.isTemplate ? QStringLiteral("/template") : QString());
    static const std::string badge = "badge:";
    if (resource.compare(0, badge.size(), badge) == 0 && resource.size() > badge.size())
        return QStringLiteral("image://quillet/badge/") +
               QString::fromUtf8(
                   QUrl::toPercentEncoding(QString::fromStdString(resource.substr(badge.size()))));
    return {};
}

// --- the scene's widget ---

ViewQuickWidget::ViewQuickWidget(QQmlEngine* engine, QWidget* parent)
    : QQuickWidget(engine, parent) {
    QObject::connect(
        quickWindow(), &QQuickWindow::afterRendering, this, [this] { renderedSinceReport_ = true; },
        Qt::DirectConnection);
}

void ViewQuickWidget::reportNextPaint(std::function<void()> painted) {
    onPainted_ = std::move(painted);
    renderedSinceReport_ = false;
}

std::vector<QQuickItem*> ViewQuickWidget::itemsNamed(const QString& objectName) const {
    std::vector<QQuickItem*> out;
    collect(rootObject(), objectName, out);
    return out;
}

QString ViewQuickWidget::toolTipAt(QPointF pos) const {
    return toolTipUnder(rootObject(), pos);
}

bool ViewQuickWidget::event(QEvent* event) {
    // A native tooltip: it may reach beyond the window, which a tooltip inside the scene cannot.
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const auto tip = toolTipAt(help->pos());
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, this);
        return true;
    }
    return QQuickWidget::event(event);
}

void ViewQuickWidget::paintEvent(QPaintEvent* event) {
    QQuickWidget::paintEvent(event);
    // A paint of an older frame does not count: the scene has to have rendered since.
    if (onPainted_ && renderedSinceReport_) {
        auto painted = std::move(onPainted_);
        onPainted_ = nullptr;
        painted();
    }
}

// --- views ---

DesktopViews::DesktopViews(std::function<void(const std::string&)> report)
    : report_(std::move(report)) {}

DesktopViews::~DesktopViews() {
    // Scenes go before the engine that made them.
    for (auto& view : views_)
        delete view.data();
    views_.clear();
    engine_.reset();
}

void DesktopViews::registerView(std::type_index type, ViewRegistration registration) {
    registry().insert_or_assign(type, std::move(registration));
}

const ViewRegistration* DesktopViews::registration(const platform::ViewModel& model) {
    const auto& views = registry();
    auto it = views.find(std::type_index(typeid(model)));
    return it == views.end() ? nullptr : &it->second;
}

bool DesktopViews::canRender(const platform::ViewModel& model) {
    const auto* view = registration(model);
    return view && view->makeAdapter && QFile::exists(view->qmlFile);
}

QQmlEngine& DesktopViews::engine() {
    if (!engine_) {
        // Small, mostly static scenes: Qt Quick's software renderer draws them with the same
        // result on every display, with or without OpenGL, and composes translucent windows.
        // Chosen once per process: the scene graph keeps its first choice.
        static const bool chosen = [] {
            if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") &&
                qEnvironmentVariableIsEmpty("QSG_RHI_BACKEND"))
                QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);
            return true;
        }();
        (void)chosen;
        engine_ = std::make_unique<QQmlEngine>();
        engine_->addImageProvider(QStringLiteral("quillet"), new HostImageProvider);
        // The views draw in the desktop's colours: the host's appearance, or one of our own.
        auto* appearance = DesktopAppearance::current();
        if (!appearance) {
            ownAppearance_ = std::make_unique<DesktopAppearance>();
            appearance = ownAppearance_.get();
        }
        engine_->rootContext()->setContextProperty(QStringLiteral("appearance"), appearance);
    }
    return *engine_;
}

ViewQuickWidget* DesktopViews::makeView(const std::shared_ptr<platform::ViewModel>& model,
                                        QWidget* container) {
    if (!model || !canRender(*model))
        return nullptr;
    const auto* view = registration(*model);
    const QString file = view->qmlFile;
    auto adapter = view->makeAdapter(model);
    if (!adapter) {
        if (report_)
            report_("views: no desktop adapter for " + model->viewName());
        return nullptr;
    }
    auto& qml = engine();
    auto* widget = new ViewQuickWidget(&qml, container);
    widget->setResizeMode(QQuickWidget::SizeRootObjectToView);
    widget->setClearColor(Qt::transparent);
    widget->setAttribute(Qt::WA_TranslucentBackground);
    widget->setAttribute(Qt::WA_AlwaysStackOnTop);
    widget->setMouseTracking(true);
    auto* adapterObject = adapter.release();
    adapterObject->setParent(widget);

    const QUrl url(QStringLiteral("qrc") + file);
    auto* component = new QQmlComponent(&qml, url, QQmlComponent::PreferSynchronous, widget);
    auto* context = new QQmlContext(qml.rootContext(), widget);
    QObject* root =
        component->isReady()
            ? component->createWithInitialProperties(
                  {{QStringLiteral("view"), QVariant::fromValue(adapterObject)}}, context)
            : nullptr;
    if (!root) {
        if (report_)
            report_("views: " + file.toStdString() +
                    " did not load: " + component->errorString().toStdString());
        delete widget;
        return nullptr;
    }
    widget->setContent(url, component, root);
    widget->setGeometry(container->rect());
    views_.erase(std::remove_if(views_.begin(), views_.end(), [](auto& v) { return v.isNull(); }),
                 views_.end());
    views_.push_back(widget);
    return widget;
}

} // namespace desktop
