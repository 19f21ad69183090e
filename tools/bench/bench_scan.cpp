// One scan of a window list of 10,000 entries: a realistic mix of ordinary windows, on-screen
// status items and pushed-off ones.
#include "Platform/Sim/SimHost.h"
#include "Platform/WindowList.h"
#include "Quillet/HiddenItems/HiddenItemScanner.h"

#include <benchmark/benchmark.h>

namespace {

void BM_ScanTenThousandWindows(benchmark::State& state) {
    platform::sim::SimHost sim;
    // The window server builds its list once per call; the benchmark measures the scan itself.
    platform::Array entries;
    for (int i = 0; i < 10000; ++i) {
        const bool status = i % 4 == 0;
        const double x = (i % 8 == 0) ? -22.0 * i : 3.0 * (i % 400);
        entries.push_back(platform::Dictionary{
            {platform::windowinfo::layer, std::int64_t{status ? 25 : 0}},
            {platform::windowinfo::bounds,
             platform::dictionaryFromRect(platform::makeRect(x, 0, 22, status ? 24 : 300))},
            {platform::windowinfo::ownerPID, std::int64_t{1000 + i % 50}},
            {platform::windowinfo::ownerName, i % 16 == 0 ? "Control Center" : "Some App"},
            {platform::windowinfo::number, std::int64_t{i + 1}}});
    }
    sim.simWindowList().replacement = std::make_shared<const platform::Value>(std::move(entries));
    std::size_t found = 0;
    for (auto _ : state) {
        auto items = quillet::HiddenItemScanner::scan();
        found = items.size();
        benchmark::DoNotOptimize(items);
    }
    state.counters["hidden"] = static_cast<double>(found);
}
BENCHMARK(BM_ScanTenThousandWindows)->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();
