// The strip: a frameless, always-on-top window across the top of the primary screen, dark and
// slightly translucent, drawing the status bar's items and, on the left, the application's
// name while it is a regular application. Turns pointer input into clicks, hovers and
// Ctrl-drags on the status bar. Main thread only.
#pragma once

#include "Platform/Geometry.h"

#include <QWidget>
#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

class QShortcut;

namespace platform {
class StatusItem;
}

namespace desktop {

class DesktopStatusBar;

// _NET_WM_STRUT_PARTIAL for a band of `height` points across the top of the screen `screen`
// (Qt coordinates; its origin is the same in the root window's pixels, its size scales by
// `devicePixelRatio`): left, right, top, bottom, then the start and end of each side. The
// first four are _NET_WM_STRUT. The band starts at `top` (the screen's top edge when not
// given). A top strut reserves everything above it, so the columns under `otherScreens` that
// lie above the screen are left out (the widest stretch without one is reserved; none when
// they cover it all).
std::array<std::uint32_t, 12> topStrut(const QRect& screen, double devicePixelRatio, double height,
                                       std::optional<int> top = std::nullopt,
                                       const std::vector<QRect>& otherScreens = {});
// The top of the area others leave free on `screen`: `available` (the window manager's work
// area) unless that is only what the strip's own band left, `ownBandBottom`, in which case the
// top found last, `previous`.
int stripTop(const QRect& screen, const QRect& available, std::optional<int> ownBandBottom,
             std::optional<int> previous);

class StripWindow final : public QWidget {
public:
    explicit StripWindow(DesktopStatusBar& bar);
    ~StripWindow() override;

    // Puts the strip across the top of the primary screen, shown once showOnScreen() was
    // called; hides it when there is no screen.
    void place();
    // From now on the strip is on screen (after launching, so that a second instance that
    // leaves at once never shows one).
    void showOnScreen();
    // The application's presence changed (activation policy or main menu): redraw, and bind
    // the main menu's key equivalents (Ctrl+key) in the application's windows.
    void mainMenuChanged();
    // Where the left side shows each main-menu title (index into the main menu's items).
    struct MenuTitle {
        QRect rect;
        std::size_t item = 0;
        QString title;
        bool bold = false;
    };
    std::vector<MenuTitle> menuTitles() const;
    // Opens the main menu's item `item` (its submenu under its title).
    void openMainMenuItem(std::size_t item);

    // Draws with the desktop's colour scheme from now on, and again whenever it changes.
    void followAppearance();
    // Reserves the strip's band of the primary screen on X11 (struts), so that maximised
    // windows sit below it; again when the screen changes. Elsewhere it does nothing.
    void reserveBand();

    // Cocoa coordinates of a point in this widget.
    platform::Point cocoaPoint(QPoint local) const;
    // This widget's rectangle for a Cocoa frame.
    QRect localRect(const platform::Rect& frame) const;

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void wheelEvent(QWheelEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;
    bool event(QEvent* event) override;

private:
    void reportToOtherApplications(QMouseEvent* event, bool down,
                                   const std::optional<std::size_t>& entry);
    void setHovered(const std::shared_ptr<platform::StatusItem>& item);
    // Hands a click on a tray item to the item; false for other items.
    bool clickTrayItem(QMouseEvent* event, const std::shared_ptr<platform::StatusItem>& item);

    DesktopStatusBar& bar_;
    std::weak_ptr<platform::StatusItem> hovered_;
    std::weak_ptr<platform::StatusItem> pressed_;
    std::optional<std::size_t> pressedEntry_;
    bool onScreen_ = false;
    std::optional<std::size_t> openTitle_;
    std::vector<std::unique_ptr<QShortcut>> shortcuts_;
    bool dragArmed_ = false;
    bool dragging_ = false;
    QPoint pressPoint_;
    QPoint dragPoint_;
    // The struts last set on the strip's window (none yet: empty).
    std::optional<std::array<std::uint32_t, 12>> reservedBand_;
    // Where others' panels end, found while the strip's own band did not count.
    std::optional<int> othersTop_;
    WId reservedWindow_ = 0;
};

} // namespace desktop
