#include "Platform/CacheFiles.h"

namespace platform {

bool CacheFiles::isValidName(const std::string& name) {
    if (name.empty() || name.size() > 128 || name == "." || name == "..")
        return false;
    return name.find('/') == std::string::npos && name.find('\0') == std::string::npos;
}

} // namespace platform
