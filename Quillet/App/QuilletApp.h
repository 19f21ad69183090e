// The application's entry: creates the delegate and the long-lived services, then runs the
// application on the installed host.
#pragma once

#include <memory>

namespace quillet {

class AppDelegate;

class QuilletApp {
public:
    QuilletApp();
    // Runs the application's main loop; returns the process status.
    int run();

    std::shared_ptr<AppDelegate> appDelegate;
};

} // namespace quillet
