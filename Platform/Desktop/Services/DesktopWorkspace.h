// Running applications and the file viewer. This process, a running quillet found through the
// instance channel, and the owners of the sample status items are the running applications.
// The file viewer is asked over D-Bus (org.freedesktop.FileManager1), falling back to opening
// the folder. Main thread only.
#pragma once

#include "Platform/Workspace.h"

#include <functional>
#include <memory>
#include <vector>

namespace desktop {

class DesktopRunningApplication final : public platform::RunningApplication {
public:
    DesktopRunningApplication(std::int32_t pid, std::optional<std::string> bundleID,
                              std::optional<std::string> name, std::function<bool()> activate)
        : pid_(pid), bundleID_(std::move(bundleID)), name_(std::move(name)),
          activate_(std::move(activate)) {}
    std::int32_t processIdentifier() const override { return pid_; }
    std::optional<std::string> bundleIdentifier() const override { return bundleID_; }
    std::optional<std::string> localizedName() const override { return name_; }
    std::optional<platform::Image> icon() const override { return icon_; }
    bool activate() override { return activate_ ? activate_() : false; }

    void setIcon(std::optional<platform::Image> icon) { icon_ = std::move(icon); }
    void setLocalizedName(std::optional<std::string> name) { name_ = std::move(name); }

private:
    std::int32_t pid_;
    std::optional<std::string> bundleID_;
    std::optional<std::string> name_;
    std::function<bool()> activate_;
    std::optional<platform::Image> icon_;
};

class DesktopWorkspace final : public platform::Workspace {
public:
    std::vector<std::shared_ptr<platform::RunningApplication>>
    runningApplications(const std::string& bundleIdentifier) const override;
    std::shared_ptr<platform::RunningApplication> currentApplication() const override {
        return current_;
    }
    std::shared_ptr<platform::RunningApplication>
    runningApplication(std::int32_t pid) const override;
    void activateFileViewerSelecting(const std::vector<std::string>& paths) override;

    // --- host side ---
    void setCurrent(std::shared_ptr<platform::RunningApplication> app);
    void add(std::shared_ptr<platform::RunningApplication> app);
    // The application has ended (a tray item's program).
    void remove(const std::shared_ptr<platform::RunningApplication>& app);

    // The folder opened when no file manager answers over D-Bus: the parent of the first path.
    static std::string fallbackFolder(const std::vector<std::string>& paths);

private:
    std::shared_ptr<platform::RunningApplication> current_;
    std::vector<std::shared_ptr<platform::RunningApplication>> apps_;
};

} // namespace desktop
