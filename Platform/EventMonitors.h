// Local event monitors (events sent to this application; a handler may swallow the event) and
// global ones (events sent to other applications; observed only). Shared bookkeeping for both
// hosts, which feed it the events they see. Main thread only.
#pragma once

#include "Platform/Application.h"

#include <cstdint>
#include <functional>
#include <map>
#include <optional>

namespace platform {

inline constexpr std::uint16_t keyCodeEscape = 53;

class EventMonitors {
public:
    using Token = std::uint64_t;
    using LocalHandler = std::function<std::optional<Event>(const Event&)>;
    using GlobalHandler = std::function<void(const Event&)>;

    virtual ~EventMonitors() = default;

    // A token, or none when the monitor could not be installed.
    virtual std::optional<Token> addLocalMonitor(std::uint64_t mask, LocalHandler handler);
    virtual std::optional<Token> addGlobalMonitor(std::uint64_t mask, GlobalHandler handler);
    virtual void removeMonitor(Token token);

    // --- host side ---
    // Passes an event sent to this application through the local monitors, in the order they
    // were added; none when a monitor swallowed it.
    std::optional<Event> dispatchLocal(const Event& event);
    // Shows an event sent to another application to the global monitors.
    void dispatchGlobal(const Event& event);
    std::size_t count() const { return local_.size() + global_.size(); }

private:
    struct Local {
        std::uint64_t mask;
        LocalHandler handler;
    };
    struct Global {
        std::uint64_t mask;
        GlobalHandler handler;
    };
    std::map<Token, Local> local_;
    std::map<Token, Global> global_;
    Token next_ = 1;
};

} // namespace platform
