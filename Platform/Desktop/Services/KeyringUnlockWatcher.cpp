#include "Platform/Desktop/Services/KeyringUnlockWatcher.h"

#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusVariant>

#include <utility>

namespace desktop {

namespace {
const QString kService = QStringLiteral("org.freedesktop.secrets");
const QString kServicePath = QStringLiteral("/org/freedesktop/secrets");
const QString kServiceInterface = QStringLiteral("org.freedesktop.Secret.Service");
const QString kCollectionInterface = QStringLiteral("org.freedesktop.Secret.Collection");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");

// A call to the Secret Service that never starts one by bus activation.
QDBusMessage call(const QString& path, const QString& interface, const QString& method,
                  const QList<QVariant>& arguments) {
    QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
    message.setArguments(arguments);
    message.setAutoStartService(false);
    return message;
}
} // namespace

KeyringUnlockWatcher::KeyringUnlockWatcher(std::function<void()> onUnlocked, QDBusConnection bus)
    : onUnlocked_(std::move(onUnlocked)), bus_(std::move(bus)) {
    if (!bus_.isConnected())
        return;
    // Any object path: the service's signal comes from its own path, a collection's from the
    // collection's.
    bus_.connect(kService, kServicePath, kServiceInterface, QStringLiteral("CollectionChanged"),
                 this, SLOT(collectionChanged(QDBusMessage)));
    bus_.connect(kService, QString(), kProperties, QStringLiteral("PropertiesChanged"), this,
                 SLOT(propertiesChanged(QDBusMessage)));
    ask(false);
}

KeyringUnlockWatcher::~KeyringUnlockWatcher() {
    if (!bus_.isConnected())
        return;
    bus_.disconnect(kService, kServicePath, kServiceInterface, QStringLiteral("CollectionChanged"),
                    this, SLOT(collectionChanged(QDBusMessage)));
    bus_.disconnect(kService, QString(), kProperties, QStringLiteral("PropertiesChanged"), this,
                    SLOT(propertiesChanged(QDBusMessage)));
}

void KeyringUnlockWatcher::collectionChanged(const QDBusMessage&) {
    ask(true);
}

void KeyringUnlockWatcher::propertiesChanged(const QDBusMessage& message) {
    // Only a collection's properties say anything about a lock.
    if (message.arguments().value(0).toString() == kCollectionInterface)
        ask(true);
}

void KeyringUnlockWatcher::ask(bool announce) {
    const quint64 number = ++asked_;
    auto* alias = new QDBusPendingCallWatcher(
        bus_.asyncCall(call(kServicePath, kServiceInterface, QStringLiteral("ReadAlias"),
                            {QStringLiteral("default")})),
        this);
    connect(alias, &QDBusPendingCallWatcher::finished, this,
            [this, number, announce](QDBusPendingCallWatcher* aliasCall) {
                aliasCall->deleteLater();
                const QDBusPendingReply<QDBusObjectPath> path = *aliasCall;
                // No service, or no default collection ("/"): nothing is known.
                if (path.isError() || path.value().path() == QStringLiteral("/")) {
                    if (number > answeredUpTo_) {
                        answeredUpTo_ = number;
                        answered(std::nullopt, announce);
                    }
                    return;
                }
                auto* property = new QDBusPendingCallWatcher(
                    bus_.asyncCall(call(path.value().path(), kProperties, QStringLiteral("Get"),
                                        {kCollectionInterface, QStringLiteral("Locked")})),
                    this);
                connect(property, &QDBusPendingCallWatcher::finished, this,
                        [this, number, announce](QDBusPendingCallWatcher* lockedCall) {
                            lockedCall->deleteLater();
                            const QDBusPendingReply<QDBusVariant> reply = *lockedCall;
                            if (number <= answeredUpTo_)
                                return;
                            answeredUpTo_ = number;
                            if (reply.isError())
                                answered(std::nullopt, announce);
                            else
                                answered(reply.value().variant().toBool(), announce);
                        });
            });
}

void KeyringUnlockWatcher::answered(std::optional<bool> locked, bool announce) {
    const bool wasUnlocked = locked_ == false;
    locked_ = locked;
    if (announce && locked == false && !wasUnlocked && onUnlocked_)
        onUnlocked_();
}

} // namespace desktop
