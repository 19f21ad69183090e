// The log: the systemd journal with SUBSYSTEM and CATEGORY fields, or stderr when no journal
// is reachable. write() may be called from any thread.
#pragma once

#include "Platform/Log.h"

#include <mutex>

namespace desktop {

class DesktopLog final : public platform::LogSink {
public:
    enum class Destination { journal, standardError };

    // Picks the journal when its socket exists, unless QUILLET_LOG_STDERR is set.
    DesktopLog();
    explicit DesktopLog(Destination destination) : destination_(destination) {}

    bool isEnabled(platform::LogLevel level) const override;
    void write(const platform::LogEntry& entry) override;
    Destination destination() const { return destination_; }

    // The line written to stderr for `entry`: level, subsystem, category and message, with
    // control characters escaped so one entry stays one line.
    static std::string formatLine(const platform::LogEntry& entry);

private:
    Destination destination_;
    bool debugEnabled_ = false;
    std::mutex stderrMutex_;
};

} // namespace desktop
