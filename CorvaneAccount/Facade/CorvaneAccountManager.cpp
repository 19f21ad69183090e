#include "CorvaneAccount/Facade/CorvaneAccountManager.h"

#include "CorvaneAccount/Auth/SignInWithAppleDriver.h"
#include "CorvaneAccount/Foundation/CancelSwitch.h"
#include "CorvaneAccount/Storage/CorvaneInstallMetrics.h"
#include "CorvaneAccount/Storage/KeychainStorage.h"
#include "CorvaneAccount/Transport/AuthClient.h"
#include "CorvaneAccount/Transport/DPoPSigner.h"
#include "Platform/Application.h"
#include "Platform/Async.h"
#include "Platform/Host.h"
#include "Platform/Keychain.h"
#include "Platform/Log.h"
#include "Platform/MainExecutor.h"
#include "Platform/Window.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/use_awaitable.hpp>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <vector>

namespace corvane {

namespace asio = boost::asio;

namespace {

constexpr const char* sessionKey = KeychainStorage::Keys::session;

// Runs `step` on the main thread and resumes the caller on its own executor afterwards.
asio::awaitable<void> onMain(std::function<void()> step) {
    auto run = [](std::function<void()> f) -> asio::awaitable<void> {
        f();
        co_return;
    };
    auto op = asio::co_spawn(platform::mainExecutor(), run(std::move(step)), asio::use_awaitable);
    co_await std::move(op);
}

// A failure that may pass: offline, throttled, or the service failing.
bool isPassingFailure(const CorvaneError& error) {
    if (error.kind() == CorvaneError::Kind::networkUnavailable)
        return true;
    return error.kind() == CorvaneError::Kind::serverError &&
           (error.status() >= 500 || error.status() == 429);
}

std::int64_t secondsSince1970(std::chrono::system_clock::time_point date) {
    return std::chrono::duration_cast<std::chrono::seconds>(date.time_since_epoch()).count();
}

CorvaneAccount accountOf(const CasResponse& r) {
    return CorvaneAccount{r.corvaneAccountId, r.email, std::nullopt};
}

} // namespace

CorvaneConfig withAutoInstallID(const CorvaneConfig& config) {
    if (config.installID)
        return config;
    CorvaneConfig filled = config;
    filled.installID = CorvaneInstallMetrics(config.appSlug).installID();
    return filled;
}

void CorvaneAccountManager::StateSubscription::release() {
    if (auto cancel = std::exchange(cancel_, nullptr))
        cancel();
}

// --- construction ---

std::shared_ptr<CorvaneAccountManager> CorvaneAccountManager::create(CorvaneConfig config) {
    // Codes, verifiers, tokens and proofs never travel in clear text.
    config.validate();
    std::shared_ptr<CorvaneAccountManager> manager(new CorvaneAccountManager(std::move(config)));
    manager->wire();
    return manager;
}

std::shared_ptr<CorvaneAccountManager>
CorvaneAccountManager::create(CorvaneConfig config, std::shared_ptr<IdentityThrottle> throttle) {
    std::shared_ptr<CorvaneAccountManager> manager(
        new CorvaneAccountManager(std::move(config), std::move(throttle)));
    manager->wire();
    return manager;
}

CorvaneAccountManager::CorvaneAccountManager(CorvaneConfig config,
                                             std::shared_ptr<IdentityThrottle> throttle)
    : config_(withAutoInstallID(config)), state_(State::signedOut()) {
    storage_ = std::make_shared<KeychainStorage>(config_.appSlug, config_.keychainAccessGroup);
    // Without a signer requests simply go without proofs.
    try {
        dpopSigner_ = std::make_shared<const DPoPSigner>();
    } catch (...) {
        dpopSigner_.reset();
    }
    authClient_ = AuthClient::create(config_, dpopSigner_, std::move(throttle));
    oauthDriver_ = std::make_shared<OAuthDriver>(config_);
}

CorvaneAccountManager::~CorvaneAccountManager() = default;

void CorvaneAccountManager::wire() {
    std::weak_ptr<CorvaneAccountManager> weak = weak_from_this();
    std::weak_ptr<KeychainStorage> weakStorage = storage_;

    // Back online: what a sign-out could not revoke is revoked now.
    onlineAgain_ = isOffline.willChange.connect([weak](bool offline) {
        if (offline)
            return;
        if (auto self = weak.lock(); self && self->isOffline.get())
            self->startRevokingPendingSessions();
    });

    authClient_->onDeprecationNotice = [weak](const std::vector<CorvaneDeprecationNotice>& n) {
        if (auto self = weak.lock())
            self->handleDeprecationNotices(n);
    };
    authClient_->currentSessionProvider = [weakStorage]() -> std::optional<StoredSession> {
        auto storage = weakStorage.lock();
        if (!storage)
            return std::nullopt;
        return storage->getJSON<StoredSession>(sessionKey);
    };
    // A rotated session is written only over the session whose refresh token was spent: one
    // signed out or replaced meanwhile stays as it is.
    authClient_->onSessionRefreshed =
        [weakStorage, sessionLock = sessionLock_](const std::string& spent, const CasResponse& r) {
            auto storage = weakStorage.lock();
            if (!storage)
                return;
            std::lock_guard guard(*sessionLock);
            auto current = storage->getJSON<StoredSession>(sessionKey);
            if (!current || !current->refreshToken || *current->refreshToken != spent)
                return;
            StoredSession renewed{r.cas,        r.refreshToken, r.expiresAt,
                                  accountOf(r), r.appSlug,      platform::now()};
            try {
                storage->setJSON(renewed, sessionKey);
            } catch (const std::exception& e) {
                platform::Logger("com.corvane.account", "auth")
                    .error(std::string("session persist after refresh failed: ") + e.what());
            }
        };
}

// --- state ---

CorvaneAccountManager::State CorvaneAccountManager::state() const {
    std::lock_guard guard(lock_);
    return state_;
}

std::unique_ptr<CorvaneAccountManager::StateSubscription>
CorvaneAccountManager::onStateChange(StateHandler handler) {
    std::uint64_t id;
    {
        std::lock_guard guard(lock_);
        id = nextHandlerID_++;
        handlers_.emplace(id, std::move(handler));
    }
    std::weak_ptr<CorvaneAccountManager> weak = weak_from_this();
    return std::make_unique<StateSubscription>([weak, id] {
        if (auto self = weak.lock()) {
            std::lock_guard guard(self->lock_);
            self->handlers_.erase(id);
        }
    });
}

void CorvaneAccountManager::setState(State state) {
    stateWillChange(state);
    std::vector<StateHandler> snapshot;
    {
        std::lock_guard guard(lock_);
        state_ = state;
        for (const auto& [id, handler] : handlers_)
            snapshot.push_back(handler);
    }
    // Outside the lock: a handler may register or release subscriptions.
    for (const auto& handler : snapshot)
        handler(state);
}

asio::awaitable<void> CorvaneAccountManager::setStateOnMain(State state) {
    auto self = shared_from_this();
    auto op = onMain([self, state] { self->setState(state); });
    co_await std::move(op);
}

asio::awaitable<void> CorvaneAccountManager::setOfflineOnMain(bool offline, bool onlyWhenChanged) {
    auto self = shared_from_this();
    auto op = onMain([self, offline, onlyWhenChanged] {
        if (!onlyWhenChanged || self->isOffline.get() != offline)
            self->isOffline.set(offline);
    });
    co_await std::move(op);
}

void CorvaneAccountManager::handleDeprecationNotices(
    const std::vector<CorvaneDeprecationNotice>& notices) {
    std::weak_ptr<CorvaneAccountManager> weak = weak_from_this();
    for (const auto& notice : notices) {
        platform::mainExecutor().loop().post([weak, notice] {
            auto self = weak.lock();
            if (!self)
                return;
            if (self->lastDeprecationNotice.get() != notice)
                self->lastDeprecationNotice.set(notice);
            if (const auto* client = notice.client()) {
                LibVersionPolicy policy{client->minVersion, client->currentVersion, std::nullopt,
                                        client->reason, std::nullopt};
                if (self->libVersionPolicy.get() != policy)
                    self->libVersionPolicy.set(policy);
            }
        });
    }
}

// --- errors ---

bool CorvaneAccountManager::isDefinitiveAuthFailure(const CorvaneError& error) {
    if (error.kind() == CorvaneError::Kind::sessionExpired)
        return true;
    return error.kind() == CorvaneError::Kind::serverError && error.code() == "invalid_grant";
}

CorvaneError CorvaneAccountManager::asCorvaneError(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const CorvaneError& e) {
        return e;
    } catch (...) {
        return CorvaneError::networkUnavailable();
    }
}

