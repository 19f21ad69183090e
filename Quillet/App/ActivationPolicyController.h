// Switches the application between the regular and the accessory activation policy: regular at
// once when a window needs the user, back to accessory after a short grace delay once no
// ordinary window is visible, so that closing one window and opening another does not flicker.
#pragma once

#include <memory>

namespace platform {
class Timer;
}

namespace quillet {

class ActivationPolicyController {
public:
    static constexpr double demoteDelay = 0.2;

    // Regular and frontmost now; a pending return to accessory is cancelled.
    void promoteNow();
    // Returns to accessory on the main queue (now, or after the grace delay) unless an ordinary
    // window (not a panel) is visible then. Only the most recent request can demote.
    void demoteWhenIdle(bool immediately);

private:
    std::shared_ptr<platform::Timer> demoteWorkItem_;
};

} // namespace quillet
