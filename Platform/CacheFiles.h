// Small files the application keeps between launches in its cache directory (what it may lose
// without harm, such as undelivered reports). Each file is read and written whole; a write
// replaces the file atomically, so that a reader — after a crash or a kill too — finds either
// the old contents or the new ones, never a mixture. Any thread.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace platform {

class CacheFiles {
public:
    virtual ~CacheFiles() = default;

    // The file's contents; none when it does not exist, cannot be read or is larger than
    // `maxBytes` (a file that large was not written by this program).
    virtual std::optional<std::string> read(const std::string& name, std::size_t maxBytes) = 0;
    // Replaces the file with `contents`. False when it could not be written (the old contents
    // then stay).
    virtual bool write(const std::string& name, std::string_view contents) = 0;
    // Removes the file; nothing when there is none.
    virtual void remove(const std::string& name) = 0;

    // A name is one plain component: not empty, no "/", not "." or "..", no NUL, at most 128
    // bytes. Others are refused by every operation.
    static bool isValidName(const std::string& name);
};

} // namespace platform
