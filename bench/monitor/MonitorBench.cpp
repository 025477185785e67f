// Cost of a message the monitor drops at its level check, and of the context encoding
// used by sampled messages. Allocations are counted by replacing the global operator new.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "measurement/monitor/TLWMonitor.h"
#include "platform/VXLLogger.h"
#include "platform/testing/TestEnvironment.h"

namespace {
std::atomic<std::uint64_t> gAllocations{0};
}  // namespace

// The replacements below pair malloc with free; GCC cannot see that through the
// replaced operators and warns about a mismatch that is not there.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  gAllocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

class NullLogger : public TLWLogger {
 public:
  void logMessage(std::string_view, std::string_view, std::int64_t, std::int64_t) override {}
};

std::shared_ptr<TLWMonitor> benchMonitor() {
  static auto env = platform::testing::TestEnvironment::create("com.vorlix.tallywise.bench");
  static auto monitor = [] {
    platform::VXLSetLoggerLevel(platform::VXLLoggerLevel::Notice);
    auto m = TLWMonitor::initWithLogLevel(6, std::make_shared<NullLogger>(), 80901, env);
    m->flush();
    return m;
  }();
  return monitor;
}

void reportAllocations(benchmark::State& state, std::uint64_t before) {
  state.counters["allocs_per_msg"] = benchmark::Counter(
      static_cast<double>(gAllocations.load(std::memory_order_relaxed) - before) /
      static_cast<double>(state.iterations()));
}

// A debug message (level 7) while the logger is at notice: neither printed nor sampled.
void BM_SuppressedDebugMessage(benchmark::State& state) {
  auto monitor = benchMonitor();
  std::uint64_t before = gAllocations.load();
  for (auto _ : state) monitor->logWithLevel(7, 23000, "Suppressed debug message");
  reportAllocations(state, before);
}
BENCHMARK(BM_SuppressedDebugMessage)->Repetitions(9)->ReportAggregatesOnly(true);

// The same with three number contexts, which the caller builds without allocating.
void BM_SuppressedDebugMessageWithContexts(benchmark::State& state) {
  auto monitor = benchMonitor();
  std::uint64_t before = gAllocations.load();
  std::int64_t i = 0;
  for (auto _ : state) {
    monitor->logWithLevel(7, 23001, "Suppressed with contexts. Count, ratio, none", platform::Value(++i),
                          platform::Value(0.5), platform::Value());
  }
  reportAllocations(state, before);
}
BENCHMARK(BM_SuppressedDebugMessageWithContexts)->Repetitions(9)->ReportAggregatesOnly(true);

// A verbose message (level 8) while verbose logging is off.
void BM_DroppedVerboseMessage(benchmark::State& state) {
  auto monitor = benchMonitor();
  std::uint64_t before = gAllocations.load();
  for (auto _ : state) monitor->logWithLevel(8, 23002, "Dropped verbose message");
  reportAllocations(state, before);
}
BENCHMARK(BM_DroppedVerboseMessage)->Repetitions(9)->ReportAggregatesOnly(true);

// Encoding the contexts of a sampled message (done on the caller's thread).
void BM_EncodeSampledContexts(benchmark::State& state) {
  platform::Array contexts{platform::Value(123456789), platform::Value("user text"), platform::Value(-42)};
  for (auto _ : state) benchmark::DoNotOptimize(TLWMonitor::encodedStringWithContextArray(contexts, false));
}
BENCHMARK(BM_EncodeSampledContexts)->Repetitions(9)->ReportAggregatesOnly(true);

}  // namespace
