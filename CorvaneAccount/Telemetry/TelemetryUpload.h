// The upload of one batch to the identity service, with retries after a back-off with jitter.
// Coroutines on the caller's executor; the tuning and environment must outlive them.
#pragma once

#include "CorvaneAccount/Telemetry/ErrorFirehoseClient.h"

#include <boost/asio/awaitable.hpp>

#include <string>
#include <vector>

namespace corvane::telemetry {

// The consent switches as the environment answers them (see ErrorFirehoseClient::Environment):
// whether errors may be recorded, and whether recorded ones may be sent now. Without a host both
// are off.
bool recordingAllowed(const ErrorFirehoseClient::Environment& env);
bool uploadAllowed(const ErrorFirehoseClient::Environment& env);

// The longest wait a 429 answer's Retry-After is honoured with, in seconds (as the identity
// throttle caps it).
inline constexpr double maxRetryAfterSeconds = 300;

// Sends `entries` under fresh batch and event ids, kept for every try. True: the batch is
// finished (delivered, refused for good, or not sendable); false: it should be queued again.
boost::asio::awaitable<bool> sendBatch(const ErrorFirehoseClient::Tuning& tuning,
                                       const ErrorFirehoseClient::Environment& env,
                                       std::vector<CoalescedEntry> entries,
                                       ErrorFirehoseClient::ContextSnapshot context,
                                       int retryCount);

// The same with the ids given (taken by value: the coroutine outlives its caller's temporaries).
// Tries after `retryCount` wait backoffSeconds[try] plus jitter, or what a 429 answer's Retry-After
// asks (at most maxRetryAfterSeconds). Consent is asked before every try: withdrawn, the batch is
// finished unsent; not yet given for sending, it is handed back. Entries that break the event
// model's invariants are left out; the others are sent.
boost::asio::awaitable<bool> sendBatchWithIds(const ErrorFirehoseClient::Tuning& tuning,
                                              const ErrorFirehoseClient::Environment& env,
                                              std::vector<CoalescedEntry> entries,
                                              ErrorFirehoseClient::ContextSnapshot context,
                                              int retryCount, std::string batchId,
                                              std::vector<std::string> eventIds);

} // namespace corvane::telemetry
