#include "Platform/Desktop/DesktopWindow.h"

#include "Platform/Desktop/DesktopHost.h"
#include "Platform/Desktop/DesktopScreens.h"
#include "Platform/NotificationCenter.h"

#include <QCloseEvent>
#include <QKeyEvent>
#include <QPainter>

namespace desktop {

class WindowWidget final : public QWidget {
public:
    WindowWidget(DesktopHost& host, const platform::WindowAttributes& a, bool panel)
        : QWidget(nullptr, flagsFor(a, panel)), host_(host), attributes_(a) {
        if (a.clearBackground || !a.isOpaque)
            setAttribute(Qt::WA_TranslucentBackground);
        if (panel && (a.styleMask & platform::windowstyle::nonactivatingPanel))
            setAttribute(Qt::WA_ShowWithoutActivating);
        setWindowTitle(QString::fromStdString(a.title));
        if (a.minSize.width > 0 || a.minSize.height > 0)
            setMinimumSize(static_cast<int>(a.minSize.width), static_cast<int>(a.minSize.height));
    }

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter p(this);
        const bool dark = attributes_.appearance == "darkAqua";
        if (attributes_.clearBackground)
            p.fillRect(rect(), QColor(30, 30, 32, 230));
        else
            p.fillRect(rect(), dark ? QColor(40, 40, 42) : palette().window().color());
    }
    void closeEvent(QCloseEvent* event) override {
        // Closing orders the window out; the window itself stays for the next show.
        host_.notificationCenter().post(platform::windowWillCloseNotification);
        event->accept();
    }
    void keyPressEvent(QKeyEvent* event) override {
        platform::Event e;
        e.type = platform::EventType::keyDown;
        e.keyCode = event->key() == Qt::Key_Escape ? platform::keyCodeEscape : 0;
        e.characters = event->text().toStdString();
        if (!host_.desktopEventMonitors().dispatchLocal(e))
            return; // a monitor swallowed it
        QWidget::keyPressEvent(event);
    }

private:
    static Qt::WindowFlags flagsFor(const platform::WindowAttributes& a, bool panel) {
        Qt::WindowFlags f = panel ? Qt::Tool : Qt::Window;
        if (!(a.styleMask & platform::windowstyle::titled))
            f |= Qt::FramelessWindowHint;
        if (a.level > 0 || a.isFloatingPanel)
            f |= Qt::WindowStaysOnTopHint;
        if (!a.canBecomeKey)
            f |= Qt::WindowDoesNotAcceptFocus;
        return f;
    }

    DesktopHost& host_;
    platform::WindowAttributes attributes_;
};

DesktopWindow::DesktopWindow(DesktopHost& host, std::uint32_t number,
                             const platform::WindowAttributes& a, bool panel)
    : host_(host), number_(number), attributes_(a), panel_(panel),
      widget_(std::make_unique<WindowWidget>(host, a, panel)) {
    if (!a.contentRect.isEmpty())
        setFrame(a.contentRect);
}

DesktopWindow::~DesktopWindow() = default;

QWidget* DesktopWindow::widget() const {
    return widget_.get();
}

platform::Rect DesktopWindow::frame() const {
    return cocoaFromQt(widget_->geometry(), DesktopScreens::primaryGeometry());
}

void DesktopWindow::setFrame(platform::Rect frame) {
    widget_->setGeometry(qtFromCocoa(frame, DesktopScreens::primaryGeometry()));
}

bool DesktopWindow::isVisible() const {
    return widget_->isVisible();
}

void DesktopWindow::orderFront() {
    widget_->show();
    widget_->raise();
}

void DesktopWindow::orderOut() {
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
    widget_->update();
}

} // namespace desktop
