#include "Platform/Desktop/Services/Files.h"

#include <cerrno>
#include <sys/stat.h>

namespace desktop {

bool makeDirectories(const std::string& dir) {
    if (dir.empty())
        return false;
    struct stat st {};
    if (::stat(dir.c_str(), &st) == 0)
        return S_ISDIR(st.st_mode);
    auto slash = dir.find_last_of('/');
    if (slash != std::string::npos && slash > 0)
        makeDirectories(dir.substr(0, slash));
    return ::mkdir(dir.c_str(), 0700) == 0 || errno == EEXIST;
}

} // namespace desktop
