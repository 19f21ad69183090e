#include "Platform/Desktop/Updates/UpdateDownload.h"

#include "Platform/Desktop/Services/Files.h"
#include "Platform/Desktop/Updates/EdSignature.h"
#include "Platform/HttpRedirect.h"
#include "Platform/HttpSession.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace desktop {

namespace {

constexpr std::size_t maxFileNameLength = 200;

// "256 MB" for whole megabytes, "1500 bytes" otherwise.
std::string sizeText(std::size_t bytes) {
    if (bytes >= (std::size_t{1} << 20) && bytes % (std::size_t{1} << 20) == 0)
        return std::to_string(bytes >> 20) + " MB";
    return std::to_string(bytes) + " bytes";
}

bool isNameCharacter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '_' || c == '-' || c == '+';
}

bool isPlainName(std::string_view name) {
    return !name.empty() && name.size() <= maxFileNameLength && name.front() != '.' &&
           std::all_of(name.begin(), name.end(), isNameCharacter);
}

// The last path segment of an absolute address, without query or fragment.
std::string_view lastSegment(std::string_view url) {
    url = url.substr(0, url.find_first_of("?#"));
    const auto scheme = url.find("://");
    if (scheme == std::string_view::npos)
        return {};
    url.remove_prefix(scheme + 3);
    const auto path = url.find('/');
    if (path == std::string_view::npos)
        return {};
    return url.substr(url.rfind('/') + 1);
}

void writeAll(int fd, std::span<const std::uint8_t> bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw std::runtime_error(std::strerror(errno));
        }
        bytes = bytes.subspan(static_cast<std::size_t>(n));
    }
}

// The length the feed declares; none when it gives none (a feed's 0 means it does not know).
std::optional<std::uint64_t> declaredLength(const AppcastItem& item) {
    if (item.length && *item.length > 0)
        return item.length;
    return std::nullopt;
}

} // namespace

std::size_t updateDownloadLimit(const AppcastItem& item, std::size_t cap) {
    const auto length = declaredLength(item);
    if (length && *length <= cap)
        return static_cast<std::size_t>(*length);
    return cap;
}

std::string overLimitProblem(const AppcastItem& item, std::size_t cap) {
    const auto length = declaredLength(item);
    if (length && *length <= cap)
        return "The download is longer than the " + std::to_string(*length) +
               " bytes the feed says.";
    return "The update is larger than " + sizeText(cap) + ".";
}

std::string refusalBeforeDownload(const AppcastItem& item, std::string_view publicKeyBase64,
                                  std::size_t cap) {
    // The signature is checked for form now and against the file once it is here: an item
    // that can never verify is not fetched.
    const auto form = verifyEdSignature({}, item.edSignature, publicKeyBase64);
    if (form != EdSignatureCheck::verified && form != EdSignatureCheck::mismatch)
        return std::string(edSignatureProblem(form));
    if (const auto length = declaredLength(item); length && *length > cap)
        return "The update is larger than " + sizeText(cap) + ".";
    return {};
}

std::string refusalOfDownload(const AppcastItem& item, const platform::HttpResponse& response,
                              std::span<const std::uint8_t> body,
                              std::string_view publicKeyBase64) {
    // The session checks every hop; this holds whatever session produced the answer.
    if (!response.url.empty() && !platform::isSecureOrLoopbackURL(response.url))
        return "The update download was redirected to an address that does not use HTTPS.";
    const int status = response.statusCode;
    if (status < 200 || status > 299)
        return "The download server answered with HTTP status " + std::to_string(status) + ".";
    if (const auto length = declaredLength(item); length && *length != body.size())
        return "The download is " + std::to_string(body.size()) +
               " bytes long, but the feed says " + std::to_string(*length) + " bytes.";
    return std::string(
        edSignatureProblem(verifyEdSignature(body, item.edSignature, publicKeyBase64)));
}

std::string updateFileName(const AppcastItem& item, std::string_view appName) {
    if (const auto name = lastSegment(item.url); isPlainName(name) && name != "..")
        return std::string(name);
    std::string version = item.versions.shortVersionString.empty()
                              ? item.versions.version
                              : item.versions.shortVersionString;
    std::string name = std::string(appName) + "-" + version;
    std::replace_if(
        name.begin(), name.end(), [](char c) { return !isNameCharacter(c); }, '_');
    if (!isPlainName(name + ".update"))
        name = "update";
    return name + ".update";
}

std::string defaultUpdateDirectory() {
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg == '/')
        return std::string(xdg) + "/quillet/Updates";
    if (const char* home = std::getenv("HOME"); home && *home == '/')
        return std::string(home) + "/.cache/quillet/Updates";
    return {};
}

std::string saveUpdateFile(const std::string& directory, const std::string& name,
                           std::span<const std::uint8_t> bytes) {
    if (directory.empty())
        throw std::runtime_error("There is no cache directory to keep it in.");
    if (!isPlainName(name))
        throw std::runtime_error("Its file name is not usable.");
    if (!makeDirectories(directory))
        throw std::runtime_error("Cannot create " + directory + ": " + std::strerror(errno));

    const std::string path = directory + "/" + name;
    std::string temp = directory + "/.download-XXXXXX";
    const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0)
        throw std::runtime_error("Cannot create a file in " + directory + ": " +
                                 std::strerror(errno));
    bool open = true;
    try {
        ::fchmod(fd, 0644);
        writeAll(fd, bytes);
        if (::fsync(fd) != 0)
            throw std::runtime_error(std::strerror(errno));
        // The descriptor is gone after close, whatever it returns.
        open = false;
        if (::close(fd) != 0)
            throw std::runtime_error(std::strerror(errno));
    } catch (const std::runtime_error& e) {
        if (open)
            ::close(fd);
        ::unlink(temp.c_str());
        throw std::runtime_error("Cannot write " + path + ": " + e.what());
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        throw std::runtime_error("Cannot write " + path + ": " + std::strerror(error));
    }
    // The rename itself is durable only once the directory is synced.
    if (const int dir = ::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC); dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return path;
}

std::size_t removeOtherUpdateFiles(const std::string& directory, const std::string& keep) {
    DIR* dir = directory.empty() ? nullptr : ::opendir(directory.c_str());
    if (!dir)
        return 0;
    // Only names this program writes there: downloads (plain names) and temporary files a
    // stopped write left behind; nothing else, and never a folder.
    std::vector<std::string> old;
    while (const dirent* e = ::readdir(dir)) {
        const std::string_view name = e->d_name;
        if (name == keep || name == "." || name == "..")
            continue;
        if (isPlainName(name) || name.starts_with(".download-"))
            old.emplace_back(name);
    }
    ::closedir(dir);
    std::size_t removed = 0;
    for (const auto& name : old) {
        const std::string path = directory + "/" + name;
        struct stat st {};
        if (::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::unlink(path.c_str()) == 0)
            ++removed;
    }
    return removed;
}

} // namespace desktop
