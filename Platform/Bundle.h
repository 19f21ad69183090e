// The main bundle (identifier, path, info dictionary) and the process (environment, pid).
// Plain state filled in by each host at start; read on any thread after that.
#pragma once

#include "Platform/Value.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace platform {

struct Bundle {
    std::optional<std::string> bundleIdentifier;
    std::string bundlePath;
    Value infoDictionary = Dictionary{};

    const Value* objectForInfoDictionaryKey(const std::string& key) const {
        return infoDictionary.find(key);
    }
};

// The running operating system's version, as major, minor and patch numbers.
struct OperatingSystemVersion {
    int majorVersion = 0;
    int minorVersion = 0;
    int patchVersion = 0;
};

struct ProcessInfo {
    std::map<std::string, std::string> environment;
    std::int32_t processIdentifier = 0;
    OperatingSystemVersion operatingSystemVersion;
};

} // namespace platform
