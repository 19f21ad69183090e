#include "Platform/Sim/SimCacheFiles.h"

namespace platform {

std::optional<std::string> SimCacheFiles::read(const std::string& name, std::size_t maxBytes) {
    std::lock_guard guard(mutex_);
    if (!isValidName(name))
        return std::nullopt;
    auto it = files_.find(name);
    if (it == files_.end() || it->second.size() > maxBytes)
        return std::nullopt;
    return it->second;
}

bool SimCacheFiles::write(const std::string& name, std::string_view contents) {
    std::lock_guard guard(mutex_);
    if (!isValidName(name) || failWrites_)
        return false;
    files_[name] = std::string(contents);
    ++writes_;
    return true;
}

void SimCacheFiles::remove(const std::string& name) {
    std::lock_guard guard(mutex_);
    files_.erase(name);
}

void SimCacheFiles::setFailWrites(bool fail) {
    std::lock_guard guard(mutex_);
    failWrites_ = fail;
}

void SimCacheFiles::put(const std::string& name, std::string contents) {
    std::lock_guard guard(mutex_);
    files_[name] = std::move(contents);
}

std::optional<std::string> SimCacheFiles::contents(const std::string& name) const {
    std::lock_guard guard(mutex_);
    auto it = files_.find(name);
    if (it == files_.end())
        return std::nullopt;
    return it->second;
}

int SimCacheFiles::writeCount() const {
    std::lock_guard guard(mutex_);
    return writes_;
}

} // namespace platform
