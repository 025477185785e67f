// Caller-thread cost of TWKAnalytics::logEventWithName with five parameters while the
// engine's worker is busy writing: the library as an app gets it (the front controller
// over the real engine), writing raw-event rows into a real database in a temporary
// sandbox (bench/pipeline/BenchLibrary.h). Every repetition shares the one engine.
//
//   build/<dir>/bench/bench_api --benchmark_counters_tabular=true
//
// Counters: median_us, p90_us, p99_us and p999_us of the call, and worker_backlog, the
// events not yet stored when the timed calls ended (above zero: the worker was busy
// throughout).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <vector>

#include "bench/pipeline/BenchLibrary.h"

namespace {

using platform::Value;

Value fiveParameters(int i) {
  return Value{{"level", i % 50}, {"character", "mage"}, {"score", 1870.5}, {"success", true}, {"zone", "north"}};
}

void BM_LogEventCallerCost(benchmark::State& state) {
  auto& library = tw_bench::BenchLibrary::shared();
  library.nextDay();
  tw_bench::BenchLibrary::clearRawEvents();
  const Value name("level_up");
  constexpr int kBacklog = 2000;
  std::vector<double> samples;
  samples.reserve(1 << 20);
  const std::uint64_t before = library.accepted();
  std::uint64_t logged = 0;
  // Keep the worker busy: start with a backlog.
  for (int k = 0; k < kBacklog; ++k, ++logged) TWKAnalytics::logEventWithName(name, fiveParameters(k));
  int i = 0;
  for (auto _ : state) {
    Value params = fiveParameters(i++);
    auto t0 = std::chrono::steady_clock::now();
    TWKAnalytics::logEventWithName(name, params);
    auto t1 = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
    ++logged;
  }
  const double backlog = static_cast<double>(before + logged) - static_cast<double>(library.accepted());
  std::sort(samples.begin(), samples.end());
  auto percentile = [&](std::size_t perMille) {
    return samples[std::min(samples.size() - 1, samples.size() * perMille / 1000)];
  };
  state.counters["median_us"] = percentile(500);
  state.counters["p90_us"] = percentile(900);
  state.counters["p99_us"] = percentile(990);
  state.counters["p999_us"] = percentile(999);
  state.counters["worker_backlog"] = backlog;
  // The next repetition starts from an idle worker.
  tw_bench::BenchLibrary::drain();
}
BENCHMARK(BM_LogEventCallerCost)->Iterations(40000)->Repetitions(5)->ReportAggregatesOnly(false)->UseRealTime();

}  // namespace
