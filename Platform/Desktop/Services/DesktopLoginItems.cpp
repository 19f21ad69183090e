#include "Platform/Desktop/Services/DesktopLoginItems.h"
#include "Platform/Desktop/Services/Files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace desktop {

namespace {

platform::LoginItemError failure(const std::string& what, int err) {
    return {what + ": " + std::strerror(err)};
}

} // namespace

DesktopLoginItems::DesktopLoginItems(std::string autostartDirectory, std::string executable,
                                     std::string entryName)
    : directory_(std::move(autostartDirectory)), executable_(std::move(executable)),
      path_(directory_ + "/" + entryName + ".desktop") {}

std::string DesktopLoginItems::defaultDirectory() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/autostart";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.config/autostart";
    return "/tmp/quillet-autostart-" + std::to_string(::getuid());
}

std::string DesktopLoginItems::execValue(const std::string& executable) {
    // Inside double quotes, ", `, $ and \ are escaped with a backslash; % is doubled; and the
    // entry's own string escaping doubles every backslash once more.
    std::string quoted = "\"";
    for (char c : executable) {
        if (c == '"' || c == '`' || c == '$' || c == '\\')
            quoted += "\\\\";
        if (c == '%')
            quoted += '%';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

platform::LoginItemStatus DesktopLoginItems::status() {
    std::ifstream in(path_);
    if (!in)
        return platform::LoginItemStatus::notRegistered;
    std::string line;
    bool hidden = false, disabled = false, ours = false;
    const std::string exec = "Exec=" + execValue(executable_);
    while (std::getline(in, line)) {
        if (line == "Hidden=true")
            hidden = true;
        else if (line == "X-GNOME-Autostart-enabled=false")
            disabled = true;
        else if (line == exec)
            ours = true;
    }
    if (hidden || disabled)
        return platform::LoginItemStatus::notRegistered;
    // An entry that starts another copy of the program (moved, or a different build) is not
    // this application's login item.
    if (!ours)
        return platform::LoginItemStatus::notFound;
    return platform::LoginItemStatus::enabled;
}

std::optional<platform::LoginItemError> DesktopLoginItems::registerItem() {
    if (!makeDirectories(directory_))
        return failure("The login item could not be registered: cannot create " + directory_,
                       errno);
    std::ostringstream entry;
    entry << "[Desktop Entry]\n"
          << "Type=Application\n"
          << "Name=Quillet\n"
          << "Comment=Tidies the menu bar\n"
          << "Exec=" << execValue(executable_) << "\n"
          << "Terminal=false\n"
          << "X-GNOME-Autostart-enabled=true\n";
    const std::string text = entry.str();
    std::string temp = path_ + ".tmp-XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return failure("The login item could not be registered", errno);
    ::fchmod(fd, 0644);
    bool ok = ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
              ::fsync(fd) == 0;
    int err = errno;
    ok = ::close(fd) == 0 && ok;
    if (ok && ::rename(temp.c_str(), path_.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return failure("The login item could not be registered", err);
    }
    return std::nullopt;
}

std::optional<platform::LoginItemError> DesktopLoginItems::unregisterItem() {
    if (::unlink(path_.c_str()) != 0 && errno != ENOENT)
        return failure("The login item could not be removed", errno);
    return std::nullopt;
}

} // namespace desktop
