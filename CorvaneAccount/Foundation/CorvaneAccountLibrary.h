// The library's version and the user-agent line built from it.
#pragma once

#include <string>
#include <string_view>

namespace corvane::CorvaneAccountLibrary {

inline constexpr std::string_view libVersion = "0.9.5";

// "CorvaneAccount/0.9.5 (<host>)": the library constant, whatever the configuration says.
std::string versionLine(std::string_view host);

} // namespace corvane::CorvaneAccountLibrary
