#include "Platform/Desktop/Services/DesktopLog.h"

#include <cstdio>
#include <cstdlib>
#include <syslog.h>
#include <systemd/sd-journal.h>
#include <unistd.h>

namespace desktop {

namespace {

int priorityOf(platform::LogLevel level) {
    switch (level) {
    case platform::LogLevel::debug:
        return LOG_DEBUG;
    case platform::LogLevel::info:
        return LOG_INFO;
    case platform::LogLevel::defaultLevel:
        return LOG_NOTICE;
    case platform::LogLevel::error:
        return LOG_ERR;
    case platform::LogLevel::fault:
        return LOG_CRIT;
    }
    return LOG_NOTICE;
}

const char* nameOf(platform::LogLevel level) {
    switch (level) {
    case platform::LogLevel::debug:
        return "debug";
    case platform::LogLevel::info:
        return "info";
    case platform::LogLevel::defaultLevel:
        return "default";
    case platform::LogLevel::error:
        return "error";
    case platform::LogLevel::fault:
        return "fault";
    }
    return "default";
}

void appendEscaped(std::string& out, const std::string& text) {
    for (unsigned char c : text) {
        if (c == '\n') {
            out += "\\n";
        } else if (c < 0x20 || c == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\x%02x", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
}

} // namespace

DesktopLog::DesktopLog() {
    const bool forceStderr = std::getenv("QUILLET_LOG_STDERR") != nullptr;
    const bool journal = ::access("/run/systemd/journal/socket", W_OK) == 0;
    destination_ = (journal && !forceStderr) ? Destination::journal : Destination::standardError;
    debugEnabled_ = std::getenv("QUILLET_LOG_DEBUG") != nullptr;
}

bool DesktopLog::isEnabled(platform::LogLevel level) const {
    return level != platform::LogLevel::debug || debugEnabled_;
}

std::string DesktopLog::formatLine(const platform::LogEntry& entry) {
    std::string line = "quillet[";
    line += std::to_string(::getpid());
    line += "] <";
    line += nameOf(entry.level);
    line += "> [";
    appendEscaped(line, entry.subsystem);
    line += ':';
    appendEscaped(line, entry.category);
    line += "] ";
    appendEscaped(line, entry.message);
    line += '\n';
    return line;
}

void DesktopLog::write(const platform::LogEntry& entry) {
    if (destination_ == Destination::journal) {
        // "%s" keeps the message from being read as a format.
        int r = sd_journal_send("MESSAGE=%s", entry.message.c_str(), "PRIORITY=%d",
                                priorityOf(entry.level), "SUBSYSTEM=%s", entry.subsystem.c_str(),
                                "CATEGORY=%s", entry.category.c_str(), "SYSLOG_IDENTIFIER=quillet",
                                nullptr);
        if (r >= 0)
            return;
    }
    std::string line = formatLine(entry);
    std::lock_guard lock(stderrMutex_);
    std::fwrite(line.data(), 1, line.size(), stderr);
    std::fflush(stderr);
}

} // namespace desktop
