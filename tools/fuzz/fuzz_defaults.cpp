// Fuzzes the reading of the desktop defaults file: any text either is refused with
// std::invalid_argument or reads as values that are written back as a file reading the same
// values, whose text is then stable; nothing is nested deeper than the reader allows.
#include "Platform/Desktop/Services/DesktopUserDefaults.h"

#include <cstddef>
#include <cstdint>
#include <map>
#include <stdexcept>
#include <string>

namespace {

using Values = std::map<std::string, platform::Value>;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

int depth(const platform::Value& v) {
    int deepest = 0;
    if (const auto* a = v.asArray())
        for (const auto& e : *a)
            deepest = std::max(deepest, 1 + depth(e));
    if (const auto* d = v.asDictionary())
        for (const auto& [k, e] : *d)
            deepest = std::max(deepest, 1 + depth(e));
    return deepest;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    Values values;
    try {
        values = desktop::parseDefaultsFile(text);
    } catch (const std::invalid_argument&) {
        return 0;
    }
    for (const auto& [key, value] : values)
        check(depth(value) <= 64);

    const std::string written = desktop::defaultsFileText(values);
    check(!written.empty() && written.back() == '\n');
    Values reread;
    try {
        reread = desktop::parseDefaultsFile(written);
    } catch (const std::invalid_argument&) {
        __builtin_trap(); // what was written must read back
    }
    check(reread == values);
    check(desktop::defaultsFileText(reread) == written);
    return 0;
}
