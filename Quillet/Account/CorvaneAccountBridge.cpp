#include "Quillet/Account/CorvaneAccountBridge.h"

#include "CorvaneAccount/Foundation/CorvaneAccountLibrary.h"
#include "CorvaneAccount/Storage/CorvaneInstallMetrics.h"
#include "CorvaneAccount/Storage/KeychainStorage.h"
#include "Platform/Host.h"
#include "Quillet/App/Constants.h"

namespace quillet {

corvane::CorvaneConfig CorvaneAccountBridge::makeConfig() {
    return corvane::CorvaneConfig(
        boost::urls::url(Constants::Auth::authorityURL()),
        boost::urls::url(Constants::Auth::identityURL()), appSlug, Constants::Auth::clientID(),
        Constants::version(), std::string(corvane::CorvaneAccountLibrary::libVersion),
        boost::urls::url(Constants::Auth::redirectURI()), corvane::AuthScheme::systemBrowser,
        std::nullopt, {"corvane.account"}, &platform::host().httpSession(), {},
        corvane::CorvaneInstallMetrics(appSlug).installID());
}

std::shared_ptr<CorvaneAccountBridge> CorvaneAccountBridge::create() {
    std::shared_ptr<CorvaneAccountBridge> bridge(new CorvaneAccountBridge());
    bridge->manager = corvane::CorvaneAccountManager::create(makeConfig());
    return bridge;
}

boost::asio::awaitable<std::optional<corvane::CorvaneAccount>> CorvaneAccountBridge::restore() {
    auto manager = this->manager;
    auto op = manager->restore(true);
    co_return co_await std::move(op);
}

std::optional<CorvaneAccountBridge::Session> CorvaneAccountBridge::currentSession() const {
    const auto state = manager->state();
    const auto* account = state.account();
    if (!account)
        return std::nullopt;
    std::optional<corvane::StoredSession> stored;
    try {
        stored = corvane::KeychainStorage(appSlug, std::nullopt)
                     .getJSON<corvane::StoredSession>(corvane::KeychainStorage::Keys::session);
    } catch (...) {
        // An unreadable item is no session.
        return std::nullopt;
    }
    if (!stored)
        return std::nullopt;
    return Session{stored->cas, account->corvaneAccountId.raw, account->emailPrimary};
}

} // namespace quillet
