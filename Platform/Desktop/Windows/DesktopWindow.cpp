#include "Platform/Desktop/Windows/DesktopWindow.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/Windows/DesktopScreens.h"
#include "Platform/Desktop/Windows/DesktopViews.h"
#include "Platform/NotificationCenter.h"
#include "Platform/View.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QKeySequence>
#include <QPainter>
#include <QResizeEvent>
#include <string>

namespace desktop {

class WindowWidget final : public QWidget {
public:
    WindowWidget(DesktopWindow& owner, DesktopHost& host, const platform::WindowAttributes& a,
                 bool panel)
        : QWidget(nullptr, flagsFor(a, panel)), owner_(&owner), host_(host), attributes_(a) {
        if (a.clearBackground || !a.isOpaque)
            setAttribute(Qt::WA_TranslucentBackground);
        if (panel && (a.styleMask & platform::windowstyle::nonactivatingPanel)) {
            setAttribute(Qt::WA_ShowWithoutActivating);
            // Qt shows tooltips only in the active window unless told otherwise, and a
            // non-activating panel never becomes the active window.
            setAttribute(Qt::WA_AlwaysShowToolTips);
        }
        setWindowTitle(QString::fromStdString(a.title));
        setProperty("quilletWindowNumber", 0u);
        if (a.minSize.width > 0 || a.minSize.height > 0)
            setMinimumSize(static_cast<int>(a.minSize.width), static_cast<int>(a.minSize.height));
    }

    // The window went while this widget may still be handling an event (its own close, a key
    // press): it no longer reaches it and is deleted on a later turn.
    void detachOwner() { owner_ = nullptr; }

    // Whether the window has a fixed size: titled without `resizable`.
    bool hasFixedSize() const {
        return (attributes_.styleMask & platform::windowstyle::titled) &&
               !(attributes_.styleMask & platform::windowstyle::resizable);
    }

    // The QML scene that draws the content, kept filling the window.
    void setScene(QWidget* scene) {
        scene_ = scene;
        if (scene_)
            scene_->setGeometry(rect());
        update();
    }

protected:
    void resizeEvent(QResizeEvent* event) override {
        if (scene_)
            scene_->setGeometry(rect());
        QWidget::resizeEvent(event);
    }
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const bool dark = attributes_.appearance == "darkAqua";
        // A clear window shows only what its scene draws (rounded corners stay see-through).
        if (attributes_.clearBackground && scene_)
            return;
        if (attributes_.clearBackground)
            p.fillRect(rect(), QColor(30, 30, 32, 230));
        else
            p.fillRect(rect(), dark ? QColor(40, 40, 42) : palette().window().color());
    }
    void closeEvent(QCloseEvent* event) override {
        // A window without a close button refuses to be closed (a window manager's Alt+F4 or
        // WM_DELETE_WINDOW): it stays as its owner left it.
        if (!(attributes_.styleMask & platform::windowstyle::closable) || !owner_) {
            event->ignore();
            if (owner_)
                host_.logHost(platform::LogLevel::info,
                              "window " + std::to_string(owner_->windowNumber()) +
                                  " refused a close request: it has no close button");
            return;
        }
        // Closing orders the window out, the same way as ordering out does; the window itself
        // stays for the next show unless its owners let go of it while it closes.
        // The sender is the window as the platform layer knows it, so observers of one window
        // see only its closing.
        host_.notificationCenter().post(platform::windowWillCloseNotification,
                                        static_cast<const platform::Window*>(owner_));
        if (owner_)
            owner_->orderOut();
        else
            hide();
        event->accept();
    }
    void keyPressEvent(QKeyEvent* event) override {
        platform::Event e;
        e.type = platform::EventType::keyDown;
        e.keyCode = event->key() == Qt::Key_Escape ? platform::keyCodeEscape : 0;
        e.characters = event->text().toStdString();
        if (!host_.desktopEventMonitors().dispatchLocal(e))
            return; // a monitor swallowed it
        // Escape and Ctrl+W close a closable window as its close button does. Keys the scene
        // used (an open pop-up's Escape) never get here.
        const bool closeKey =
            (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) ||
            (event->key() == Qt::Key_W && event->modifiers() == Qt::ControlModifier) ||
            event->matches(QKeySequence::Close);
        if (closeKey && (attributes_.styleMask & platform::windowstyle::closable)) {
            event->accept();
            close();
            return;
        }
        QWidget::keyPressEvent(event);
    }

private:
    static Qt::WindowFlags flagsFor(const platform::WindowAttributes& a, bool panel) {
        Qt::WindowFlags f = panel ? Qt::Tool : Qt::Window;
        if (!(a.styleMask & platform::windowstyle::titled)) {
            f |= Qt::FramelessWindowHint;
        } else {
            // The title bar's buttons are the style mask's: no maximise button without
            // `resizable`, no minimise button without `miniaturizable`.
            using namespace platform::windowstyle;
            f |= Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint;
            if (a.styleMask & closable)
                f |= Qt::WindowCloseButtonHint;
            if (a.styleMask & miniaturizable)
                f |= Qt::WindowMinimizeButtonHint;
            if (a.styleMask & resizable)
                f |= Qt::WindowMaximizeButtonHint;
        }
        if (a.level > 0 || a.isFloatingPanel)
            f |= Qt::WindowStaysOnTopHint;
        if (!a.canBecomeKey)
            f |= Qt::WindowDoesNotAcceptFocus;
        return f;
    }

