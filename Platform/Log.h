// Unified logging: a subsystem, a category and a level per line. Implemented by Sim (records
// every line) and Desktop (journal or stderr); write() may be called from any thread.
#pragma once

#include <string>

namespace platform {

enum class LogLevel { debug, info, defaultLevel, error, fault };

struct LogEntry {
    std::string subsystem;
    std::string category;
    LogLevel level = LogLevel::defaultLevel;
    std::string message;
};

class LogSink {
public:
    virtual ~LogSink() = default;
    virtual bool isEnabled(LogLevel level) const = 0;
    virtual void write(const LogEntry& entry) = 0;
};

// A logger made with a subsystem and a category, like the platform's.
class Logger {
public:
    Logger(std::string subsystem, std::string category)
        : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

    void log(LogLevel level, const std::string& message) const;
    void info(const std::string& message) const { log(LogLevel::info, message); }
    void error(const std::string& message) const { log(LogLevel::error, message); }
    bool isEnabled(LogLevel level) const;

    const std::string& subsystem() const { return subsystem_; }
    const std::string& category() const { return category_; }

private:
    std::string subsystem_;
    std::string category_;
};

} // namespace platform
