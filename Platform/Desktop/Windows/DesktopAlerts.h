// Modal alerts as QMessageBox: the style picks the icon, buttons in order answer 1000, 1001, ...
// Main thread only.
#pragma once

#include "Platform/Alert.h"

#include <functional>
#include <memory>

class QMessageBox;

namespace desktop {

class DesktopAlerts final : public platform::Alerts {
public:
    int runModal(const platform::AlertSpec& alert) override;

    // Builds the message box for `alert` (tests look at it without running it).
    static std::unique_ptr<QMessageBox> makeBox(const platform::AlertSpec& alert);
    // The answer for the button the user chose: its index among the alert's buttons.
    static int answerFor(const QMessageBox& box);

    // Called with the box just before it runs (tests answer it).
    std::function<void(QMessageBox&)> onShow;
};

} // namespace desktop
