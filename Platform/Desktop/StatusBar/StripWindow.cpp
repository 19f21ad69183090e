#include "Platform/Desktop/StatusBar/StripWindow.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/StatusBar/DesktopStatusBar.h"
#include "Platform/Desktop/StatusBar/TrayHost.h"
#include "Platform/Desktop/Windows/DesktopAppearance.h"
#include "Platform/Desktop/Windows/DesktopScreens.h"
#include "Platform/Desktop/Windows/DesktopSymbols.h"
#include "Platform/Desktop/Windows/MenuPresenter.h"
#include "Platform/Menu.h"

#include <QDateTime>
#include <QEnterEvent>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QScreen>
#include <QShortcut>
#include <QToolTip>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>

namespace desktop {

namespace {

// The colours of the desktop's scheme, set by followAppearance() (one strip per process).
StripColors colors = stripColors(ColorScheme::dark);
const QColor& background = colors.background;
const QColor& foreground = colors.foreground;
const QColor& pressedFill = colors.pressedFill;

void drawBadge(QPainter& p, const QRectF& rect, const QString& text) {
    QFont font = p.font();
    font.setPixelSize(11);
    font.setBold(true);
    p.setFont(font);
    QRectF badge = rect.adjusted(3, 4, -3, -4);
    p.setPen(QPen(foreground, 1.2));
    p.setBrush(Qt::NoBrush);
    p.drawRoundedRect(badge, 4, 4);
    p.drawText(badge, Qt::AlignCenter, text);
}

void drawSymbol(QPainter& p, const QRectF& rect, const std::string& name, double points,
                double opacity) {
    const qreal dpr = p.device()->devicePixelRatioF();
    const int pixels = static_cast<int>(std::lround(points * dpr));
    QImage image = DesktopSymbols::render(name, pixels, foreground);
    if (image.isNull())
        return;
    image.setDevicePixelRatio(dpr);
    QRectF target(rect.center().x() - points / 2, rect.center().y() - points / 2, points, points);
    p.save();
    p.setOpacity(std::clamp(opacity, 0.0, 1.0));
    p.drawImage(target, image);
    p.restore();
}

// A symbolic icon in `colour`: only its shape (alpha) is taken from the image.
QImage tinted(const QImage& image, const QColor& colour) {
    QImage out = image.convertToFormat(QImage::Format_ARGB32_Premultiplied);
    QPainter p(&out);
    p.setCompositionMode(QPainter::CompositionMode_SourceIn);
    p.fillRect(out.rect(), colour);
    return out;
}

// A tray item: its own icon (a symbolic one in the strip's text colour), centred in the icon's
// room, its label after it; the initial of its owner when it has no icon.
void drawTrayItem(QPainter& p, const ForeignItemSpec& spec, const QRectF& rect) {
    const QRectF iconRoom =
        spec.label.isEmpty() ? rect
                             : QRectF(rect.left(), rect.top(), TrayHost::itemWidth, rect.height());
    if (spec.image.isNull()) {
        drawBadge(p, iconRoom, QString::fromStdString(spec.ownerName).left(1).toUpper());
    } else {
        const double points = std::min<double>(TrayHost::iconPoints, rect.height() - 4);
        const QRectF target(iconRoom.center().x() - points / 2, iconRoom.center().y() - points / 2,
                            points, points);
        p.save();
        p.setRenderHint(QPainter::SmoothPixmapTransform);
        p.drawImage(target, spec.symbolic ? tinted(spec.image, foreground) : spec.image);
        p.restore();
    }
    if (!spec.label.isEmpty()) {
        p.save();
        p.setFont(TrayHost::labelFont());
        p.setPen(foreground);
        const QRectF text(iconRoom.right(), rect.top(), rect.right() - iconRoom.right(),
                          rect.height());
        p.drawText(
            text, Qt::AlignLeft | Qt::AlignVCenter,
            p.fontMetrics().elidedText(spec.label, Qt::ElideRight, static_cast<int>(text.width())));
        p.restore();
    }
}

void drawItem(QPainter& p, const DesktopStatusBar::DrawnItem& d, const QRectF& rect) {
    if (d.foreign) {
        const auto& spec = *d.foreign;
        switch (spec.kind) {
        case ForeignItemSpec::Kind::clock: {
            // Drawn at each repaint; it does not tick, so an idle strip never wakes up.
            QFont font = p.font();
            font.setPixelSize(12);
            p.setFont(font);
            p.setPen(foreground);
            p.drawText(rect, Qt::AlignCenter,
                       QDateTime::currentDateTime().toString(QStringLiteral("ddd d MMM HH:mm")));
            return;
        }
        case ForeignItemSpec::Kind::controlCenter:
            drawSymbol(p, rect, "controlcenter", 16, 1);
            return;
        case ForeignItemSpec::Kind::tray:
            drawTrayItem(p, spec, rect);
            return;
        case ForeignItemSpec::Kind::sample: {
            const auto& names = DesktopSymbols::catalogue();
            if (std::find(names.begin(), names.end(), spec.icon) != names.end())
                drawSymbol(p, rect, spec.icon, 16, 1);
            else
                drawBadge(p, rect, QString::fromStdString(spec.icon));
            return;
        }
        }
        return;
    }
    const auto* button = d.item->button();
    if (!button || !button->image())
        return;
    const auto& image = *button->image();
    drawSymbol(p, rect, image.symbolName, image.width(), button->alphaValue());
}

} // namespace

StripWindow::StripWindow(DesktopStatusBar& bar)
    : QWidget(nullptr, Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint | Qt::Tool |
                           Qt::WindowDoesNotAcceptFocus),
      bar_(bar) {
    setAttribute(Qt::WA_X11NetWmWindowTypeDock);
    setAttribute(Qt::WA_TranslucentBackground);
    setAttribute(Qt::WA_ShowWithoutActivating);
    setMouseTracking(true);
    setProperty("quilletStrip", true);
    setWindowTitle(QStringLiteral("Quillet menu bar"));
    followAppearance();
}

StripWindow::~StripWindow() = default;

void StripWindow::place() {
    const QRect primary = DesktopScreens::primaryGeometry();
    if (primary.isEmpty()) {
        hide();
        return;
    }
    // At the top of the work area other panels leave (GNOME Shell's, KDE's, Xfce's), not over
    // them; the strip's own band is not counted.
    std::optional<int> ownBottom;
    if (reservedBand_ && (*reservedBand_)[2] > 0)
        ownBottom = static_cast<int>((*reservedBand_)[2]);
    auto* screen = QGuiApplication::primaryScreen();
    const int top = screen ? stripTop(primary, screen->availableGeometry(), ownBottom, othersTop_)
                           : primary.y();
    othersTop_ = top;
    const QRect target(primary.x(), top, primary.width(),
                       static_cast<int>(DesktopStatusBar::stripHeight));
    if (geometry() != target)
        setGeometry(target);
    if (onScreen_ && !isVisible())
        show();
    if (isVisible())
        reserveBand();
}

void StripWindow::showOnScreen() {
    onScreen_ = true;
    place();
}

// The items are laid out as on a Mac, in a bar at the very top of the main screen; the strip
// shows that bar wherever it sits (below another desktop's panel), so only its x counts here.
platform::Point StripWindow::cocoaPoint(QPoint local) const {
    const QRect primary = DesktopScreens::primaryGeometry();
    const QPoint global = local + QPoint(geometry().x(), primary.y());
    return {static_cast<double>(global.x() - primary.x()),
            static_cast<double>(primary.y() + primary.height() - global.y()) - 0.5};
}

QRect StripWindow::localRect(const platform::Rect& frame) const {
    const QRect primary = DesktopScreens::primaryGeometry();
    return qtFromCocoa(frame, primary).translated(-geometry().x(), -primary.y());
}

void StripWindow::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    p.setCompositionMode(QPainter::CompositionMode_Source);
    p.fillRect(rect(), background);
    p.setCompositionMode(QPainter::CompositionMode_SourceOver);

