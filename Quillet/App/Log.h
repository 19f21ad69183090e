// The application's logging wrapper: one platform logger per category, every message passed
// as one public string. warning() and error() both log at error level.
#pragma once

#include "Platform/Log.h"

#include <string>

namespace quillet {

struct Log {
    explicit Log(std::string category);

    void info(const std::string& message) const;
    void warning(const std::string& message) const;
    void error(const std::string& message) const;

    platform::Logger logger;
};

} // namespace quillet
