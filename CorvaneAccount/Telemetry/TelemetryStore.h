// The file that keeps undelivered error batches between launches: the queue and the batches being
// sent, oldest first, as one JSON document in the host's cache files. Bounded in size; written
// whole and atomically; a file that cannot be read is set aside as empty, never trusted in part.
#pragma once

#include "CorvaneAccount/Telemetry/CoalescedEntry.h"

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace corvane::telemetry {

inline constexpr const char* storeFileName = "corvane-error-telemetry.json";
// The largest store written or read.
inline constexpr std::size_t maxStoreBytes = 1024 * 1024;

using StoredBatches = std::vector<std::vector<CoalescedEntry>>;

// The document for `batches` (oldest first): the newest batches that fit in `maxBytes` together,
// the older ones left out. An empty list gives a document with no batches.
std::string encodeStore(const StoredBatches& batches, std::size_t maxBytes = maxStoreBytes);

struct DecodedStore {
    StoredBatches batches;
    // The text was not a store this client wrote: nothing of it was taken.
    bool unreadable = false;
};

// The batches of a document, oldest first: at most `maxBatches` (the newest) of at most
// `maxBatchSize` entries each. Entries that break the event model are left out.
DecodedStore decodeStore(std::string_view text, std::size_t maxBatches, std::size_t maxBatchSize);

} // namespace corvane::telemetry