    // The application's presence, while it is a regular application: its name and menus.
    for (const auto& t : menuTitles()) {
        if (openTitle_ == t.item) {
            p.setBrush(pressedFill);
            p.setPen(Qt::NoPen);
            p.drawRoundedRect(QRectF(t.rect).adjusted(1, 2, -1, -2), 4, 4);
        }
        QFont font = p.font();
        font.setPixelSize(13);
        font.setBold(t.bold);
        p.setFont(font);
        p.setPen(foreground);
        p.drawText(t.rect, Qt::AlignCenter, t.title);
    }

    auto pressed = pressed_.lock();
    bool drewOwnItem = false;
    for (const auto& d : bar_.drawnItems()) {
        QRect r = localRect(d.frame);
        if (!r.intersects(rect()))
            continue;
        drewOwnItem = drewOwnItem || !d.foreign;
        if (dragging_ && pressedEntry_ == d.entry) {
            // The dragged item follows the pointer; its place stays empty.
            QRectF ghost(dragPoint_.x() - r.width() / 2.0, r.y(), r.width(), r.height());
            p.save();
            p.setOpacity(0.7);
            p.setBrush(pressedFill);
            p.setPen(Qt::NoPen);
            p.drawRoundedRect(ghost.adjusted(1, 2, -1, -2), 4, 4);
            drawItem(p, d, ghost);
            p.restore();
            continue;
        }
        if (pressed && pressed == d.item && !dragging_) {
            p.setBrush(pressedFill);
            p.setPen(Qt::NoPen);
            p.drawRoundedRect(QRectF(r).adjusted(1, 2, -1, -2), 4, 4);
        }
        drawItem(p, d, r);
    }
    if (drewOwnItem && bar_.onOwnItemsDrawn) {
        auto report = std::move(bar_.onOwnItemsDrawn);
        bar_.onOwnItemsDrawn = nullptr;
        report();
    }
}

