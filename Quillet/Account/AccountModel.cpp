#include "Quillet/Account/AccountModel.h"

#include "Platform/Host.h"
#include "Platform/NotificationCenter.h"
#include "Quillet/Account/CorvaneAccountBridge.h"
#include "Quillet/Account/MainTask.h"

namespace quillet {

std::shared_ptr<AccountModel> AccountModel::create(std::shared_ptr<CorvaneAccountBridge> bridge) {
    std::shared_ptr<AccountModel> model(new AccountModel(std::move(bridge)));
    model->observeState();
    return model;
}

void AccountModel::observeState() {
    if (!bridge || !bridge->manager)
        return;
    // Signing in, out or a refresh changes what the account box shows: read it once, here.
    std::weak_ptr<AccountModel> weak = weak_from_this();
    stateSubscription_ = bridge->manager->onStateChange([weak](const auto&) {
        if (auto self = weak.lock())
            self->readSession();
    });
}

bool AccountModel::readSession() {
    std::optional<std::string> email;
    if (bridge)
        if (auto session = bridge->currentSession())
            email = session->email;
    const bool present = email.has_value();
    if (sessionEmail.get() != email)
        sessionEmail.set(std::move(email));
    return present;
}

void AccountModel::apply(std::optional<corvane::CorvaneAccount> value) {
    const bool present = value.has_value();
    account.set(std::move(value));
    const bool session = readSession();
    isSignedIn.set(present || session);
}

void AccountModel::startSessionRestore() {
    if (launchTask_)
        return;
    launchTask_ = true;
    startMainTask(restoreTask(weak_from_this()), "session_restore");
    // A keyring locked at launch may be unlocked later: the session is read then.
    std::weak_ptr<AccountModel> weak = weak_from_this();
    platform::host().notificationCenter().addObserver(
        platform::keychainDidUnlockNotification, [weak] {
            auto self = weak.lock();
            if (!self || self->retryRunning_ || !self->bridge->manager->storedSessionUnread())
                return;
            self->retryRunning_ = true;
            startMainTask(restoreTask(weak), "session_restore_retry");
        });
}

boost::asio::awaitable<void> AccountModel::restoreTask(std::weak_ptr<AccountModel> weak) {
    std::shared_ptr<CorvaneAccountBridge> bridge;
    if (auto self = weak.lock())
        bridge = self->bridge;
    if (!bridge)
        co_return;
    // A restore that fails leaves no account; the menu bar never waits for it.
    std::optional<corvane::CorvaneAccount> restored;
    try {
        auto op = bridge->restore();
        restored = co_await std::move(op);
    } catch (...) {
        restored.reset();
    }
    if (auto self = weak.lock()) {
        self->retryRunning_ = false;
        self->apply(std::move(restored));
    }
}

boost::asio::awaitable<void> AccountModel::refresh() {
    return refreshTask(shared_from_this());
}

boost::asio::awaitable<void> AccountModel::refreshTask(std::shared_ptr<AccountModel> self) {
    // The launch restore could not read the keyring: read it again now.
    if (self->launchTask_ && !self->retryRunning_ && self->bridge->manager->storedSessionUnread()) {
        self->retryRunning_ = true;
        auto retry = restoreTask(self);
        co_await std::move(retry);
        co_return;
    }
    const auto state = self->bridge->manager->state();
    std::optional<corvane::CorvaneAccount> value;
    if (const auto* a = state.account())
        value = *a;
    self->apply(std::move(value));
    co_return;
}

boost::asio::awaitable<void> AccountModel::signOut() {
    return signOutTask(shared_from_this());
}

boost::asio::awaitable<void> AccountModel::signOutTask(std::shared_ptr<AccountModel> self) {
    auto manager = self->bridge->manager;
    try {
        auto op = manager->signOut();
        co_await std::move(op);
    } catch (...) {
        // The session is ended locally whatever the service answered.
    }
    self->apply(std::nullopt);
}

} // namespace quillet
