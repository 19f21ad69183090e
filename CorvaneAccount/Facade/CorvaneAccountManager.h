// The account library's facade: the one object a host application talks to. Wires storage, the
// DPoP signer, the HTTP client and the OAuth driver; runs sign-in and sign-out; keeps and
// publishes the sign-in state. The state and the handler table are guarded by one lock; every
// change of state, and every handler call, happens on the main thread, as do the published
// properties. Lives in a std::shared_ptr (its callbacks hold it weakly).
#pragma once

#include "CorvaneAccount/Auth/OAuthDriver.h"
#include "CorvaneAccount/Foundation/CorvaneConfig.h"
#include "CorvaneAccount/Foundation/CorvaneError.h"
#include "CorvaneAccount/Model/CorvaneAccount.h"
#include "CorvaneAccount/Model/StoredSession.h"
#include "CorvaneAccount/Transport/AuthModels.h"
#include "Platform/Published.h"

#include <boost/asio/awaitable.hpp>
#include <boost/signals2/signal.hpp>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace platform {
class Window;
}

namespace corvane {

class AuthClient;
class CancelSwitch;
class DPoPSigner;
class IdentityThrottle;
class KeychainStorage;

// The configuration with its installation id filled in: unchanged when it has one, otherwise
// the id kept in the Keychain under "com.corvane.account.<appSlug>" (made on first use).
CorvaneConfig withAutoInstallID(const CorvaneConfig& config);

class CorvaneAccountManager : public std::enable_shared_from_this<CorvaneAccountManager> {
public:
    // The sign-in state; equal by case and payload.
    struct State {
        struct SigningIn {
            bool pending = true;
            bool operator==(const SigningIn&) const = default;
        };
        struct SignedIn {
            CorvaneAccount account;
            bool operator==(const SignedIn&) const = default;
        };
        struct Failed {
            CorvaneError error;
            bool operator==(const Failed&) const = default;
        };
        struct SignedOut {
            bool operator==(const SignedOut&) const = default;
        };

        std::variant<SigningIn, SignedIn, Failed, SignedOut> value = SignedOut{};

        static State signingIn(bool pending) { return {SigningIn{pending}}; }
        static State signedIn(CorvaneAccount account) { return {SignedIn{std::move(account)}}; }
        static State failed(CorvaneError error) { return {Failed{std::move(error)}}; }
        static State signedOut() { return {SignedOut{}}; }

        const CorvaneAccount* account() const {
            auto* s = std::get_if<SignedIn>(&value);
            return s ? &s->account : nullptr;
        }
        bool operator==(const State&) const = default;
    };

    using StateHandler = std::function<void(const State&)>;

    // Removes its handler when released or destroyed.
    class StateSubscription {
    public:
        explicit StateSubscription(std::function<void()> cancel) : cancel_(std::move(cancel)) {}
        ~StateSubscription() { release(); }
        StateSubscription(const StateSubscription&) = delete;
        StateSubscription& operator=(const StateSubscription&) = delete;
        void release();

    private:
        std::function<void()> cancel_;
    };

    // Throws CorvaneError for a configuration the library refuses (CorvaneConfig::validate()).
    static std::shared_ptr<CorvaneAccountManager> create(CorvaneConfig config);
    // The same, the identity client sending through `throttle` (for tools that load the service
    // harder than an application does).
    static std::shared_ptr<CorvaneAccountManager>
    create(CorvaneConfig config, std::shared_ptr<IdentityThrottle> throttle);
    ~CorvaneAccountManager();

    // --- state ---
    State state() const;
    // Registers `handler`; it is called on the main thread with every new state.
    std::unique_ptr<StateSubscription> onStateChange(StateHandler handler);
    // Fires on the main thread before each new state is stored.
    boost::signals2::signal<void(const State&)> stateWillChange;

