#include "Platform/Hotkeys.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <vector>

namespace platform {

namespace {

std::string lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

std::string trimmed(const std::string& s) {
    const auto begin = s.find_first_not_of(' ');
    if (begin == std::string::npos)
        return {};
    const auto end = s.find_last_not_of(' ');
    return s.substr(begin, end - begin + 1);
}

} // namespace

std::optional<std::string> canonicalKeySequence(const std::string& text) {
    // The order modifiers are written in, with the names each may be given.
    static const std::array<std::pair<const char*, std::array<const char*, 2>>, 4> modifiers{{
        {"Ctrl", {"ctrl", "control"}},
        {"Alt", {"alt", "option"}},
        {"Shift", {"shift", "shift"}},
        {"Meta", {"meta", "super"}},
    }};
    if (text.size() > 64)
        return std::nullopt;
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (true) {
        auto plus = text.find('+', start);
        // A "+" right after a separator (or at the start) is the plus key itself.
        if (plus == start && plus + 1 == text.size()) {
            parts.push_back("+");
            break;
        }
        if (plus == std::string::npos) {
            parts.push_back(trimmed(text.substr(start)));
            break;
        }
        parts.push_back(trimmed(text.substr(start, plus - start)));
        start = plus + 1;
    }
    if (parts.empty())
        return std::nullopt;
    std::array<bool, 4> held{};
    for (std::size_t i = 0; i + 1 < parts.size(); ++i) {
        const auto name = lower(parts[i]);
        bool known = false;
        for (std::size_t m = 0; m < modifiers.size(); ++m)
            if (name == modifiers[m].second[0] || name == modifiers[m].second[1]) {
                if (held[m])
                    return std::nullopt;
                held[m] = known = true;
            }
        if (!known)
            return std::nullopt;
    }
    std::string key = parts.back();
    if (key.empty())
        return std::nullopt;
    // A modifier alone is no key.
    for (const auto& m : modifiers)
        if (lower(key) == m.second[0] || lower(key) == m.second[1])
            return std::nullopt;
    for (unsigned char c : key)
        if (c < 0x20 || c == 0x7f)
            return std::nullopt;
    if (key.size() == 1)
        key = std::string(1, static_cast<char>(std::toupper(static_cast<unsigned char>(key[0]))));
    std::string out;
    for (std::size_t m = 0; m < modifiers.size(); ++m)
        if (held[m])
            out += std::string(modifiers[m].first) + "+";
    return out + key;
}

namespace {
Hotkeys* installed = nullptr;
}

Hotkeys& hotkeys() {
    static NoHotkeys none;
    return installed ? *installed : none;
}

void installHotkeys(Hotkeys* h) {
    installed = h;
}

} // namespace platform
