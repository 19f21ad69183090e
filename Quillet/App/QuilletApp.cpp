#include "Quillet/App/QuilletApp.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Quillet/Account/AccountModel.h"
#include "Quillet/Account/CorvaneAccountBridge.h"
#include "Quillet/App/AppDelegate.h"
#include "Quillet/Updates/UpdaterService.h"

namespace quillet {

QuilletApp::QuilletApp() {
    // The delegate first, then the long-lived services it hands out: the account bridge (which
    // configures the account library), the account model over it, and the updater.
    appDelegate = AppDelegate::create();
    AppDelegate::sharedBridge = CorvaneAccountBridge::create();
    AppDelegate::sharedAccount = AccountModel::create(AppDelegate::sharedBridge);
    // Starts the updater at once when updating is configured.
    AppDelegate::sharedUpdater = UpdaterService::create();
}

QuilletApp::~QuilletApp() {
    AppDelegate::sharedUpdater.reset();
    AppDelegate::sharedAccount.reset();
    AppDelegate::sharedBridge.reset();
    appDelegate.reset();
}

int QuilletApp::run() {
    // The application shows no window of its own at launch: its windows open from the menu bar.
    platform::host().application().run(appDelegate);
    return 0;
}

} // namespace quillet
