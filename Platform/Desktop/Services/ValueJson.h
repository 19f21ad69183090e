// Conversions between platform::Value and JSON, for the defaults file and the info dictionary.
// Bytes are written as {"$data": "<base64>"}; every other type maps to its JSON kind.
#pragma once

#include "Platform/Value.h"

#include <nlohmann/json_fwd.hpp>

namespace desktop {

nlohmann::json jsonFromValue(const platform::Value& value);
// Throws std::invalid_argument on nesting deeper than 64 levels or malformed "$data".
platform::Value valueFromJson(const nlohmann::json& json);

} // namespace desktop
