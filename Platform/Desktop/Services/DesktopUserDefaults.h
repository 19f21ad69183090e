// The user defaults in a JSON file (`defaults.json` in the given directory), rewritten
// atomically the moment a value changes: temporary file, fsync, rename, fsync of the directory.
// A file that does not parse is moved aside and the defaults start empty. Any thread: one lock
// covers the values and the write that follows a change, so files land in the order of changes.
#pragma once

#include "Platform/UserDefaults.h"

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <string_view>

namespace desktop {

// The text of a defaults file: a JSON object whose members are the values (ValueJson's
// mapping). parseDefaultsFile throws std::invalid_argument saying what makes the text
// unreadable; defaultsFileText writes what parseDefaultsFile reads back as the same values.
std::map<std::string, platform::Value> parseDefaultsFile(std::string_view text);
std::string defaultsFileText(const std::map<std::string, platform::Value>& values);

class DesktopUserDefaults final : public platform::UserDefaults {
public:
    // `report` receives problems worth a log line (unreadable file, failed write).
    explicit DesktopUserDefaults(std::string directory,
                                 std::function<void(const std::string&)> report = {});

    std::optional<platform::Value> object(const std::string& key) const override;
    void set(const std::string& key, platform::Value value) override;
    void removeObject(const std::string& key) override;

    const std::string& filePath() const { return path_; }
    // Where an unreadable file was moved at load; empty when the file was fine or absent.
    const std::string& setAsidePath() const { return setAside_; }
    std::map<std::string, platform::Value> all() const;

    // Files larger than this are not read as defaults.
    static constexpr std::size_t maxFileSize = 16 * 1024 * 1024;

private:
    void load();
    bool save();
    void note(const std::string& message) const;

    std::string directory_;
    std::string path_;
    std::string setAside_;
    std::function<void(const std::string&)> report_;
    mutable std::mutex mutex_;
    std::map<std::string, platform::Value> values_;
};

} // namespace desktop
