// The default notification centre: observers by name, delivered on the main thread in the order
// they were added. Shared by both hosts; main thread only (hosts post from the main thread).
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

class NotificationCenter {
public:
    using Token = std::uint64_t;

    Token addObserver(std::string name, std::function<void()> handler);
    void removeObserver(Token token);
    void post(const std::string& name);
    // Drops every observer (a relaunch of the simulated process).
    void removeAll() { observers_.clear(); }
    std::size_t observerCount(const std::string& name) const;

private:
    struct Observer {
        std::string name;
        std::function<void()> handler;
    };
    std::map<Token, Observer> observers_;
    Token next_ = 1;
};

} // namespace platform
