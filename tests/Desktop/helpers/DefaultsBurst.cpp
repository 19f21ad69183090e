// Writes "burst" = 0, 1, 2, ... into the defaults in the given directory until killed, and
// prints each value on stdout once its write has returned.
#include "Platform/Desktop/Services/DesktopUserDefaults.h"

#include <cstdint>
#include <cstdio>
#include <string>

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: desktop_defaults_burst DIRECTORY\n", stderr);
        return 2;
    }
    desktop::DesktopUserDefaults defaults(
        argv[1], [](const std::string& m) { std::fprintf(stderr, "%s\n", m.c_str()); });
    for (std::int64_t i = 0;; ++i) {
        // A value of some size, so a torn write would show.
        defaults.set("burst", i);
        defaults.set("padding", std::string(512, static_cast<char>('a' + i % 26)));
        std::printf("%lld\n", static_cast<long long>(i));
        std::fflush(stdout);
    }
}
