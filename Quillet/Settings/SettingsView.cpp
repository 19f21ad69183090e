#include "Quillet/Settings/SettingsView.h"

#include "Platform/Application.h"
#include "Platform/Bundle.h"
#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/UserDefaults.h"
#include "Quillet/Account/AccountModel.h"
#include "Quillet/Account/CorvaneAccountBridge.h"
#include "Quillet/Account/MainTask.h"
#include "Quillet/App/AppDelegate.h"
#include "Quillet/MenuBar/MenuBarManager.h"
#include "Quillet/Updates/UpdaterService.h"

namespace quillet {

using platform::host;

std::shared_ptr<SettingsView> SettingsView::create(std::weak_ptr<MenuBarManager> manager,
                                                   std::shared_ptr<AccountModel> account,
                                                   std::shared_ptr<UpdaterService> updater) {
    std::shared_ptr<SettingsView> view(new SettingsView());
    view->manager_ = std::move(manager);
    view->account_ = std::move(account);
    view->updater_ = std::move(updater);
    view->observe();
    return view;
}

SettingsView::~SettingsView() = default;

void SettingsView::observe() {
    std::weak_ptr<SettingsView> weak = weak_from_this();
    auto rerender = [weak](const auto&) {
        if (auto self = weak.lock())
            self->scheduleChanged();
    };
    if (auto m = manager_.lock()) {
        connections_.emplace_back(m->launchAtLogin().willChange.connect(rerender));
        connections_.emplace_back(m->autoRehideSeconds().willChange.connect(rerender));
        connections_.emplace_back(m->hoverPreviewEnabled().willChange.connect(rerender));
        connections_.emplace_back(m->alwaysHiddenEnabled().willChange.connect(rerender));
        connections_.emplace_back(m->toggleHotkey().willChange.connect(rerender));
        connections_.emplace_back(m->alwaysHiddenHotkey().willChange.connect(rerender));
    }
    if (account_) {
        connections_.emplace_back(account_->account.willChange.connect(rerender));
        connections_.emplace_back(account_->isSignedIn.willChange.connect(rerender));
        connections_.emplace_back(account_->sessionEmail.willChange.connect(rerender));
    }
    if (updater_)
        connections_.emplace_back(updater_->canCheckForUpdates().willChange.connect(rerender));
}

void SettingsView::scheduleChanged() {
    if (changePending_)
        return;
    changePending_ = true;
    std::weak_ptr<SettingsView> weak = weak_from_this();
    host().runLoop().post([weak] {
        if (auto self = weak.lock()) {
            self->changePending_ = false;
            self->changed();
        }
    });
}

std::string SettingsView::versionString() {
    auto read = [](const char* key) -> std::string {
        if (const auto* v = host().mainBundle().objectForInfoDictionaryKey(key))
            if (const auto* s = v->asString())
                return *s;
        return "0";
    };
    return "v" + read("CFBundleShortVersionString") + " (" + read("CFBundleVersion") + ")";
}

std::string SettingsView::hintText() {
    return host().vocabulary().dragModifier +
           "-drag menu bar icons to the LEFT of the dot, then click the chevron to tuck them away.";
}

std::vector<SettingsView::AutoRehideChoice> SettingsView::autoRehideChoices() {
    std::vector<AutoRehideChoice> choices;
    for (int seconds : MenuBarManager::autoRehideChoices)
        choices.push_back({seconds, seconds == 0
                                        ? std::string("Off")
                                        : "After " + std::to_string(seconds) + " seconds"});
    return choices;
}

bool SettingsView::launchAtLogin() const {
    auto m = manager_.lock();
    return m && m->launchAtLogin().get();
}

std::int64_t SettingsView::autoRehideSeconds() const {
    auto m = manager_.lock();
    return m ? m->autoRehideSeconds().get() : 0;
}

bool SettingsView::hoverPreviewEnabled() const {
    auto m = manager_.lock();
    return m && m->hoverPreviewEnabled().get();
}

std::optional<std::string> SettingsView::signedInEmail() const {
    // What the account model last read of the session: drawing never reads the Keychain.
    return account_ ? account_->sessionEmail.get() : std::nullopt;
}

std::string SettingsView::accountText() const {
    if (auto email = signedInEmail())
        return signedInPrefix + *email;
    return notSignedInText;
}

std::string SettingsView::accountButtonTitle() const {
    return signedInEmail() ? signOutTitle : signInTitle;
}

bool SettingsView::canCheckForUpdates() const {
    return updater_ && updater_->canCheckForUpdates().get();
}

bool SettingsView::betaUpdates() const {
    return host().userDefaults().boolForKey(UpdaterService::betaEnabledKey);
}

void SettingsView::setLaunchAtLogin(bool on) {
    if (auto m = manager_.lock())
        m->setLaunchAtLogin(on);
}

void SettingsView::selectAutoRehide(std::int64_t seconds) {
    if (auto m = manager_.lock())
        m->setAutoRehide(seconds);
}

void SettingsView::setHoverPreviewEnabled(bool on) {
    if (auto m = manager_.lock())
        m->setHoverPreviewEnabled(on);
}

void SettingsView::tapAccountButton() {
    // A revoke may take up to its timeout: one sign-out at a time.
    if (signingOut_)
        return;
    if (!signedInEmail()) {
        if (auto delegate = AppDelegate::shared.lock())
            delegate->showSignInWindow();
        return;
    }
    if (!account_)
        return;
    signingOut_ = true;
    scheduleChanged();
    startMainTask(signOutTask(weak_from_this(), account_), "sign_out");
}

boost::asio::awaitable<void> SettingsView::signOutTask(std::weak_ptr<SettingsView> weak,
                                                       std::shared_ptr<AccountModel> account) {
    // The account model drops the library's errors: this always ends.
    auto op = account->signOut();
    co_await std::move(op);
    if (auto self = weak.lock()) {
        self->signingOut_ = false;
        self->scheduleChanged();
    }
    // Offer the next sign-in straight away.
    if (auto delegate = AppDelegate::shared.lock())
        delegate->showSignInWindow();
}

void SettingsView::checkForUpdates() {
    if (canCheckForUpdates())
        updater_->checkForUpdates();
}

void SettingsView::setBetaUpdates(bool on) {
    host().userDefaults().set(UpdaterService::betaEnabledKey, on);
    scheduleChanged();
}

bool SettingsView::alwaysHiddenEnabled() const {
    auto m = manager_.lock();
    return m && m->alwaysHiddenEnabled().get();
}

std::string SettingsView::toggleHotkey() const {
    auto m = manager_.lock();
    return m ? m->toggleHotkey().get() : std::string();
}

std::string SettingsView::alwaysHiddenHotkey() const {
    auto m = manager_.lock();
    return m ? m->alwaysHiddenHotkey().get() : std::string();
}

void SettingsView::setAlwaysHiddenEnabled(bool on) {
    if (auto m = manager_.lock())
        m->setAlwaysHiddenEnabled(on);
}

namespace {

std::string hotkeyMessage(MenuBarManager::HotkeyChange change) {
    switch (change) {
    case MenuBarManager::HotkeyChange::stored:
    case MenuBarManager::HotkeyChange::cleared:
        return {};
    case MenuBarManager::HotkeyChange::taken:
        return SettingsView::hotkeyTakenText;
    case MenuBarManager::HotkeyChange::invalid:
        return SettingsView::hotkeyInvalidText;
    case MenuBarManager::HotkeyChange::unavailable:
        return SettingsView::hotkeyUnavailableText;
    }
    return {};
}

} // namespace

void SettingsView::recordToggleHotkey(const std::string& sequence) {
    auto m = manager_.lock();
    if (!m)
        return;
    toggleHotkeyMessage_ = hotkeyMessage(m->setToggleHotkey(sequence));
    scheduleChanged();
}

void SettingsView::recordAlwaysHiddenHotkey(const std::string& sequence) {
    auto m = manager_.lock();
    if (!m)
        return;
    alwaysHiddenHotkeyMessage_ = hotkeyMessage(m->setAlwaysHiddenHotkey(sequence));
    scheduleChanged();
}

void SettingsView::quit() {
    host().application().terminate();
}

} // namespace quillet
