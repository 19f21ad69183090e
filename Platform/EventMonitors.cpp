#include "Platform/EventMonitors.h"

#include <vector>

namespace platform {

std::optional<EventMonitors::Token> EventMonitors::addLocalMonitor(std::uint64_t mask,
                                                                   LocalHandler handler) {
    Token t = next_++;
    local_.emplace(t, Local{mask, std::move(handler)});
    return t;
}

std::optional<EventMonitors::Token> EventMonitors::addGlobalMonitor(std::uint64_t mask,
                                                                    GlobalHandler handler) {
    Token t = next_++;
    global_.emplace(t, Global{mask, std::move(handler)});
    return t;
}

void EventMonitors::removeMonitor(Token token) {
    local_.erase(token);
    global_.erase(token);
}

std::optional<Event> EventMonitors::dispatchLocal(const Event& event) {
    // Handlers may add or remove monitors: walk a snapshot of the tokens.
    std::vector<Token> tokens;
    for (auto& [t, m] : local_)
        if (m.mask & eventMask(event.type))
            tokens.push_back(t);
    std::optional<Event> current = event;
    for (Token t : tokens) {
        auto it = local_.find(t);
        if (it == local_.end())
            continue;
        auto handler = it->second.handler;
        current = handler(*current);
        if (!current)
            return std::nullopt;
    }
    return current;
}

void EventMonitors::dispatchGlobal(const Event& event) {
    std::vector<Token> tokens;
    for (auto& [t, m] : global_)
        if (m.mask & eventMask(event.type))
            tokens.push_back(t);
    for (Token t : tokens) {
        auto it = global_.find(t);
        if (it == global_.end())
            continue;
        auto handler = it->second.handler;
        handler(event);
    }
}

} // namespace platform
