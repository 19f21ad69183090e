#include "Quillet/App/ActivationPolicyController.h"

#include "Platform/Application.h"
#include "Platform/Host.h"
#include "Platform/RunLoop.h"
#include "Platform/Window.h"

namespace quillet {

void ActivationPolicyController::promoteNow() {
    if (demoteWorkItem_) {
        demoteWorkItem_->invalidate();
        demoteWorkItem_.reset();
    }
    auto& app = platform::host().application();
    if (app.activationPolicy() != platform::ActivationPolicy::regular)
        app.setActivationPolicy(platform::ActivationPolicy::regular);
    app.activate(true);
}

void ActivationPolicyController::demoteWhenIdle(bool immediately) {
    if (demoteWorkItem_)
        demoteWorkItem_->invalidate();
    // The work item needs nothing of the controller: it looks at the windows when it runs.
    demoteWorkItem_ = platform::host().runLoop().scheduleTimer(immediately ? 0.0 : demoteDelay, [] {
        auto& app = platform::host().application();
        for (const auto& window : app.windows())
            if (window && window->isVisible() && !window->isPanel())
                return; // an ordinary window still needs the user: stay regular
        app.setActivationPolicy(platform::ActivationPolicy::accessory);
    });
}

} // namespace quillet