void StripWindow::reportToOtherApplications(QMouseEvent* event, bool down,
                                            const std::optional<std::size_t>& entry) {
    // Clicks on other applications' items or the bare strip go to other applications: only
    // global monitors see them.
    if (entry && !bar_.isForeignEntry(*entry))
        return;
    platform::Event e;
    const bool right = event->button() == Qt::RightButton;
    e.type =
        down ? (right ? platform::EventType::rightMouseDown : platform::EventType::leftMouseDown)
             : (right ? platform::EventType::rightMouseUp : platform::EventType::leftMouseUp);
    e.locationInScreen = cocoaPoint(event->position().toPoint());
    bar_.host().desktopEventMonitors().dispatchGlobal(e);
}

std::vector<StripWindow::MenuTitle> StripWindow::menuTitles() const {
    std::vector<MenuTitle> out;
    auto& app = bar_.host().application();
    if (app.activationPolicy() != platform::ActivationPolicy::regular)
        return out;
    QFont font = this->font();
    font.setPixelSize(13);
    int x = 8;
    auto add = [&](const QString& title, std::size_t item, bool bold) {
        font.setBold(bold);
        const int width = QFontMetrics(font).horizontalAdvance(title) + 18;
        out.push_back({QRect(x, 0, width, height()), item, title, bold});
        x += width;
    };
    auto menu = app.mainMenu();
    if (!menu || menu->items().empty()) {
        // A regular application without a menu still shows its name.
        add(QString::fromStdString(bar_.host().applicationName()), 0, true);
        return out;
    }
    const auto& items = menu->items();
    for (std::size_t i = 0; i < items.size(); ++i)
        if (!items[i].isSeparator)
            add(QString::fromStdString(items[i].title), i, out.empty());
    return out;
}

void StripWindow::openMainMenuItem(std::size_t item) {
    auto menu = bar_.host().application().mainMenu();
    if (!menu || item >= menu->items().size())
        return;
    QRect under;
    for (const auto& t : menuTitles())
        if (t.item == item)
            under = t.rect;
    // Keep the item's menu and action while it runs: the menu may be replaced meanwhile.
    auto entry = menu->items()[item];
    openTitle_ = item;
    update();
    if (entry.submenu)
        presentMenu(*entry.submenu, mapToGlobal(under.bottomLeft() + QPoint(0, 1)));
    else if (entry.action)
        entry.action();
    openTitle_.reset();
    update();
}

void StripWindow::mainMenuChanged() {
    update();
    shortcuts_.clear();
    auto& app = bar_.host().application();
    auto menu = app.mainMenu();
    if (!menu || app.activationPolicy() != platform::ActivationPolicy::regular)
        return;
    for (const auto& top : menu->items()) {
        if (!top.submenu)
            continue;
        const auto& items = top.submenu->items();
        std::weak_ptr<platform::Menu> weakMenu = top.submenu;
        for (std::size_t i = 0; i < items.size(); ++i) {
            // Items without an action (Cut, Copy, ...) leave the keys to the focused field.
            if (items[i].keyEquivalent.empty() || !items[i].action)
                continue;
            auto shortcut = std::make_unique<QShortcut>(
                QKeySequence(QStringLiteral("Ctrl+") +
                             QString::fromStdString(items[i].keyEquivalent).toUpper()),
                this);
            shortcut->setContext(Qt::ApplicationShortcut);
            QObject::connect(shortcut.get(), &QShortcut::activated, this, [weakMenu, i] {
                auto m = weakMenu.lock();
                if (!m || i >= m->items().size())
                    return;
                auto action = m->items()[i].action;
                if (action)
                    action();
            });
            shortcuts_.push_back(std::move(shortcut));
        }
    }
}

void StripWindow::mousePressEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton)
        for (const auto& t : menuTitles())
            if (t.rect.contains(event->position().toPoint())) {
                openMainMenuItem(t.item);
                return;
            }
    auto entry = bar_.entryAt(cocoaPoint(event->position().toPoint()));
    reportToOtherApplications(event, true, entry);
    pressedEntry_ = entry;
    pressed_ = entry ? bar_.itemOfEntry(*entry) : nullptr;
    pressPoint_ = dragPoint_ = event->position().toPoint();
    dragging_ = false;
    // Ctrl-drag moves items, as Command-drag does on a Mac; the system items stay put.
    dragArmed_ = entry && (event->modifiers() & Qt::ControlModifier) &&
                 event->button() == Qt::LeftButton && !bar_.isSystemEntry(*entry);
    update();
}

