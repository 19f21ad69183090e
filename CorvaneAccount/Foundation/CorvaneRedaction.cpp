#include "CorvaneAccount/Foundation/CorvaneRedaction.h"

namespace corvane::CorvaneRedaction {

std::string endpoint(std::string_view path) {
    return std::string(path.substr(0, path.find_first_of("?#")));
}

Metadata decodeFailure(std::string_view path, const std::optional<std::string>& field) {
    Metadata m{{"endpoint", endpoint(path)}, {"class", "decode"}};
    if (field)
        m["field"] = *field;
    return m;
}

Metadata transportFailure(std::string_view path, const TransportErrorInfo& error) {
    Metadata m{{"endpoint", endpoint(path)},
               {"class", "transport"},
               {"error_domain", error.domain},
               {"error_code", std::to_string(error.code)}};
    if (error.urlErrorCode)
        m["url_error"] = std::to_string(*error.urlErrorCode);
    return m;
}

} // namespace corvane::CorvaneRedaction