// --- sign-in ---

asio::awaitable<CorvaneAccount>
CorvaneAccountManager::signIn(std::shared_ptr<platform::Window> from,
                              std::optional<OAuthDriver::ProviderHint> provider,
                              std::optional<std::string> installID) {
    auto self = shared_from_this();
    if (config_.preferredScheme == AuthScheme::systemBrowser) {
        auto op = signInViaSystemBrowser(provider, std::move(installID));
        co_return co_await std::move(op);
    }
    auto authorization = oauthDriver_->authorize(std::move(from), provider);
    auto op = finishSignIn(std::move(authorization), std::move(installID));
    co_return co_await std::move(op);
}

asio::awaitable<CorvaneAccount>
CorvaneAccountManager::signInViaSystemBrowser(std::optional<OAuthDriver::ProviderHint> provider,
                                              std::optional<std::string> installID) {
    auto self = shared_from_this();
    auto authorization = oauthDriver_->authorizeViaSystemBrowser(provider);
    auto op = finishSignIn(std::move(authorization), std::move(installID));
    co_return co_await std::move(op);
}

asio::awaitable<CorvaneAccount>
CorvaneAccountManager::finishSignIn(asio::awaitable<OAuthAuthorizationResult> authorization,
                                    std::optional<std::string> installID) {
    auto self = shared_from_this();
    // This sign-in owns the published state from now on, and cancelSignIn() reaches it.
    auto running = std::make_shared<CancelSwitch>(co_await asio::this_coro::executor);
    std::uint64_t id = 0, previousOwner = 0;
    {
        std::lock_guard guard(lock_);
        id = nextSignInID_++;
        previousOwner = std::exchange(stateOwner_, id);
        std::erase_if(signIns_, [](const auto& weak) { return weak.expired(); });
        signIns_.push_back(running);
    }
    // The state shows the sign-in at once; the browser half and the exchange follow.
    auto pending = setStateOnMain(State::signingIn(true));
    co_await std::move(pending);

    std::exception_ptr error;
    try {
        OAuthAuthorizationResult result =
            co_await running->awaitCancellable(std::move(authorization));
        if (running->cancelled())
            throw CorvaneError::authorizationCancelled();
        ExchangeBody body{config_.appSlug,       result.authorizationCode,
                          result.codeVerifier,   std::string(config_.redirectURI.buffer()),
                          config_.clientVersion, installID ? installID : config_.installID};
        CasResponse answer =
            co_await running->awaitCancellable(authClient_->exchange(std::move(body)));
        // Cancelled while the answer was on its way: the session is not kept.
        if (running->cancelled())
            throw CorvaneError::authorizationCancelled();
        auto settle = settleUnreadSession(answer.cas);
        co_await std::move(settle);
        auto completion = complete(std::move(answer));
        co_return co_await std::move(completion);
    } catch (...) {
        error = std::current_exception();
    }
    CorvaneError failure = asCorvaneError(error);
    if (running->cancelled())
        failure = CorvaneError::authorizationCancelled();
    // Refused because another browser sign-in waits, or replaced by a newer sign-in: the
    // published state belongs to that one.
    const bool refused =
        failure == CorvaneError::authorizationFailed("sign_in_already_in_progress");
    bool publish = false;
    {
        std::lock_guard guard(lock_);
        if (stateOwner_ == id) {
            publish = !refused;
            if (refused)
                stateOwner_ = previousOwner;
        }
    }
    if (publish) {
        auto failed = setStateOnMain(State::failed(failure));
        co_await std::move(failed);
    }
    throw failure;
}