    // Published on the main thread.
    platform::Published<std::optional<LibVersionPolicy>> libVersionPolicy;
    platform::Published<std::optional<CorvaneDeprecationNotice>> lastDeprecationNotice;
    platform::Published<bool> isOffline{false};
    platform::Published<std::optional<bool>> lastAppleSignInIsNewUser;

    // --- sign-in ---
    boost::asio::awaitable<CorvaneAccount> signIn(std::shared_ptr<platform::Window> from,
                                                  std::optional<OAuthDriver::ProviderHint> provider,
                                                  std::optional<std::string> installID);
    boost::asio::awaitable<CorvaneAccount>
    signInViaSystemBrowser(std::optional<OAuthDriver::ProviderHint> provider,
                           std::optional<std::string> installID);
    boost::asio::awaitable<CorvaneAccount> signInWithApple(std::shared_ptr<platform::Window> from,
                                                           std::optional<std::string> installID);
    // Stores the session of an exchange answer and moves the state to signed in.
    boost::asio::awaitable<CorvaneAccount> complete(CasResponse exchange);
    // Main thread: hands a redirect URL to the pending OAuth flow; false when none is pending.
    bool resume(const std::string& url);
    // Main thread: cancels every OAuth sign-in in progress, whatever its phase (discovery, the
    // browser, the code exchange): each ends with authorizationCancelled and nothing of it
    // happens afterwards. False when none was in progress.
    bool cancelSignIn();
    // Main thread: brings the application, and a window of it, to the front after the browser.
    static void activateForAuthReturn(std::shared_ptr<platform::Window> bringing = {});

    // --- the session ---
    boost::asio::awaitable<void> signOut();
    // The stored account at launch; an expired session is refreshed when `forceRefresh` is set
    // (otherwise it is kept for the first request to refresh). A keyring that cannot be read
    // gives none, as nothing stored does, but sets storedSessionUnread(): the host may restore
    // again (at its next foreground refresh, or when the keyring was unlocked).
    boost::asio::awaitable<std::optional<CorvaneAccount>> restore(bool forceRefresh);
    // Whether the last restore could not read the keyring (a locked keyring, an unreachable
    // service): a session may be stored that nobody has read yet. A sign-in meanwhile revokes
    // that session before it writes its own, and fails rather than overwrite one it still
    // cannot read.
    bool storedSessionUnread() const;
    // Revokes the sessions that a sign-out could not revoke (offline, a server failure): at most
    // the newest `maxPendingRevocations`, none older than `pendingRevocationDays`. Runs by
    // itself at restore and whenever the library comes back online; a session the service
    // still cannot be reached for stays pending.
    boost::asio::awaitable<void> revokePendingSessions();
    static constexpr std::size_t maxPendingRevocations = 5;
    static constexpr int pendingRevocationDays = 60;

    // After the service rejected the session: true when a refresh renewed it.
    boost::asio::awaitable<bool> recoverRejectedSession();

    // --- DPoP ---
    std::optional<std::string> dpopThumbprint() const;
    std::optional<std::string>
    generateDPoPProof(const std::string& htu, const std::string& htm,
                      const std::optional<std::string>& accessToken) const;

    // Whether `error` means the stored session can never be used again.
    static bool isDefinitiveAuthFailure(const CorvaneError& error);
    // A CorvaneError unchanged; anything else (a cancellation included) as networkUnavailable.
    static CorvaneError asCorvaneError(std::exception_ptr error);

