#include "Quillet/App/QuilletApp.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Quillet/App/AppDelegate.h"

namespace quillet {

QuilletApp::QuilletApp() {
    // The delegate first; the account bridge, the account model and the updater join it here
    // as they are built. Each reader of a shared reference does nothing while it is absent.
    appDelegate = AppDelegate::create();
    AppDelegate::sharedBridge.reset();
    AppDelegate::sharedAccount.reset();
    AppDelegate::sharedUpdater.reset();
}

int QuilletApp::run() {
    // The application shows no window of its own at launch: its windows open from the menu bar.
    platform::host().application().run(appDelegate);
    return 0;
}

} // namespace quillet