asio::awaitable<CorvaneAccount>
CorvaneAccountManager::signInWithApple(std::shared_ptr<platform::Window> from,
                                       std::optional<std::string> installID) {
    auto self = shared_from_this();
    auto pending = setStateOnMain(State::signingIn(true));
    co_await std::move(pending);

    std::exception_ptr error;
    try {
        // The sheet's one-time code goes to the service's Apple endpoint.
        SignInWithAppleDriver driver(config_);
        auto sheet = driver.authorize(std::move(from));
        SignInWithAppleDriver::AppleAuthorization authorization = co_await std::move(sheet);
        auto exchange = authClient_->exchangeAppleAuthCode(
            authorization.authorizationCode, authorization.identityToken, std::move(installID));
        AppleAuthcodeResponse answer = co_await std::move(exchange);
        if (!answer.cas || !answer.corvaneAccountId || !answer.email || !answer.expiresAt)
            throw CorvaneError::authorizationFailed("apple_authcode_unavailable");

        // The session is stored before the state says signed in.
        const CorvaneAccount account{{*answer.corvaneAccountId}, *answer.email, std::nullopt};
        StoredSession session{*answer.cas, answer.refreshToken, *answer.expiresAt,
                              account,     config_.appSlug,     platform::now()};
        try {
            storage_->setJSON(session, sessionKey);
        } catch (const CorvaneJSON::EncodingError&) {
            throw CorvaneError::malformedResponse("AppleAuthcodeResponse");
        }
        const std::optional<bool> isNewUser = answer.isNewUser;
        auto signedIn = onMain([self, isNewUser, account] {
            self->lastAppleSignInIsNewUser.set(isNewUser);
            if (self->isOffline.get())
                self->isOffline.set(false);
            self->setState(State::signedIn(account));
        });
        co_await std::move(signedIn);
        co_return account;
    } catch (...) {
        error = std::current_exception();
    }
    const CorvaneError failure = asCorvaneError(error);
    auto failed = setStateOnMain(State::failed(failure));
    co_await std::move(failed);
    throw failure;
}

