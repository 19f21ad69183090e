// Fuzzes the single-instance channel's request line: any line either is refused or reads as a
// request within the stated bounds that the client writes back as one line reading the same;
// and any request the client builds from URLs it accepts is one line the server reads back
// unchanged.
#include "Platform/Desktop/Instance/InstanceChannel.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace {

using namespace desktop;
using Command = InstanceRequest::Command;

void check(bool condition) {
    if (!condition)
        __builtin_trap();
}

// What the server receives for `request`: one line that it reads back as the same request.
void checkOnTheWire(const InstanceRequest& request) {
    const std::string line = encodeInstanceRequest(request);
    check(line.size() <= maxInstanceMessage);
    check(!line.empty() && line.find('\n') == line.size() - 1);
    const auto back = parseInstanceRequest(std::string_view(line).substr(0, line.size() - 1));
    check(back.has_value() && *back == request);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);

    // The input as a request line.
    if (const auto request = parseInstanceRequest(input)) {
        const auto command = static_cast<int>(request->command);
        check(command >= static_cast<int>(Command::ping) &&
              command <= static_cast<int>(Command::toggle));
        if (request->command == Command::open) {
            check(!request->urls.empty() && request->urls.size() <= maxInstanceURLs);
            for (const auto& url : request->urls)
                check(isAcceptableURL(url));
        } else {
            check(request->urls.empty());
        }
        checkOnTheWire(*request);
    }

    // The input as command-line arguments, one per line: what the client accepts as URLs it
    // must be able to pass on.
    std::vector<std::string> urls;
    for (std::size_t start = 0; start <= input.size();) {
        const std::size_t end = std::min(input.find('\n', start), input.size());
        std::string argument = input.substr(start, end - start);
        if (isAcceptableURL(argument))
            urls.push_back(std::move(argument));
        start = end + 1;
    }
    if (!urls.empty() && urls.size() <= maxInstanceURLs)
        checkOnTheWire({Command::open, urls});
    return 0;
}
