#include "Platform/Desktop/Services/Files.h"

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

namespace desktop {

namespace {

bool writeAll(int fd, std::string_view data) {
    const char* p = data.data();
    std::size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

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

int writeFileAtomically(const std::string& directory, const std::string& name,
                        std::string_view contents) {
    std::string temp = directory + "/" + name + ".tmp-XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        return errno;
    ::fchmod(fd, 0600);
    int err = 0;
    if (!writeAll(fd, contents) || ::fsync(fd) != 0)
        err = errno;
    if (::close(fd) != 0 && err == 0)
        err = errno;
    if (err == 0 && ::rename(temp.c_str(), (directory + "/" + name).c_str()) != 0)
        err = errno;
    if (err != 0) {
        ::unlink(temp.c_str());
        return err;
    }
    // The rename itself is durable only once the directory is synced.
    int dirFd = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return 0;
}

int readFileBounded(const std::string& path, std::size_t maxBytes, std::string& text) {
    text.clear();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int err = 0;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            err = errno;
            break;
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > maxBytes) {
            err = EFBIG;
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (err != 0)
        text.clear();
    return err;
}

void removeStaleTemporaries(const std::string& directory, const std::string& name) {
    std::unique_ptr<DIR, int (*)(DIR*)> dir(::opendir(directory.c_str()), ::closedir);
    if (!dir)
        return;
    const std::string prefix = name + ".tmp-";
    while (dirent* entry = ::readdir(dir.get())) {
        std::string_view file(entry->d_name);
        if (file.size() == prefix.size() + 6 && file.substr(0, prefix.size()) == prefix)
            ::unlinkat(::dirfd(dir.get()), entry->d_name, 0);
    }
}

} // namespace desktop
