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

std::string errnoText(int e) {
    return std::strerror(e);
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
    removeStaleTemporaries(directory_, fileName);

    std::string text;
    const int err = readFileBounded(path_, maxFileSize, text);
    if (err != 0 && err != EFBIG) {
        if (err != ENOENT)
            note("user defaults: cannot read " + path_ + ": " + errnoText(err));
        return;
    }
    const bool tooLarge = err == EFBIG;

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

    if (int err = writeFileAtomically(directory_, fileName, text); err != 0) {
        note("user defaults: cannot write " + path_ + ": " + errnoText(err));
        return false;
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