asio::awaitable<CorvaneAccount> CorvaneAccountManager::complete(CasResponse exchange) {
    auto self = shared_from_this();
    const CorvaneAccount account = accountOf(exchange);
    StoredSession session{exchange.cas, exchange.refreshToken, exchange.expiresAt,
                          account,      exchange.appSlug,      platform::now()};
    try {
        std::lock_guard guard(*sessionLock_);
        storage_->setJSON(session, sessionKey);
    } catch (const CorvaneJSON::EncodingError&) {
        throw CorvaneError::malformedResponse("CasResponse");
    }
    auto signedIn = setStateOnMain(State::signedIn(account));
    co_await std::move(signedIn);
    co_return account;
}

bool CorvaneAccountManager::resume(const std::string& url) {
    return oauthDriver_->resume(url);
}

bool CorvaneAccountManager::cancelSignIn() {
    std::vector<std::shared_ptr<CancelSwitch>> running;
    {
        std::lock_guard guard(lock_);
        for (const auto& weak : signIns_)
            if (auto r = weak.lock())
                running.push_back(std::move(r));
    }
    bool cancelled = oauthDriver_->cancelInFlight();
    for (const auto& r : running)
        cancelled = r->cancel() || cancelled;
    return cancelled;
}

void CorvaneAccountManager::activateForAuthReturn(std::shared_ptr<platform::Window> bringing) {
    auto& app = platform::host().application();
    app.activate(true);
    std::shared_ptr<platform::Window> window = std::move(bringing);
    const auto windows = app.windows();
    if (!window)
        for (const auto& w : windows)
            if (w->isKeyWindow()) {
                window = w;
                break;
            }
    if (!window)
        for (const auto& w : windows)
            if (w->isVisible() && w->attributes().canBecomeMain) {
                window = w;
                break;
            }
    if (!window)
        for (const auto& w : windows)
            if (w->isVisible()) {
                window = w;
                break;
            }
    if (!window)
        return;
    if (window->attributes().canBecomeKey)
        window->makeKeyAndOrderFront();
    else
        window->orderFrontRegardless();
}

