// The default notification centre: observers by name (and optionally by sender), delivered on the
// main thread in the order they were added. Shared by both hosts; main thread only.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>

namespace platform {

inline constexpr const char* applicationDidChangeScreenParametersNotification =
    "NSApplicationDidChangeScreenParametersNotification";
inline constexpr const char* applicationWillBecomeActiveNotification =
    "NSApplicationWillBecomeActiveNotification";
inline constexpr const char* applicationDidBecomeActiveNotification =
    "NSApplicationDidBecomeActiveNotification";
inline constexpr const char* windowWillCloseNotification = "NSWindowWillCloseNotification";
// Posted by a host that can tell that the keychain was unlocked (the Keychain's unlock event);
// a host that cannot tell never posts it.
inline constexpr const char* keychainDidUnlockNotification = "SecKeychainDidUnlockNotification";

class NotificationCenter {
public:
    using Token = std::uint64_t;

    // Observes `name` from any sender.
    Token addObserver(std::string name, std::function<void()> handler);
    // Observes `name` posted by `object` only (a window's will-close, say).
    Token addObserver(std::string name, const void* object, std::function<void()> handler);
    void removeObserver(Token token);
    // Posts `name` with no sender: only observers of any sender get it.
    void post(const std::string& name) { post(name, nullptr); }
    // Posts `name` from `object`: observers of any sender and observers of `object` get it.
    void post(const std::string& name, const void* object);
    // Drops every observer (a relaunch of the simulated process).
    void removeAll() { observers_.clear(); }
    std::size_t observerCount(const std::string& name) const;

private:
    struct Observer {
        std::string name;
        const void* object = nullptr;
        std::function<void()> handler;
    };
    std::map<Token, Observer> observers_;
    Token next_ = 1;
};

} // namespace platform
