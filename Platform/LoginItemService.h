// The main application's login item in the system's service-management facility: register,
// unregister, and its status, always read back from the system. Implemented by Sim and Desktop
// (an XDG autostart entry); main thread only.
#pragma once

#include <optional>
#include <string>

namespace platform {

enum class LoginItemStatus { notRegistered = 0, enabled = 1, requiresApproval = 2, notFound = 3 };

struct LoginItemError {
    std::string localizedDescription;
};

class LoginItemService {
public:
    virtual ~LoginItemService() = default;
    virtual LoginItemStatus status() = 0;
    // None on success.
    virtual std::optional<LoginItemError> registerItem() = 0;
    virtual std::optional<LoginItemError> unregisterItem() = 0;
};

} // namespace platform