void StripWindow::mouseMoveEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    if (dragArmed_ && (event->buttons() & Qt::LeftButton)) {
        if (!dragging_ && (pos - pressPoint_).manhattanLength() >= 4)
            dragging_ = true;
        if (dragging_) {
            dragPoint_ = pos;
            update();
            return;
        }
    }
    auto entry = bar_.entryAt(cocoaPoint(pos));
    setHovered(entry ? bar_.itemOfEntry(*entry) : nullptr);
}

void StripWindow::mouseReleaseEvent(QMouseEvent* event) {
    const QPoint pos = event->position().toPoint();
    auto pressed = pressed_.lock();
    const auto pressedEntry = pressedEntry_;
    const bool wasDragging = dragging_;
    pressed_.reset();
    pressedEntry_.reset();
    dragArmed_ = dragging_ = false;
    update();
    if (!wasDragging)
        reportToOtherApplications(event, false, bar_.entryAt(cocoaPoint(pos)));
    if (!pressed || !pressedEntry)
        return;
    if (wasDragging) {
        const double x = cocoaPoint(pos).x;
        bar_.drag(pressed, bar_.slotForDrop(*pressedEntry, x));
        return;
    }
    // A click: the button went up over the item it went down on.
    auto entry = bar_.entryAt(cocoaPoint(pos));
    if (!entry || bar_.itemOfEntry(*entry) != pressed)
        return;
    if (clickTrayItem(event, pressed))
        return;
    if (event->button() == Qt::LeftButton)
        bar_.click(pressed, platform::EventType::leftMouseUp);
    else if (event->button() == Qt::RightButton)
        bar_.click(pressed, platform::EventType::rightMouseUp);
}

bool StripWindow::clickTrayItem(QMouseEvent* event,
                                const std::shared_ptr<platform::StatusItem>& item) {
    switch (event->button()) {
    case Qt::LeftButton:
        return bar_.clickForeign(item, ForeignClick::primary);
    case Qt::RightButton:
        return bar_.clickForeign(item, ForeignClick::secondary);
    case Qt::MiddleButton:
        return bar_.clickForeign(item, ForeignClick::middle);
    default:
        return false;
    }
}

void StripWindow::wheelEvent(QWheelEvent* event) {
    // A wheel over a tray item reaches its program, vertical and horizontal turns apart.
    auto entry = bar_.entryAt(cocoaPoint(event->position().toPoint()));
    auto item = entry ? bar_.itemOfEntry(*entry) : nullptr;
    const QPoint delta = event->angleDelta();
    bool taken = false;
    if (item && delta.y() != 0)
        taken = bar_.scrollForeign(item, delta.y(), Qt::Vertical);
    if (item && delta.x() != 0)
        taken = bar_.scrollForeign(item, delta.x(), Qt::Horizontal) || taken;
    if (!taken)
        QWidget::wheelEvent(event);
}

void StripWindow::enterEvent(QEnterEvent* event) {
    // The pointer can arrive without moving inside (a warp, a window going away above it).
    if (!dragArmed_) {
        auto entry = bar_.entryAt(cocoaPoint(event->position().toPoint()));
        setHovered(entry ? bar_.itemOfEntry(*entry) : nullptr);
    }
    QWidget::enterEvent(event);
}

void StripWindow::leaveEvent(QEvent*) {
    setHovered(nullptr);
}

void StripWindow::setHovered(const std::shared_ptr<platform::StatusItem>& item) {
    auto previous = hovered_.lock();
    if (previous == item)
        return;
    hovered_ = item;
    if (previous)
        bar_.hover(previous, false);
    if (item)
        bar_.hover(item, true);
}

bool StripWindow::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        auto entry = bar_.entryAt(cocoaPoint(help->pos()));
        QString tip;
        if (entry) {
            for (const auto& d : bar_.drawnItems()) {
                if (d.entry != *entry)
                    continue;
                if (d.foreign)
                    tip = QString::fromStdString(d.foreign->toolTip);
                else if (d.item->button())
                    tip = QString::fromStdString(d.item->button()->toolTip());
            }
        }
        if (tip.isEmpty())
            QToolTip::hideText();
        else
            QToolTip::showText(help->globalPos(), tip, this);
        return true;
    }
    return QWidget::event(event);
}

void StripWindow::followAppearance() {
    auto& appearance = bar_.host().appearance();
    colors = appearance.strip();
    QObject::connect(&appearance, &DesktopAppearance::changed, this, [this, &appearance] {
        colors = appearance.strip();
        update();
    });
}

} // namespace desktop
