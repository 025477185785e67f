#include <benchmark/benchmark.h>

#include "measurement/model/TLWEvent.h"

// A public event with five parameters (three strings, an integer, a double), as a game
// logs it: the caller's dictionary exists already; the event is validated and built.
static void BM_PublicEventFiveParameters(benchmark::State& state) {
  const platform::Dictionary params{
      {"hero", "mage"}, {"zone", "northern_wastes"}, {"difficulty", "hard"}, {"level", 17}, {"score", 1234.5}};
  double ts = 1.7e9;
  for (auto _ : state) {
    auto event = TLWEvent::initWithOrigin("app", true, "level_complete", ts, 0, params);
    benchmark::DoNotOptimize(event);
    ts += 0.001;
  }
}
BENCHMARK(BM_PublicEventFiveParameters);

// The same, building the caller's dictionary inside the loop.
static void BM_PublicEventFiveParametersWithDictionary(benchmark::State& state) {
  double ts = 1.7e9;
  for (auto _ : state) {
    platform::Dictionary params{
        {"hero", "mage"}, {"zone", "northern_wastes"}, {"difficulty", "hard"}, {"level", 17}, {"score", 1234.5}};
    auto event = TLWEvent::initWithOrigin("app", true, "level_complete", ts, 0, params);
    benchmark::DoNotOptimize(event);
    ts += 0.001;
  }
}
BENCHMARK(BM_PublicEventFiveParametersWithDictionary);
