// The main bundle and process of the desktop host: the bundle path is the executable's
// directory; the info dictionary comes from Info.json beside the executable, over the
// version and build number compiled in. Filled in once at start.
#pragma once

#include "Platform/Bundle.h"

#include <functional>
#include <string>

namespace desktop {

inline constexpr const char* bundleIdentifier = "com.corvane.quillet";

// The info dictionary compiled into the program: name, version and build number.
platform::Value builtInInfoDictionary();
// Reads `directory`/Info.json over the built-in dictionary. A missing file keeps the built-in
// values; an unreadable one is reported through `report` and keeps them too.
platform::Bundle loadMainBundle(const std::string& directory,
                                const std::function<void(const std::string&)>& report = {});
platform::ProcessInfo currentProcessInfo();

} // namespace desktop
