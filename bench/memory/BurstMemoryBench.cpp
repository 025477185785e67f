// Peak resident memory of an app process (burst_app) that makes 100 000 public calls with
// five parameters as fast as it can, against the same app with the library started but
// not called. Each runs in its own process, so neither inherits the other's heap.
//
//   build/<dir>/bench/bench_memory
//
// Counters: calling_peak_rss_mib, idle_peak_rss_mib, added_mib (their difference), stored
// (raw events the calling app stored) and refused (calls the backlog refused).

#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

namespace {

struct Outcome {
  long maxrssKiB = -1;
  long long stored = -1;
  unsigned long long refused = 0;
};

Outcome runApp(const char* mode) {
  Outcome outcome;
  const std::string command = std::string(TW_BURST_APP) + " " + mode + " 100000";
  FILE* pipe = popen(command.c_str(), "r");
  if (!pipe) return outcome;
  if (std::fscanf(pipe, "maxrss_kib %ld stored %lld refused %llu", &outcome.maxrssKiB, &outcome.stored,
                  &outcome.refused) != 3) {
    outcome.maxrssKiB = -1;
  }
  if (pclose(pipe) != 0) outcome.maxrssKiB = -1;
  return outcome;
}

void BM_PeakMemoryOfABurstOfCalls(benchmark::State& state) {
  Outcome calling, idle;
  for (auto _ : state) {
    calling = runApp("call");
    idle = runApp("idle");
    if (calling.maxrssKiB < 0 || idle.maxrssKiB < 0) {
      state.SkipWithError("the app did not run");
      return;
    }
  }
  state.counters["calling_peak_rss_mib"] = calling.maxrssKiB / 1024.0;
  state.counters["idle_peak_rss_mib"] = idle.maxrssKiB / 1024.0;
  state.counters["added_mib"] = (calling.maxrssKiB - idle.maxrssKiB) / 1024.0;
  state.counters["stored"] = static_cast<double>(calling.stored);
  state.counters["refused"] = static_cast<double>(calling.refused);
}
BENCHMARK(BM_PeakMemoryOfABurstOfCalls)->Iterations(1)->Unit(benchmark::kMillisecond);

}  // namespace
