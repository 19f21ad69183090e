#include "Platform/Desktop/Services/DesktopCacheFiles.h"

#include "Platform/Desktop/Services/Files.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

namespace desktop {

DesktopCacheFiles::DesktopCacheFiles(std::string directory,
                                     std::function<void(const std::string&)> report)
    : directory_(std::move(directory)), report_(std::move(report)) {}

std::string DesktopCacheFiles::directoryFromEnvironment() {
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/quillet";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.cache/quillet";
    return "/tmp/quillet-cache-" + std::to_string(::getuid());
}

void DesktopCacheFiles::note(const std::string& message) const {
    if (report_)
        report_(message);
}

std::optional<std::string> DesktopCacheFiles::read(const std::string& name, std::size_t maxBytes) {
    if (!isValidName(name))
        return std::nullopt;
    std::string text;
    const int err = readFileBounded(directory_ + "/" + name, maxBytes, text);
    if (err == 0)
        return text;
    if (err != ENOENT)
        note("cache files: cannot read " + name + ": " + std::strerror(err));
    return std::nullopt;
}

bool DesktopCacheFiles::write(const std::string& name, std::string_view contents) {
    if (!isValidName(name))
        return false;
    std::lock_guard guard(writeMutex_);
    if (!makeDirectories(directory_)) {
        note("cache files: cannot create " + directory_ + ": " + std::strerror(errno));
        return false;
    }
    // Temporaries of a write whose process died are removed once, before this process's first.
    if (cleaned_.insert(name).second)
        removeStaleTemporaries(directory_, name);
    if (int err = writeFileAtomically(directory_, name, contents); err != 0) {
        note("cache files: cannot write " + name + ": " + std::strerror(err));
        return false;
    }
    return true;
}

void DesktopCacheFiles::remove(const std::string& name) {
    if (!isValidName(name))
        return;
    std::lock_guard guard(writeMutex_);
    if (::unlink((directory_ + "/" + name).c_str()) != 0 && errno != ENOENT)
        note("cache files: cannot remove " + name + ": " + std::strerror(errno));
}

} // namespace desktop
