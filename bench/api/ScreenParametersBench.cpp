// What the current screen's parameters add to the caller-thread cost of
// TWKAnalytics::logEventWithName (five parameters, busy worker, as in
// FrontControllerBench.cpp). Three variants in the same run:
//   ScreenParameters/baseline   a stand-in reporter with no screen (the library before
//                               screens were tracked);
//   ScreenParameters/no_screen  the real reporter, no current screen yet;
//   ScreenParameters/screen     the real reporter with a current screen: "_si", "_sc",
//                               "_sn" are added to every event.
//
//   build/<dir>/bench/bench_api --benchmark_filter=ScreenParameters --benchmark_counters_tabular=true
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <vector>

#include "bench/pipeline/BenchLibrary.h"
#include "measurement/reporters/TLWScreenViewReporter.h"

namespace {

using platform::Value;

class NoScreenReporter : public TLWScreenViewReporting {
 public:
  bool isAppActive() override { return true; }
  platform::Dictionary screenParameters() override { return {}; }
  void trackScreenWithParameters(const platform::Dictionary&, double) override {}
  void setScreenName(const std::string&, const std::string&) override {}
};

void run(benchmark::State& state, int variant) {
  auto& library = tw_bench::BenchLibrary::shared();
  if (variant == 0) {
    TLWScreenViewReporting::setSharedInstance(std::make_shared<NoScreenReporter>());
  } else {
    auto reporter = TLWScreenViewReporter::initWithEnvironment(nullptr, false);
    if (variant == 2) reporter->trackScreenWithParameters({{"screen_name", "Level 7"}, {"screen_class", "LevelController"}}, 1);
    TLWScreenViewReporting::setSharedInstance(reporter);
  }
  library.nextDay();
  tw_bench::BenchLibrary::clearRawEvents();
  const Value name("level_up");
  std::vector<double> samples;
  samples.reserve(1 << 16);
  for (int k = 0; k < 2000; ++k) {
    TWKAnalytics::logEventWithName(name, Value{{"level", k % 50}, {"character", "mage"}, {"score", 1870.5},
                                               {"success", true}, {"zone", "north"}});
  }
  int i = 0;
  for (auto _ : state) {
    Value params{{"level", i++ % 50}, {"character", "mage"}, {"score", 1870.5}, {"success", true}, {"zone", "north"}};
    auto t0 = std::chrono::steady_clock::now();
    TWKAnalytics::logEventWithName(name, params);
    auto t1 = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
  }
  std::sort(samples.begin(), samples.end());
  state.counters["median_us"] = samples[samples.size() / 2];
  state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
  tw_bench::BenchLibrary::drain();
  TLWScreenViewReporting::setSharedInstance(nullptr);
}

void BM_ScreenParameters_baseline(benchmark::State& state) { run(state, 0); }
void BM_ScreenParameters_no_screen(benchmark::State& state) { run(state, 1); }
void BM_ScreenParameters_screen(benchmark::State& state) { run(state, 2); }
BENCHMARK(BM_ScreenParameters_baseline)->Iterations(20000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_ScreenParameters_no_screen)->Iterations(20000)->Repetitions(5)->UseRealTime();
BENCHMARK(BM_ScreenParameters_screen)->Iterations(20000)->Repetitions(5)->UseRealTime();

}  // namespace
