#include "CorvaneAccount/Model/CorvaneAccountID.h"

#include "CorvaneAccount/Foundation/CorvaneJSON.h"

#include <re2/re2.h>

namespace corvane {

bool CorvaneAccountID::isWellFormed() const {
    static const RE2 pattern(
        "^ca_[0-9a-f]{8}-[0-9a-f]{4}-7[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$");
    return RE2::FullMatch(raw, pattern);
}

void to_json(nlohmann::json& j, const CorvaneAccountID& id) {
    j = id.raw;
}

void from_json(const nlohmann::json& j, CorvaneAccountID& id) {
    id.raw = CorvaneJSON::stringValue(j, "CorvaneAccountID");
}

} // namespace corvane
