#include "CorvaneAccount/Storage/InMemoryStorage.h"

namespace corvane {

void InMemoryStorage::setData(const Data& data, const std::string& key) {
    std::lock_guard guard(lock_);
    store_[key] = data;
}

std::optional<Data> InMemoryStorage::getData(const std::string& key) {
    std::lock_guard guard(lock_);
    auto it = store_.find(key);
    if (it == store_.end())
        return std::nullopt;
    return it->second;
}

void InMemoryStorage::deleteData(const std::string& key) {
    std::lock_guard guard(lock_);
    store_.erase(key);
}

} // namespace corvane
