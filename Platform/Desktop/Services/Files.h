// Small file-system helpers of the desktop host. Any thread.
#pragma once

#include <string>

namespace desktop {

// Creates `dir` and its missing parents with user-only permissions; true when it is a directory.
bool makeDirectories(const std::string& dir);

} // namespace desktop
