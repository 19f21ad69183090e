#include "CorvaneAccount/Telemetry/TelemetryQueue.h"

#include <algorithm>
#include <iterator>

namespace corvane::telemetry {

TelemetryQueue::TelemetryQueue(std::size_t maxPendingBatches, std::size_t maxBatchSize)
    : maxPendingBatches_(maxPendingBatches), maxBatchSize_(maxBatchSize) {}

void TelemetryQueue::enqueue(std::vector<CoalescedEntry> entries) {
    if (entries.empty())
        return;
    if (batches_.size() >= maxPendingBatches_)
        batches_.pop_front();
    const std::size_t size = std::max<std::size_t>(1, maxBatchSize_);
    for (std::size_t start = 0; start < entries.size(); start += size) {
        if (batches_.size() >= maxPendingBatches_)
            break; // this chunk and the rest find the queue full
        const std::size_t end = std::min(entries.size(), start + size);
        batches_.emplace_back(std::make_move_iterator(entries.begin() + start),
                              std::make_move_iterator(entries.begin() + end));
    }
}

std::optional<TelemetryQueue::Batch> TelemetryQueue::takeOldest() {
    if (batches_.empty())
        return std::nullopt;
    Batch batch = std::move(batches_.front());
    batches_.pop_front();
    return batch;
}

void TelemetryQueue::putBack(Batch batch) {
    if (batches_.size() < maxPendingBatches_)
        batches_.push_front(std::move(batch));
}

void TelemetryQueue::prependOlder(std::vector<Batch> older) {
    for (auto it = older.rbegin(); it != older.rend() && batches_.size() < maxPendingBatches_; ++it)
        if (!it->empty())
            batches_.push_front(std::move(*it));
}

} // namespace corvane::telemetry
