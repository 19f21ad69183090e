#include "CorvaneAccount/Foundation/CorvaneAccountLibrary.h"

namespace corvane::CorvaneAccountLibrary {

std::string versionLine(std::string_view host) {
    std::string line = "CorvaneAccount/";
    line += libVersion;
    line += " (";
    line += host;
    line += ")";
    return line;
}

} // namespace corvane::CorvaneAccountLibrary
