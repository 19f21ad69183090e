// The legacy system tray on X11: owns _NET_SYSTEM_TRAY_S<n> while no other program does (and
// gives it up to one that takes it), embeds each docked icon window in the strip as another
// application's status item and forwards the strip's clicks to it. Main thread only.
#pragma once

#include "Platform/Desktop/StatusBar/ForeignItems.h"

#include <QAbstractNativeEventFilter>
#include <QImage>
#include <QObject>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

struct xcb_connection_t;

namespace platform {
class StatusItem;
}

namespace desktop {

class DesktopHost;
class DesktopRunningApplication;
enum class ForeignClick;

class XEmbedTray final : public QObject, public QAbstractNativeEventFilter {
public:
    // Icons embedded at most; further docking requests are refused.
    static constexpr std::size_t maxIcons = 64;
    // The numbers of the icons' images for the panel start here, apart from the other tray
    // items'.
    static constexpr int firstImageNumber = 1 << 20;

    enum class State {
        // Not on X11, or the tray could not be set up.
        off,
        // Another program is the tray; this one waits for it to go.
        waiting,
        // Asking the server for a time to take the selection with.
        acquiring,
        // This program is the tray.
        manager,
    };

    explicit XEmbedTray(DesktopHost& host);
    ~XEmbedTray() override;
    XEmbedTray(const XEmbedTray&) = delete;
    XEmbedTray& operator=(const XEmbedTray&) = delete;

    // Becomes the tray when no other program is; false when there is no X11 display.
    bool start();
    State state() const { return state_; }

    struct IconInfo {
        std::uint32_t window = 0;
        std::string autosaveName;
        std::int32_t pid = 0;
        // In the strip (the program keeps its window mapped).
        bool shown = false;
        // The item's container is on screen.
        bool onScreen = false;
        int imageVersion = 0;
    };
    std::vector<IconInfo> icons() const;
    // Runs each time an icon enters the strip.
    std::function<void()> onIconShown;

    // Puts the containers where the strip's layout put their items; hides those beyond the
    // screen (keeping a picture of each for the panel).
    void place();

    bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

private:
    struct Icon {
        std::uint32_t window = 0;
        std::uint32_t container = 0;
        // The sequence number of the reparenting request: its unmap is not the program's.
        std::uint16_t reparentSequence = 0;
        bool reparentPending = false;
        bool mapped = false;
        bool containerMapped = false;
        bool wantsMapped = true;
        std::shared_ptr<platform::StatusItem> item;
        std::string owner;
        std::string autosaveName;
        std::int32_t pid = 0;
        int number = 0;
        int imageVersion = 0;
        QImage image;
        std::int32_t appPID = 0;
    };

    void createManagerWindow();
    void tryAcquire();
    void acquire(std::uint32_t time);
    void lose();
    void watchOwner(std::uint32_t owner);
    void dock(std::uint32_t window);
    void undock(std::uint32_t window, bool giveBack);
    void show(Icon& icon);
    void hide(Icon& icon);
    void readEmbedInfo(Icon& icon);
    void applyEmbedInfo(Icon& icon);
    void snapshot(Icon& icon);
    void click(std::uint32_t window, ForeignClick click);
    void scroll(std::uint32_t window, int delta, Qt::Orientation orientation);
    void sendButton(const Icon& icon, std::uint8_t button);
    void updateApplication(Icon& icon);
    std::string autosaveNameFor(const std::string& base) const;
    double newItemPosition() const;
    int iconPixels() const;
    std::uint32_t stripWindow() const;
    std::uint32_t backgroundPixel() const;

    DesktopHost& host_;
    xcb_connection_t* c_ = nullptr;
    std::uint32_t root_ = 0;
    std::uint32_t rootVisual_ = 0;
    std::uint8_t rootDepth_ = 0;
    std::uint32_t colormap_ = 0;
    std::uint32_t managerWindow_ = 0;
    // The other tray watched for its end.
    std::uint32_t otherOwner_ = 0;
    State state_ = State::off;
    bool filtering_ = false;
    bool shapeAvailable_ = false;
    std::uint8_t inputOpcode_ = 0;
    // The last server time seen in an event.
    std::uint32_t lastTime_ = 0;
    struct Atoms {
        std::uint32_t selection = 0, opcode = 0, manager = 0, xembed = 0, xembedInfo = 0,
                      visual = 0, orientation = 0, netWmPid = 0, netWmName = 0, utf8 = 0, probe = 0;
    } atoms_;
    std::map<std::uint32_t, Icon> icons_;
    std::set<std::string> autosaveNames_;
    int nextNumber_ = firstImageNumber;
    // The running applications made for the icons' programs.
    ForeignApplications apps_{host_};
};

} // namespace desktop