    const CorvaneConfig& config() const { return config_; }
    const std::shared_ptr<AuthClient>& authClient() const { return authClient_; }
    const std::shared_ptr<OAuthDriver>& oauthDriver() const { return oauthDriver_; }

private:
    explicit CorvaneAccountManager(CorvaneConfig config,
                                   std::shared_ptr<IdentityThrottle> throttle = {});
    void wire();
    // Main thread: stores the state, notifies observers, then calls a snapshot of the handlers.
    void setState(State state);
    boost::asio::awaitable<void> setStateOnMain(State state);
    boost::asio::awaitable<void> setOfflineOnMain(bool offline, bool onlyWhenChanged);
    // Refreshes the stored session: a renewal is stored and signed in; a definitive failure
    // deletes the session; a transient one keeps it and marks the library offline. All of this
    // only while the stored session is still the one whose refresh token was spent: when a
    // sign-in or sign-out replaced it meanwhile, the refresh is `superseded` and leaves storage
    // and state to whoever replaced it (`account` is then the account stored now, if any).
    struct RefreshOutcome {
        enum class Kind { renewed, definitiveFailure, transientFailure, superseded };
        Kind kind;
        std::optional<CorvaneAccount> account;
    };
    boost::asio::awaitable<RefreshOutcome> refreshStoredSession(std::string refreshToken);
    boost::asio::awaitable<CorvaneAccount>
    finishSignIn(boost::asio::awaitable<OAuthAuthorizationResult> authorization,
                 std::optional<std::string> installID);
    void handleDeprecationNotices(const std::vector<CorvaneDeprecationNotice>& notices);
    std::optional<StoredSession> storedSession() const;
    void deleteStoredSession() const;
    // The stored session, absent, or the Keychain status that kept it from being read.
    struct SessionRead {
        std::optional<StoredSession> session;
        std::optional<std::int32_t> unreadableStatus;
    };
    SessionRead readStoredSession() const;
    // A session whose revoke failed for a passing reason, kept in the Keychain.
    struct PendingRevocation {
        std::string cas;
        std::optional<std::string> refreshToken;
        std::int64_t keptAt = 0; // seconds since 1970
    };
    std::vector<PendingRevocation> pendingRevocations() const;
    void storePendingRevocations(std::vector<PendingRevocation> pending) const;
    void keepForRevocation(const StoredSession& session);
    // Starts revokePendingSessions() as a task of its own; its failures are logged.
    void startRevokingPendingSessions();
    // Before a sign-in writes its session over one that restore could not read: that one is
    // revoked, or the sign-in fails (and its own new session is revoked) while it stays unread.
    boost::asio::awaitable<void> settleUnreadSession(std::string newCas);
    // Main thread: publishes signedIn(account) when the stored session still descends from the
    // refresh token `spent` (it holds it, or its rotation `renewedCas`); otherwise nothing, and
    // the outcome is superseded.
    boost::asio::awaitable<RefreshOutcome>
    publishIfStillStored(std::string spent, std::optional<std::string> renewedCas,
                         CorvaneAccount account, RefreshOutcome::Kind kind);

    CorvaneConfig config_;
    std::shared_ptr<KeychainStorage> storage_;
    std::shared_ptr<const DPoPSigner> dpopSigner_;
    std::shared_ptr<AuthClient> authClient_;
    std::shared_ptr<OAuthDriver> oauthDriver_;

    // Held across every read-compare-write of the stored session, on whichever thread; shared
    // with the client's rotation hook. Never held while calling out.
    std::shared_ptr<std::mutex> sessionLock_ = std::make_shared<std::mutex>();

    mutable std::mutex lock_;
    State state_;
    std::map<std::uint64_t, StateHandler> handlers_;
    std::uint64_t nextHandlerID_ = 1;
    // The OAuth sign-ins in progress (cancelSignIn() ends them), and which of them the
    // published state belongs to: a sign-in replaced or refused meanwhile leaves the state to
    // that one. Guarded by lock_.
    std::vector<std::weak_ptr<CancelSwitch>> signIns_;
    std::uint64_t stateOwner_ = 0;
    bool sessionUnread_ = false;
    // revokePendingSessions() is running; guarded by lock_.
    bool revokingPending_ = false;
    // Holds the isOffline observer.
    boost::signals2::scoped_connection onlineAgain_;
    std::uint64_t nextSignInID_ = 1;
};

} // namespace corvane
