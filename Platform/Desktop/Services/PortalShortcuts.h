// Global shortcuts through the desktop portal's GlobalShortcuts interface, for desktops where no
// X server takes key grabs (Wayland). The portal binds shortcuts per session: each change of the
// set (coalesced to one per main-loop turn) closes the session and binds the whole set in a new
// one. The desktop may ask the user first and may assign other keys; it tells us each press with
// the Activated signal, so nothing is polled. Main thread only.
#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

namespace desktop {

// The portal's trigger text for a canonical key sequence ("Ctrl+Alt+H" is "CTRL+ALT+h",
// "Meta+F5" is "LOGO+F5"); none for a key the portal has no name for.
std::optional<std::string> portalTrigger(const std::string& canonicalSequence);

class PortalShortcuts final : public QObject {
    Q_OBJECT
public:
    using Token = std::uint64_t;

    // `post` runs a press's action on a later main-loop turn.
    PortalShortcuts(QDBusConnection bus, std::function<void(std::function<void()>)> post);
    ~PortalShortcuts() override;

    // Whether a portal is on `bus` to ask.
    static bool available(const QDBusConnection& bus);

    // Adds (or replaces) the shortcut of `token`; `trigger` is the portal's text for its keys.
    void set(Token token, const std::string& trigger, const std::string& description,
             std::function<void()> action);
    void remove(Token token);

    // What the portal last confirmed: shortcut id to the keys it says trigger it.
    const std::map<QString, QString>& bound() const { return bound_; }
    std::uint64_t activations() const { return activations_; }

private slots:
    void requestResponse(const QDBusMessage& message);
    void activated(const QDBusMessage& message);

private:
    struct Shortcut {
        QString trigger;
        QString description;
        std::function<void()> action;
    };
    void scheduleBind();
    void bind();
    void closeSession();
    // Calls `method` with a request handle token and waits for the request's Response, then
    // calls `done` with its results (none when the call failed or the user refused).
    void request(const QString& method, QList<QVariant> arguments, QVariantMap options,
                 std::function<void(std::optional<QVariantMap>)> done);

    QDBusConnection bus_;
    std::function<void(std::function<void()>)> post_;
    std::map<Token, Shortcut> shortcuts_;
    // The session the shortcuts are bound in, and the generation of the set it binds: answers
    // for an older generation are stale.
    QString session_;
    std::uint64_t generation_ = 0;
    bool bindScheduled_ = false;
    std::uint64_t nextRequest_ = 0;
    // Pending requests by their object path.
    std::map<QString, std::function<void(std::optional<QVariantMap>)>> pending_;
    std::map<QString, QString> bound_;
    std::uint64_t activations_ = 0;
};

} // namespace desktop
