// Modal alerts. Implemented by Sim (scripted answers) and Desktop (QMessageBox); main thread.
#pragma once

#include <string>
#include <vector>

namespace platform {

enum class AlertStyle { warning = 0, informational = 1, critical = 2 };

// Answers of a modal alert: the first button, the second, and so on.
inline constexpr int alertFirstButtonReturn = 1000;
inline constexpr int alertSecondButtonReturn = 1001;
inline constexpr int alertThirdButtonReturn = 1002;

struct AlertSpec {
    AlertStyle style = AlertStyle::warning;
    std::string messageText;
    std::string informativeText;
    std::vector<std::string> buttons;
};

class Alerts {
public:
    virtual ~Alerts() = default;
    // Shows the alert and returns when the user has answered.
    virtual int runModal(const AlertSpec& alert) = 0;
};

} // namespace platform
