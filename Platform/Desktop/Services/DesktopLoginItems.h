// The login item as an XDG autostart entry ($XDG_CONFIG_HOME/autostart/<bundle id>.desktop)
// that starts this executable when the user logs in. Its status is read back from the file
// every time. Main thread only.
#pragma once

#include "Platform/LoginItemService.h"

#include <string>

namespace desktop {

class DesktopLoginItems final : public platform::LoginItemService {
public:
    // `autostartDirectory`: where the entry goes; `executable`: the program it starts;
    // `entryName`: the entry's file name without ".desktop".
    DesktopLoginItems(std::string autostartDirectory, std::string executable,
                      std::string entryName = "quillet");

    platform::LoginItemStatus status() override;
    std::optional<platform::LoginItemError> registerItem() override;
    std::optional<platform::LoginItemError> unregisterItem() override;

    const std::string& entryPath() const { return path_; }
    // The Exec= value for `executable`, quoted and escaped as desktop entries require.
    static std::string execValue(const std::string& executable);
    // The autostart directory from the environment.
    static std::string defaultDirectory();

private:
    std::string directory_;
    std::string executable_;
    std::string path_;
};

} // namespace desktop
