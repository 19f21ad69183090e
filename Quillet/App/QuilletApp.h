// The application's entry: creates the delegate and the long-lived services, then runs the
// application on the installed host.
#pragma once

#include <memory>

namespace quillet {

class AppDelegate;

class QuilletApp {
public:
    QuilletApp();
    // Releases the long-lived services, so that nothing they hold (the account library's
    // executors, timers, the host's session) outlives the host that made it.
    ~QuilletApp();
    QuilletApp(const QuilletApp&) = delete;
    QuilletApp& operator=(const QuilletApp&) = delete;
    // Runs the application's main loop; returns the process status.
    int run();

    std::shared_ptr<AppDelegate> appDelegate;
};

} // namespace quillet
