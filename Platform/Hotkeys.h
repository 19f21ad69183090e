// Global keyboard shortcuts: a key sequence that reaches the application wherever the keyboard
// focus is. Implemented by both hosts (scripted presses in the simulated one; a key grab or the
// desktop portal on the desktop). Main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace platform {

// A key sequence in its portable text form: modifiers in the order Ctrl, Alt, Shift, Meta, then
// one key, joined by "+" ("Ctrl+Alt+H", "Meta+F5"). Modifier names are matched in any case and
// order ("alt+ctrl+h" is "Ctrl+Alt+H"); a single letter key is upper-cased. None for text that
// is not one key with at most these modifiers (an empty text, "Ctrl+", "Ctrl+A+B").
std::optional<std::string> canonicalKeySequence(const std::string& text);

class Hotkeys {
public:
    enum class Result {
        registered,  // the action runs on each press
        taken,       // another program holds the key
        invalid,     // not a key sequence this host can watch for
        unavailable, // this host has no global shortcuts
    };
    using Token = std::uint64_t;

    virtual ~Hotkeys() = default;
    // Watches for `sequence` (any text form canonicalKeySequence accepts) and calls `action` on
    // each press. `token` is set when the result is `registered`.
    virtual Result registerHotkey(const std::string& sequence, std::function<void()> action,
                                  Token& token) = 0;
    // Stops watching; an unknown token is ignored.
    virtual void unregisterHotkey(Token token) = 0;
};

// The facility of a host that has no global shortcuts: every registration is unavailable.
class NoHotkeys final : public Hotkeys {
public:
    Result registerHotkey(const std::string&, std::function<void()>, Token&) override {
        return Result::unavailable;
    }
    void unregisterHotkey(Token) override {}
};

// The process-wide facility, as the host is: the one installed, else one without shortcuts.
Hotkeys& hotkeys();
// Installs `h` (not owned); nullptr uninstalls. Main thread only.
void installHotkeys(Hotkeys* h);

} // namespace platform
