// The upload of one batch to the identity service, with retries after a back-off with jitter.
// Coroutines on the caller's executor; the tuning and environment must outlive them.
#pragma once

#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"

#include <boost/asio/awaitable.hpp>

#include <string>
#include <vector>

namespace corvane::telemetry {

// Sends `entries` under fresh batch and event ids, kept for every try. True: the batch is
// finished (delivered, refused for good, or not sendable); false: it should be queued again.
boost::asio::awaitable<bool> sendBatch(const ErrorFirehoseClient::Tuning& tuning,
                                       const ErrorFirehoseClient::Environment& env,
                                       std::vector<CoalescedEntry> entries,
                                       ErrorFirehoseClient::ContextSnapshot context,
                                       int retryCount);

// The same with the ids given. Tries after `retryCount` wait backoffSeconds[try] plus jitter.
boost::asio::awaitable<bool> sendBatchWithIds(const ErrorFirehoseClient::Tuning& tuning,
                                              const ErrorFirehoseClient::Environment& env,
                                              const std::vector<CoalescedEntry>& entries,
                                              const ErrorFirehoseClient::ContextSnapshot& context,
                                              int retryCount, const std::string& batchId,
                                              const std::vector<std::string>& eventIds);

} // namespace corvane::telemetry
