#include "Platform/Desktop/Services/DesktopBundle.h"

#include "Platform/Desktop/Services/ValueJson.h"

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sys/utsname.h>
#include <unistd.h>

extern char** environ;

#ifndef QUILLET_VERSION
#error "QUILLET_VERSION must be defined by the build"
#endif
#ifndef QUILLET_BUILD_NUMBER
#error "QUILLET_BUILD_NUMBER must be defined by the build"
#endif

namespace desktop {

platform::Value builtInInfoDictionary() {
    return platform::Dictionary{{"CFBundleIdentifier", bundleIdentifier},
                                {"CFBundleName", "Quillet"},
                                {"CFBundleShortVersionString", QUILLET_VERSION},
                                {"CFBundleVersion", QUILLET_BUILD_NUMBER}};
}

platform::Bundle loadMainBundle(const std::string& directory,
                                const std::function<void(const std::string&)>& report) {
    platform::Bundle bundle;
    bundle.bundleIdentifier = bundleIdentifier;
    bundle.bundlePath = directory;
    auto info = *builtInInfoDictionary().asDictionary();

    // Beside the executable in a build tree; under share/quillet/ in an installed one.
    std::string path = directory + "/Info.json";
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        path = directory + "/../share/quillet/Info.json";
        in.open(path, std::ios::binary);
    }
    if (in) {
        std::string text;
        char buf[4096];
        while (in.read(buf, sizeof buf) || in.gcount() > 0) {
            text.append(buf, static_cast<std::size_t>(in.gcount()));
            if (text.size() > 1024 * 1024)
                break;
        }
        auto json = nlohmann::json::parse(text, nullptr, /*allow_exceptions=*/false);
        if (text.size() > 1024 * 1024 || json.is_discarded() || !json.is_object()) {
            if (report)
                report("bundle: " + path + " is not a JSON object; using built-in values");
        } else {
            try {
                auto value = valueFromJson(json);
                for (auto& [k, v] : *value.asDictionary())
                    info[k] = v;
            } catch (const std::exception& e) {
                if (report)
                    report("bundle: " + path + ": " + e.what() + "; using built-in values");
            }
        }
    }
    bundle.infoDictionary = std::move(info);
    return bundle;
}

platform::ProcessInfo currentProcessInfo() {
    platform::ProcessInfo p;
    p.processIdentifier = static_cast<std::int32_t>(::getpid());
    // The kernel release ("6.1.0-18-amd64") stands for the system version: its leading numbers.
    if (struct utsname names{}; ::uname(&names) == 0) {
        int parts[3] = {0, 0, 0};
        std::sscanf(names.release, "%d.%d.%d", &parts[0], &parts[1], &parts[2]);
        p.operatingSystemVersion = {parts[0], parts[1], parts[2]};
    }
    for (char** e = environ; e && *e; ++e) {
        std::string entry(*e);
        auto eq = entry.find('=');
        if (eq == std::string::npos)
            continue;
        p.environment.emplace(entry.substr(0, eq), entry.substr(eq + 1));
    }
    return p;
}

} // namespace desktop
