// Running applications and the workspace (file viewer). Implemented by Sim and Desktop; main
// thread only.
#pragma once

#include "Platform/Symbols.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace platform {

class RunningApplication {
public:
    virtual ~RunningApplication() = default;
    virtual std::int32_t processIdentifier() const = 0;
    virtual std::optional<std::string> bundleIdentifier() const = 0;
    virtual std::optional<std::string> localizedName() const = 0;
    // The application's icon; none when it has none.
    virtual std::optional<Image> icon() const { return std::nullopt; }
    // Brings the application to the front; true when the request was made.
    virtual bool activate() = 0;
};

class Workspace {
public:
    virtual ~Workspace() = default;
    virtual std::vector<std::shared_ptr<RunningApplication>>
    runningApplications(const std::string& bundleIdentifier) const = 0;
    // The same object that runningApplications lists for this process.
    virtual std::shared_ptr<RunningApplication> currentApplication() const = 0;
    virtual std::shared_ptr<RunningApplication> runningApplication(std::int32_t pid) const = 0;
    // Opens a file viewer with these files selected.
    virtual void activateFileViewerSelecting(const std::vector<std::string>& paths) = 0;
};

} // namespace platform