// --- the session ---

std::optional<StoredSession> CorvaneAccountManager::storedSession() const {
    return storage_->getJSON<StoredSession>(sessionKey);
}

CorvaneAccountManager::SessionRead CorvaneAccountManager::readStoredSession() const {
    Data data;
    try {
        data = storage_->readData(sessionKey);
    } catch (const CorvaneError& e) {
        if (e.kind() == CorvaneError::Kind::keychainFailure &&
            e.status() != platform::errSecItemNotFound)
            return {std::nullopt, e.status()};
        return {};
    }
    try {
        return {CorvaneJSON::decode<StoredSession>(data), std::nullopt};
    } catch (const CorvaneJSON::DecodingError&) {
        // An item that no longer decodes holds nothing usable.
        return {};
    }
}

bool CorvaneAccountManager::storedSessionUnread() const {
    std::lock_guard guard(lock_);
    return sessionUnread_;
}

asio::awaitable<void> CorvaneAccountManager::settleUnreadSession(std::string newCas) {
    auto self = shared_from_this();
    {
        std::lock_guard guard(lock_);
        if (!sessionUnread_)
            co_return;
    }
    SessionRead read = readStoredSession();
    if (read.unreadableStatus) {
        // Writing now would lose a session the service still honours: the new one goes.
        const std::int32_t status = *read.unreadableStatus;
        config_.log(CorvaneLogLevel::warning, "sign_in_stored_session_unreadable",
                    {{"status", std::to_string(status)}});
        try {
            auto revoke = authClient_->revokeSession(std::move(newCas));
            co_await std::move(revoke);
        } catch (...) {
        }
        throw CorvaneError::keychainFailure(status);
    }
    if (read.session && read.session->cas != newCas) {
        // The old session ends at the service before its record is replaced.
        try {
            auto revoke = authClient_->revokeSession(read.session->cas);
            co_await std::move(revoke);
        } catch (...) {
            config_.log(CorvaneLogLevel::warning, "sign_in_revoke_replaced_session_failed");
        }
    }
    std::lock_guard guard(lock_);
    sessionUnread_ = false;
}

void CorvaneAccountManager::deleteStoredSession() const {
    // A missing item counts as deleted; other failures are not reported.
    storage_->deleteData(sessionKey);
}

asio::awaitable<void> CorvaneAccountManager::signOut() {
    auto self = shared_from_this();
    if (auto stored = storedSession()) {
        // The service forgets the session; a failure does not keep the user signed in, but a
        // passing one (offline, a server failure) keeps the session to be revoked later.
        std::exception_ptr error;
        try {
            auto revoke = authClient_->revokeSession(stored->cas);
            co_await std::move(revoke);
        } catch (...) {
            error = std::current_exception();
        }
        if (error && isPassingFailure(asCorvaneError(error)))
            keepForRevocation(*stored);
    }
    deleteStoredSession();
    auto signedOut = setStateOnMain(State::signedOut());
    co_await std::move(signedOut);
}

