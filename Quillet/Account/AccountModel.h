// The observable account state that the settings window shows: the signed-in account, whether a
// session is present and the e-mail address of the session the account box shows (read from
// the Keychain when the library's state changes, never while drawing). Restores the stored
// session once at launch, re-reads the library's state on request, and signs out. Main thread
// only.
#pragma once

#include "CorvaneAccount/Facade/CorvaneAccountManager.h"
#include "CorvaneAccount/Model/CorvaneAccount.h"
#include "Platform/Published.h"

#include <boost/asio/awaitable.hpp>
#include <memory>
#include <optional>
#include <string>

namespace quillet {

class CorvaneAccountBridge;

class AccountModel : public std::enable_shared_from_this<AccountModel> {
public:
    // No account, not signed in.
    static std::shared_ptr<AccountModel> create(std::shared_ptr<CorvaneAccountBridge> bridge);

    // Starts the restore of the stored session as a main-actor task, once per process; the
    // caller does not wait for it. When the keyring could not be read, the restore runs again
    // at the next refresh() and when the host reports the keyring unlocked, until it is read.
    void startSessionRestore();
    bool hasLaunchTask() const { return launchTask_; }

    // Re-reads the library's state: the account while signed in, else none; signed in when an
    // account is present or a session can still be read. Restores again first when the launch
    // restore could not read the keyring.
    boost::asio::awaitable<void> refresh();
    // Signs out through the library (its errors are dropped), then clears the account.
    boost::asio::awaitable<void> signOut();

    const std::shared_ptr<CorvaneAccountBridge> bridge;
    platform::Published<std::optional<corvane::CorvaneAccount>> account;
    platform::Published<bool> isSignedIn{false};
    // The e-mail address of the current session (the bridge's `currentSession()`), none while
    // there is none; re-read on every change of the library's state and on every apply.
    platform::Published<std::optional<std::string>> sessionEmail;

private:
    explicit AccountModel(std::shared_ptr<CorvaneAccountBridge> b) : bridge(std::move(b)) {}
    // Sets `account` and derives `isSignedIn` from it and the stored session.
    void apply(std::optional<corvane::CorvaneAccount> value);
    // Re-reads the current session once; returns whether there is one.
    bool readSession();
    void observeState();

    static boost::asio::awaitable<void> restoreTask(std::weak_ptr<AccountModel> weak);
    static boost::asio::awaitable<void> refreshTask(std::shared_ptr<AccountModel> self);
    static boost::asio::awaitable<void> signOutTask(std::shared_ptr<AccountModel> self);

    bool launchTask_ = false;
    // A restore again after an unreadable keyring is running.
    bool retryRunning_ = false;
    std::unique_ptr<corvane::CorvaneAccountManager::StateSubscription> stateSubscription_;
};

} // namespace quillet
