#include "Quillet/App/QuilletApp.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Quillet/App/AppDelegate.h"
#include "Quillet/Updates/UpdaterService.h"

namespace quillet {

QuilletApp::QuilletApp() {
    // The delegate first, then the long-lived services it hands out. The account bridge and
    // model join here once the account library has them; each reader of a shared reference
    // does nothing while it is absent.
    appDelegate = AppDelegate::create();
    AppDelegate::sharedBridge.reset();
    AppDelegate::sharedAccount.reset();
    // Starts the updater at once when updating is configured.
    AppDelegate::sharedUpdater = UpdaterService::create();
}

int QuilletApp::run() {
    // The application shows no window of its own at launch: its windows open from the menu bar.
    platform::host().application().run(appDelegate);
    return 0;
}

} // namespace quillet