    DesktopWindow* owner_;
    DesktopHost& host_;
    platform::WindowAttributes attributes_;
    QPointer<QWidget> scene_;

public:
    // The window this widget draws: the sender of its will-close notification.
};

DesktopWindow::DesktopWindow(DesktopHost& host, std::uint32_t number,
                             const platform::WindowAttributes& a, bool panel)
    : host_(host), number_(number), attributes_(a), panel_(panel),
      widget_(std::make_unique<WindowWidget>(*this, host, a, panel)) {
    widget_->setProperty("quilletWindowNumber", number);
    if (!a.contentRect.isEmpty())
        setFrame(a.contentRect);
}

DesktopWindow::~DesktopWindow() {
    // The widget may be inside one of its own handlers (a close that let go of the window, a
    // key press in its scene): it goes on a later turn, hidden and detached from this window.
    widget_->detachOwner();
    widget_->hide();
    widget_.release()->deleteLater();
}

void DesktopWindow::close() {
    // The widget's close event posts the will-close notification and orders it out.
    widget_->close();
}

QWidget* DesktopWindow::widget() const {
    return widget_.get();
}

platform::Rect DesktopWindow::frame() const {
    return cocoaFromQt(widget_->geometry(), DesktopScreens::primaryGeometry());
}

void DesktopWindow::setFrame(platform::Rect frame) {
    markShowRequested();
    const QRect geometry = qtFromCocoa(frame, DesktopScreens::primaryGeometry());
    // A window that is not resizable keeps the size it is given: the window manager offers no
    // resizing or maximising, and tiling window managers let it float.
    if (widget_->hasFixedSize() && !geometry.size().isEmpty())
        widget_->setFixedSize(geometry.size());
    widget_->setGeometry(geometry);
}

bool DesktopWindow::isVisible() const {
    return widget_->isVisible();
}

void DesktopWindow::markShowRequested() {
    // The first call of a show (content, frame, order front) while hidden starts the clock.
    if (!widget_->isVisible() && !showRequested_)
        showRequested_ = std::chrono::steady_clock::now();
}

void DesktopWindow::ensureScene() {
    auto content = contentView();
    if (scene_ && sceneModel_.lock() == content)
        return;
    if (scene_) {
        // Possibly inside one of the scene's own handlers: delete it afterwards.
        scene_->hide();
        scene_->deleteLater();
        scene_ = nullptr;
        widget_->setScene(nullptr);
    }
    sceneModel_ = content;
    if (!content || !DesktopViews::canRender(*content))
        return;
    scene_ = host_.views().makeView(content, widget_.get());
    widget_->setScene(scene_);
}

void DesktopWindow::setContentView(std::shared_ptr<platform::ViewModel> view) {
    markShowRequested();
    platform::Window::setContentView(std::move(view));
    // A visible window draws its new content at once; a hidden one when it is shown.
    if (widget_->isVisible())
        ensureScene();
}

ViewQuickWidget* DesktopWindow::scene() const {
    return scene_.data();
}

void DesktopWindow::orderFront() {
    const bool wasVisible = widget_->isVisible();
    markShowRequested();
    ensureScene();
    if (!wasVisible && scene_ && showRequested_) {
        const auto requested = *showRequested_;
        std::uint32_t number = number_;
        DesktopHost* host = &host_;
        auto* self = this;
        scene_->reportNextPaint([self, requested, number, host] {
            const double ms = std::chrono::duration<double, std::milli>(
                                  std::chrono::steady_clock::now() - requested)
                                  .count();
            self->lastShowToPaintMs_ = ms;
            if (host->onViewPainted)
                host->onViewPainted(number, ms);
        });
    }
    showRequested_.reset();
    widget_->show();
    widget_->raise();
    // The keyboard goes to the content, whose first control takes the focus.
    if (scene_ && !wasVisible && attributes_.canBecomeKey && !panel_)
        scene_->setFocus(Qt::ActiveWindowFocusReason);
}

void DesktopWindow::orderOut() {
    showRequested_.reset();
    if (scene_)
        scene_->reportNextPaint(nullptr);
    widget_->hide();
}

void DesktopWindow::orderFrontRegardless() {
    orderFront();
}

void DesktopWindow::makeKeyAndOrderFront() {
    orderFront();
    widget_->activateWindow();
}

bool DesktopWindow::isKeyWindow() const {
    return widget_->isActiveWindow();
}

void DesktopWindow::display() {
    markShowRequested();
    widget_->update();
}

} // namespace desktop
