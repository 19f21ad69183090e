// The desktop's cache files: plain files in one directory ($XDG_CACHE_HOME/quillet, else
// ~/.cache/quillet), user-only, each replaced atomically. Any thread.
#pragma once

#include "Platform/CacheFiles.h"

#include <functional>
#include <mutex>
#include <set>
#include <string>

namespace desktop {

class DesktopCacheFiles : public platform::CacheFiles {
public:
    // `report` hears of files that could not be read or written (never their contents).
    explicit DesktopCacheFiles(std::string directory,
                               std::function<void(const std::string&)> report = nullptr);

    // The user's cache directory for Quillet from the environment.
    static std::string directoryFromEnvironment();

    std::optional<std::string> read(const std::string& name, std::size_t maxBytes) override;
    bool write(const std::string& name, std::string_view contents) override;
    void remove(const std::string& name) override;

    const std::string& directory() const { return directory_; }

private:
    void note(const std::string& message) const;

    const std::string directory_;
    const std::function<void(const std::string&)> report_;
    // Writes of one file are not interleaved: the last one to finish is the last one asked.
    std::mutex writeMutex_;
    std::set<std::string> cleaned_;
};

} // namespace desktop
