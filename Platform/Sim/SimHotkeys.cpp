#include "Platform/Sim/SimHotkeys.h"

namespace platform::sim {

Hotkeys::Result SimHotkeys::registerHotkey(const std::string& sequence,
                                           std::function<void()> action, Token& token) {
    auto canonical = canonicalKeySequence(sequence);
    if (!canonical || !action)
        return Result::invalid;
    if (takenByOthers.count(*canonical))
        return Result::taken;
    for (const auto& [_, hotkey] : hotkeys_)
        if (hotkey.first == *canonical)
            return Result::taken;
    token = next_++;
    hotkeys_.emplace(token, std::make_pair(*canonical, std::move(action)));
    return Result::registered;
}

void SimHotkeys::unregisterHotkey(Token token) {
    hotkeys_.erase(token);
}

bool SimHotkeys::press(const std::string& sequence) {
    auto canonical = canonicalKeySequence(sequence);
    if (!canonical)
        return false;
    for (const auto& [_, hotkey] : hotkeys_)
        if (hotkey.first == *canonical) {
            // The action may change the registrations: run a copy.
            auto action = hotkey.second;
            action();
            return true;
        }
    return false;
}

std::vector<std::string> SimHotkeys::registered() const {
    std::vector<std::string> out;
    for (const auto& [_, hotkey] : hotkeys_)
        out.push_back(hotkey.first);
    return out;
}

} // namespace platform::sim
