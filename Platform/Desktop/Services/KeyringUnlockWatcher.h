// Tells when the Secret Service's default collection (the login keyring) becomes unlocked, as
// the Keychain's unlock event does on a Mac. Listens on the bus for the service's
// CollectionChanged and its collections' PropertiesChanged, and after each asks the service
// whether the default collection is locked now: a change from locked (or not yet known) to
// unlocked calls `onUnlocked`, once per unlock however many signals announce it. Never polls,
// and never starts a Secret Service that is not running (its calls do not activate one).
// Thread of the object (the main thread).
#pragma once

#include <QDBusConnection>
#include <QObject>

#include <functional>
#include <optional>

class QDBusMessage;

namespace desktop {

class KeyringUnlockWatcher final : public QObject {
    Q_OBJECT
public:
    explicit KeyringUnlockWatcher(std::function<void()> onUnlocked,
                                  QDBusConnection bus = QDBusConnection::sessionBus());
    ~KeyringUnlockWatcher() override;

    // Whether the default collection was locked when last asked; none before the first answer
    // or when there is no Secret Service (or no default collection).
    std::optional<bool> locked() const { return locked_; }

private Q_SLOTS:
    void collectionChanged(const QDBusMessage& message);
    void propertiesChanged(const QDBusMessage& message);

private:
    // Asks for the default collection and then for its Locked property; `announce` is false
    // for the first question, whose answer only sets the known state.
    void ask(bool announce);
    void answered(std::optional<bool> locked, bool announce);

    std::function<void()> onUnlocked_;
    QDBusConnection bus_;
    std::optional<bool> locked_;
    // Questions sent, and the newest answered: an older answer arriving late is dropped.
    quint64 asked_ = 0;
    quint64 answeredUpTo_ = 0;
};

} // namespace desktop