std::vector<CorvaneAccountManager::PendingRevocation>
CorvaneAccountManager::pendingRevocations() const {
    std::vector<PendingRevocation> out;
    auto data = storage_->getData(KeychainStorage::Keys::pendingRevocations);
    if (!data)
        return out;
    auto list = nlohmann::json::parse(data->begin(), data->end(), nullptr, false);
    if (!list.is_array())
        return out;
    for (const auto& item : list) {
        if (!item.is_object() || !item.contains("cas") || !item["cas"].is_string() ||
            !item.contains("kept_at") || !item["kept_at"].is_number_integer())
            continue;
        PendingRevocation p{item["cas"].get<std::string>(), std::nullopt,
                            item["kept_at"].get<std::int64_t>()};
        if (item.contains("refresh_token") && item["refresh_token"].is_string())
            p.refreshToken = item["refresh_token"].get<std::string>();
        out.push_back(std::move(p));
    }
    return out;
}

void CorvaneAccountManager::storePendingRevocations(std::vector<PendingRevocation> pending) const {
    // None older than the limit, and only the newest few.
    const std::int64_t oldest =
        secondsSince1970(platform::now()) - std::int64_t(pendingRevocationDays) * 24 * 3600;
    std::erase_if(pending, [oldest](const auto& p) { return p.keptAt < oldest; });
    std::stable_sort(pending.begin(), pending.end(),
                     [](const auto& a, const auto& b) { return a.keptAt > b.keptAt; });
    if (pending.size() > maxPendingRevocations)
        pending.resize(maxPendingRevocations);
    if (pending.empty()) {
        storage_->deleteData(KeychainStorage::Keys::pendingRevocations);
        return;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const auto& p : pending) {
        nlohmann::json item{{"cas", p.cas}, {"kept_at", p.keptAt}};
        if (p.refreshToken)
            item["refresh_token"] = *p.refreshToken;
        list.push_back(std::move(item));
    }
    const std::string text = list.dump();
    try {
        storage_->setData(Data(text.begin(), text.end()),
                          KeychainStorage::Keys::pendingRevocations);
    } catch (const CorvaneError& e) {
        config_.log(CorvaneLogLevel::warning, "pending_revocation_store_failed",
                    {{"status", std::to_string(e.status())}});
    }
}

void CorvaneAccountManager::keepForRevocation(const StoredSession& session) {
    auto pending = pendingRevocations();
    pending.push_back({session.cas, session.refreshToken, secondsSince1970(platform::now())});
    storePendingRevocations(std::move(pending));
    config_.log(CorvaneLogLevel::info, "sign_out_revoke_pending");
}

void CorvaneAccountManager::startRevokingPendingSessions() {
    auto self = shared_from_this();
    asio::co_spawn(platform::libraryExecutor(), revokePendingSessions(),
                   [self](std::exception_ptr error) {
                       if (error)
                           self->config_.log(CorvaneLogLevel::warning, "pending_revocation_failed");
                   });
}

