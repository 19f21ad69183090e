// The upload format of error telemetry: a batch as compact JSON with its keys in wire order,
// and the random ids that name a batch and its events. Pure functions; any thread.
#pragma once

#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"

#include <string>
#include <vector>

namespace corvane::telemetry {

// The ErrorBatch body: schema_version, batch_id, daily_token, app_slug, platform, app_version,
// os_version, events. Entry i carries eventIds[i] (empty when there is none). Text that is not
// valid UTF-8 is written with U+FFFD in its place.
std::string encodeBatch(const ErrorFirehoseClient::ContextSnapshot& context,
                        const std::vector<CoalescedEntry>& entries, const std::string& batchId,
                        const std::vector<std::string>& eventIds);

// A random (version 4) UUID in lower case. Never throws for want of system randomness.
std::string randomUUID();

} // namespace corvane::telemetry
