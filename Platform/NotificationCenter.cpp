#include "Platform/NotificationCenter.h"

#include <vector>

namespace platform {

NotificationCenter::Token NotificationCenter::addObserver(std::string name,
                                                          std::function<void()> handler) {
    return addObserver(std::move(name), nullptr, std::move(handler));
}

NotificationCenter::Token NotificationCenter::addObserver(std::string name, const void* object,
                                                          std::function<void()> handler) {
    Token t = next_++;
    observers_.emplace(t, Observer{std::move(name), object, std::move(handler)});
    return t;
}

void NotificationCenter::removeObserver(Token token) {
    observers_.erase(token);
}

void NotificationCenter::post(const std::string& name, const void* object) {
    // Handlers may add or remove observers: collect first, then call those still registered.
    std::vector<Token> matching;
    for (auto& [token, obs] : observers_)
        if (obs.name == name && (!obs.object || obs.object == object))
            matching.push_back(token);
    for (Token t : matching) {
        auto it = observers_.find(t);
        if (it == observers_.end())
            continue;
        auto handler = it->second.handler;
        handler();
    }
}

std::size_t NotificationCenter::observerCount(const std::string& name) const {
    std::size_t n = 0;
    for (auto& [token, obs] : observers_)
        n += obs.name == name ? 1 : 0;
    return n;
}

} // namespace platform