asio::awaitable<void> CorvaneAccountManager::revokePendingSessions() {
    auto self = shared_from_this();
    {
        std::lock_guard guard(lock_);
        if (revokingPending_)
            co_return;
        revokingPending_ = true;
    }
    struct Done {
        CorvaneAccountManager* manager;
        ~Done() {
            std::lock_guard guard(manager->lock_);
            manager->revokingPending_ = false;
        }
    } done{this};

    std::vector<PendingRevocation> pending = pendingRevocations();
    if (pending.empty())
        co_return;
    std::vector<PendingRevocation> kept;
    for (auto& entry : pending) {
        std::exception_ptr error;
        try {
            auto revoke = authClient_->revokeSession(entry.cas);
            co_await std::move(revoke);
            continue;
        } catch (...) {
            error = std::current_exception();
        }
        CorvaneError failure = asCorvaneError(error);
        if (isPassingFailure(failure)) {
            kept.push_back(std::move(entry));
            continue;
        }
        // The session token has lapsed: its refresh token gives one to revoke with. A refresh
        // token the service refuses ends nothing more.
        if (failure.kind() != CorvaneError::Kind::sessionExpired || !entry.refreshToken)
            continue;
        std::optional<CasResponse> renewed;
        try {
            auto refresh = authClient_->refresh(*entry.refreshToken);
            renewed = co_await std::move(refresh);
        } catch (...) {
            if (isPassingFailure(asCorvaneError(std::current_exception())))
                kept.push_back(std::move(entry));
            continue;
        }
        PendingRevocation next{renewed->cas, renewed->refreshToken, entry.keptAt};
        try {
            auto revoke = authClient_->revokeSession(next.cas);
            co_await std::move(revoke);
        } catch (...) {
            if (isPassingFailure(asCorvaneError(std::current_exception())))
                kept.push_back(std::move(next));
        }
    }
    // Entries kept meanwhile by another sign-out stay too.
    auto now = pendingRevocations();
    for (auto& p : now) {
        bool handled = false;
        for (const auto& old : pending)
            handled = handled || old.cas == p.cas;
        if (!handled)
            kept.push_back(std::move(p));
    }
    storePendingRevocations(std::move(kept));
}

asio::awaitable<CorvaneAccountManager::RefreshOutcome>
CorvaneAccountManager::publishIfStillStored(std::string spent,
                                            std::optional<std::string> renewedCas,
                                            CorvaneAccount account, RefreshOutcome::Kind kind) {
    auto self = shared_from_this();
    auto outcome = std::make_shared<RefreshOutcome>(RefreshOutcome{kind, account});
    // Decided on the main thread, where a sign-in publishes its own state after storing its
    // session: a replacement stored before this look wins, one stored after it publishes later.
    auto op = onMain([self, spent, renewedCas, outcome] {
        bool current = false;
        {
            std::lock_guard guard(*self->sessionLock_);
            const std::optional<StoredSession> stored = self->storedSession();
            current = stored && ((stored->refreshToken && *stored->refreshToken == spent) ||
                                 (renewedCas && stored->cas == *renewedCas));
            if (!current)
                *outcome = RefreshOutcome{RefreshOutcome::Kind::superseded,
                                          stored ? std::optional(stored->account) : std::nullopt};
        }
        if (current)
            self->setState(State::signedIn(*outcome->account));
    });
    co_await std::move(op);
    co_return *outcome;
}

asio::awaitable<CorvaneAccountManager::RefreshOutcome>
CorvaneAccountManager::refreshStoredSession(std::string refreshToken) {
    auto self = shared_from_this();
    std::optional<CasResponse> renewed;
    std::exception_ptr error;
    try {
        auto op = authClient_->refreshSerialized(refreshToken);
        renewed = co_await std::move(op);
    } catch (...) {
        error = std::current_exception();
    }
    if (renewed) {
        // The rotation hook stored the new session over the spent one. Should that write have
        // failed, the spent session is still stored and is replaced here; a session stored by
        // someone else meanwhile is left alone.
        {
            std::lock_guard guard(*sessionLock_);
            const std::optional<StoredSession> stored = storedSession();
            if (stored && stored->refreshToken && *stored->refreshToken == refreshToken) {
                StoredSession session{renewed->cas,       renewed->refreshToken,
                                      renewed->expiresAt, accountOf(*renewed),
                                      renewed->appSlug,   platform::now()};
                try {
                    storage_->setJSON(session, sessionKey);
                } catch (const CorvaneJSON::EncodingError&) {
                }
            }
        }
        // The service is reachable again whoever holds the stored session now.
        auto online = setOfflineOnMain(false, true);
        co_await std::move(online);
        auto publish = publishIfStillStored(refreshToken, renewed->cas, accountOf(*renewed),
                                            RefreshOutcome::Kind::renewed);
        co_return co_await std::move(publish);
    }
    if (isDefinitiveAuthFailure(asCorvaneError(error))) {
        // Only the session whose token the service refused is deleted.
        std::lock_guard guard(*sessionLock_);
        const std::optional<StoredSession> stored = storedSession();
        if (stored && stored->refreshToken && *stored->refreshToken == refreshToken) {
            deleteStoredSession();
            co_return RefreshOutcome{RefreshOutcome::Kind::definitiveFailure, std::nullopt};
        }
        co_return RefreshOutcome{RefreshOutcome::Kind::superseded,
                                 stored ? std::optional(stored->account) : std::nullopt};
    }
    // Offline or a server failure: the stored session stays.
    auto offline = setOfflineOnMain(true, true);
    co_await std::move(offline);
    co_return RefreshOutcome{RefreshOutcome::Kind::transientFailure, std::nullopt};
}

