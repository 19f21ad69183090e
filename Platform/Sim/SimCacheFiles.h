// The simulated Mac's cache directory: files in memory that outlive a relaunch, with scripted
// failures.
#pragma once

#include "Platform/CacheFiles.h"

#include <map>
#include <mutex>
#include <string>

namespace platform {

class SimCacheFiles : public CacheFiles {
public:
    std::optional<std::string> read(const std::string& name, std::size_t maxBytes) override;
    bool write(const std::string& name, std::string_view contents) override;
    void remove(const std::string& name) override;

    // --- for tests ---
    // While set, writes fail and leave the old contents.
    void setFailWrites(bool fail);
    // Puts a file there as another program (or a damaged disk) would.
    void put(const std::string& name, std::string contents);
    std::optional<std::string> contents(const std::string& name) const;
    int writeCount() const;

private:
    mutable std::mutex mutex_;
    std::map<std::string, std::string> files_;
    bool failWrites_ = false;
    int writes_ = 0;
};

} // namespace platform
