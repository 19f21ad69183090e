// Global shortcuts on the simulated Mac: tests press them as the user would; keys another
// program holds are refused as taken, as is a key this process already watches for. Installs
// itself as the process's hotkeys while it lives. Main thread only.
#pragma once

#include "Platform/Hotkeys.h"

#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace platform::sim {

class SimHotkeys final : public Hotkeys {
public:
    SimHotkeys() { installHotkeys(this); }
    ~SimHotkeys() override {
        if (&hotkeys() == this)
            installHotkeys(nullptr);
    }
    SimHotkeys(const SimHotkeys&) = delete;
    SimHotkeys& operator=(const SimHotkeys&) = delete;

    Result registerHotkey(const std::string& sequence, std::function<void()> action,
                          Token& token) override;
    void unregisterHotkey(Token token) override;
    // A press of `sequence` (any text form) wherever the focus is: runs the action registered
    // for it; false when none is.
    bool press(const std::string& sequence);
    // The sequences watched for, canonical, in registration order.
    std::vector<std::string> registered() const;
    // Canonical sequences that another program holds.
    std::set<std::string> takenByOthers;

private:
    std::map<Token, std::pair<std::string, std::function<void()>>> hotkeys_;
    Token next_ = 1;
};

} // namespace platform::sim