asio::awaitable<std::optional<CorvaneAccount>> CorvaneAccountManager::restore(bool forceRefresh) {
    auto self = shared_from_this();
    // What an earlier sign-out could not revoke is revoked beside the restore.
    startRevokingPendingSessions();
    SessionRead read = readStoredSession();
    {
        std::lock_guard guard(lock_);
        sessionUnread_ = read.unreadableStatus.has_value();
    }
    if (read.unreadableStatus)
        config_.log(CorvaneLogLevel::warning, "session_restore_keychain_unreadable",
                    {{"status", std::to_string(*read.unreadableStatus)}});
    std::optional<StoredSession> stored = std::move(read.session);
    if (!stored)
        co_return std::nullopt;

    if (stored->isExpired()) {
        if (!stored->refreshToken) {
            deleteStoredSession();
            co_return std::nullopt;
        }
        if (forceRefresh) {
            auto op = refreshStoredSession(*stored->refreshToken);
            RefreshOutcome outcome = co_await std::move(op);
            if (outcome.kind == RefreshOutcome::Kind::renewed ||
                outcome.kind == RefreshOutcome::Kind::superseded)
                co_return outcome.account;
            if (outcome.kind == RefreshOutcome::Kind::definitiveFailure)
                co_return std::nullopt;
            // A transient failure: the user stays signed in with the stored session, unless a
            // sign-in or sign-out replaced it while the refresh ran.
            auto publish = publishIfStillStored(*stored->refreshToken, std::nullopt,
                                                stored->account, outcome.kind);
            co_return (co_await std::move(publish)).account;
        }
    }
    auto signedIn = setStateOnMain(State::signedIn(stored->account));
    co_await std::move(signedIn);
    co_return stored->account;
}

asio::awaitable<bool> CorvaneAccountManager::recoverRejectedSession() {
    auto self = shared_from_this();
    std::optional<StoredSession> stored = storedSession();
    RefreshOutcome::Kind kind = RefreshOutcome::Kind::definitiveFailure;
    if (stored && stored->refreshToken) {
        auto op = refreshStoredSession(*stored->refreshToken);
        kind = (co_await std::move(op)).kind;
    } else {
        deleteStoredSession();
    }
    // A session that replaced the rejected one meanwhile keeps its state.
    if (kind == RefreshOutcome::Kind::definitiveFailure) {
        auto signedOut = setStateOnMain(State::signedOut());
        co_await std::move(signedOut);
    }
    co_return kind == RefreshOutcome::Kind::renewed;
}

// --- DPoP ---

std::optional<std::string> CorvaneAccountManager::dpopThumbprint() const {
    if (!dpopSigner_)
        return std::nullopt;
    return dpopSigner_->jktThumbprint();
}

std::optional<std::string>
CorvaneAccountManager::generateDPoPProof(const std::string& htu, const std::string& htm,
                                         const std::optional<std::string>& accessToken) const {
    if (!dpopSigner_)
        return std::nullopt;
    return dpopSigner_->generateProof(htu, htm, accessToken);
}

} // namespace corvane
