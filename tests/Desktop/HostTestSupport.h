// Options for a desktop host that keeps everything it writes in a test's own directory and
// does not look for another running instance.
#pragma once

#include "Platform/Desktop/DesktopHost.h"
#include "tests/Desktop/DesktopTestSupport.h"

#include <vector>

namespace desktop::test {

// With the default sample items.
inline DesktopHost::Options isolatedHostOptions(const TempDir& dir) {
    DesktopHost::Options o;
    o.configDirectory = dir.sub("config");
    o.singleInstance = false;
    o.bundleDirectory = dir.path();
    o.autostartDirectory = dir.sub("autostart");
    return o;
}

inline DesktopHost::Options isolatedHostOptions(const TempDir& dir,
                                                std::vector<SampleItem> sampleItems) {
    auto o = isolatedHostOptions(dir);
    o.sampleItems = std::move(sampleItems);
    return o;
}

} // namespace desktop::test
