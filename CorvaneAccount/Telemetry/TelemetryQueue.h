// The queue of batches waiting for upload: bounded, oldest first, the oldest given up when full.
// Not thread-safe: the owner's lock guards it.
#pragma once

#include "CorvaneAccount/Telemetry/CoalescedEntry.h"

#include <cstddef>
#include <deque>
#include <optional>
#include <vector>

namespace corvane::telemetry {

class TelemetryQueue {
public:
    using Batch = std::vector<CoalescedEntry>;

    TelemetryQueue(std::size_t maxPendingBatches, std::size_t maxBatchSize);

    // Queues `entries` in batches of at most maxBatchSize. A full queue first gives up its oldest
    // batch, once; chunks that then find it full are discarded.
    void enqueue(std::vector<CoalescedEntry> entries);
    // The oldest batch, taken off the queue; none when it is empty.
    std::optional<Batch> takeOldest();
    // Puts a batch that could not be sent back at the head, while there is room.
    void putBack(Batch batch);
    // Puts batches older than every queued one (oldest first) at the head, the newest of them
    // first while there is room.
    void prependOlder(std::vector<Batch> older);
    // Forgets every batch.
    void clear() { batches_.clear(); }

    const std::deque<Batch>& batches() const { return batches_; }

private:
    const std::size_t maxPendingBatches_;
    const std::size_t maxBatchSize_;
    std::deque<Batch> batches_;
};

} // namespace corvane::telemetry
