#include "Platform/Desktop/Services/DesktopUserDefaults.h"
#include "Platform/Desktop/Services/Files.h"

#include "Platform/Desktop/Services/ValueJson.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <sys/stat.h>
#include <unistd.h>

namespace desktop {

namespace {

constexpr const char* fileName = "defaults.json";
constexpr const char* tempPrefix = "defaults.json.tmp-";

std::string errnoText(int e) {
    return std::strerror(e);
}

bool writeAll(int fd, const std::string& data) {
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

std::map<std::string, platform::Value> parseDefaultsFile(std::string_view text) {
    auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
    if (json.is_discarded())
        throw std::invalid_argument("not valid JSON");
    if (!json.is_object())
        throw std::invalid_argument("not a JSON object");
    std::map<std::string, platform::Value> values;
    for (auto& [k, v] : json.items())
        values.emplace(k, valueFromJson(v));
    return values;
}

std::string defaultsFileText(const std::map<std::string, platform::Value>& values) {
    auto json = nlohmann::json::object();
    for (auto& [k, v] : values)
        json[k] = jsonFromValue(v);
    return json.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
}

DesktopUserDefaults::DesktopUserDefaults(std::string directory,
                                         std::function<void(const std::string&)> report)
    : directory_(std::move(directory)), path_(directory_ + "/" + fileName),
      report_(std::move(report)) {
    load();
}

void DesktopUserDefaults::note(const std::string& message) const {
    if (report_)
        report_(message);
}

void DesktopUserDefaults::load() {
    // Temporary files left by a process that died mid-write hold nothing the real file lacks.
    if (DIR* d = ::opendir(directory_.c_str())) {
        while (auto* entry = ::readdir(d))
            if (std::strncmp(entry->d_name, tempPrefix, std::strlen(tempPrefix)) == 0)
                ::unlinkat(::dirfd(d), entry->d_name, 0);
        ::closedir(d);
    }

    int fd = ::open(path_.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT)
            note("user defaults: cannot open " + path_ + ": " + errnoText(errno));
        return;
    }
    std::string text;
    bool tooLarge = false;
    bool readError = false;
    char buf[65536];
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            readError = true;
            break;
        }
        if (n == 0)
            break;
        if (text.size() + static_cast<std::size_t>(n) > maxFileSize) {
            tooLarge = true;
            break;
        }
        text.append(buf, static_cast<std::size_t>(n));
    }
    ::close(fd);
    if (readError) {
        note("user defaults: cannot read " + path_ + ": " + errnoText(errno));
        return;
    }

    std::string problem;
    if (tooLarge) {
        problem = "larger than " + std::to_string(maxFileSize) + " bytes";
    } else {
        try {
            values_ = parseDefaultsFile(text);
            return;
        } catch (const std::exception& e) {
            problem = e.what();
        }
    }

    // Keep the unreadable file for the user to look at, and start from empty defaults.
    auto stamp = std::chrono::duration_cast<std::chrono::seconds>(
                     std::chrono::system_clock::now().time_since_epoch())
                     .count();
    std::string aside = path_ + ".unreadable-" + std::to_string(stamp);
    if (::rename(path_.c_str(), aside.c_str()) == 0) {
        setAside_ = aside;
        note("user defaults: " + path_ + " is unreadable (" + problem + "); moved to " + aside +
             " and starting from empty defaults");
    } else {
        note("user defaults: " + path_ + " is unreadable (" + problem +
             ") and could not be moved aside: " + errnoText(errno) +
             "; starting from empty defaults");
    }
}

bool DesktopUserDefaults::save() {
    if (!makeDirectories(directory_)) {
        note("user defaults: cannot create " + directory_ + ": " + errnoText(errno));
        return false;
    }
    std::string text;
    try {
        text = defaultsFileText(values_);
    } catch (const std::exception& e) {
        note(std::string("user defaults: cannot encode: ") + e.what());
        return false;
    }

    std::string temp = directory_ + "/" + tempPrefix + "XXXXXX";
    int fd = ::mkostemp(temp.data(), O_CLOEXEC);
    if (fd < 0) {
        note("user defaults: cannot create a temporary file in " + directory_ + ": " +
             errnoText(errno));
        return false;
    }
    ::fchmod(fd, 0600);
    bool ok = writeAll(fd, text) && ::fsync(fd) == 0;
    int err = errno;
    ok = (::close(fd) == 0) && ok;
    if (ok && ::rename(temp.c_str(), path_.c_str()) != 0) {
        err = errno;
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        note("user defaults: cannot write " + path_ + ": " + errnoText(err));
        return false;
    }
    // The rename itself is durable only once the directory is synced.
    int dirFd = ::open(directory_.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dirFd >= 0) {
        ::fsync(dirFd);
        ::close(dirFd);
    }
    return true;
}

std::map<std::string, platform::Value> DesktopUserDefaults::all() const {
    std::lock_guard lock(mutex_);
    return values_;
}

std::optional<platform::Value> DesktopUserDefaults::object(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it == values_.end())
        return std::nullopt;
    return it->second;
}

void DesktopUserDefaults::set(const std::string& key, platform::Value value) {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    if (it != values_.end() && it->second == value)
        return; // nothing changed, nothing to write
    values_[key] = std::move(value);
    save();
}

void DesktopUserDefaults::removeObject(const std::string& key) {
    std::lock_guard lock(mutex_);
    if (values_.erase(key))
        save();
}

} // namespace desktop
