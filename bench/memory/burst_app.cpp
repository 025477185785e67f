// An app that starts the library as an app does (bench/pipeline/BenchLibrary.h) and then
// either makes `count` calls of TWKAnalytics::logEventWithName with five parameters as fast
// as it can, or makes none, and waits until the engine is idle. Prints its peak resident
// memory, the rows stored and the calls the backlog refused. Run by bench_memory.
//
// Usage: burst_app <call|idle> <count>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bench/pipeline/BenchLibrary.h"
#include "measurement/engine/TLWEventBacklog.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <call|idle> <count>\n", argv[0]);
    return 2;
  }
  const bool call = std::string(argv[1]) == "call";
  const long count = std::strtol(argv[2], nullptr, 10);
  auto& library = tw_bench::BenchLibrary::shared();
  library.nextDay();
  const platform::Value name("level_up");
  if (call) {
    for (long i = 0; i < count; ++i) {
      TWKAnalytics::logEventWithName(name, platform::Value{{"level", i % 50},
                                                           {"character", "mage"},
                                                           {"score", 1870.5},
                                                           {"success", true},
                                                           {"zone", "north"}});
    }
  }
  tw_bench::BenchLibrary::drain();
  std::uint64_t refused = 0;
  if (auto engine = TLWMeasurement::sharedInstance()) refused = engine->eventBacklog()->refusedTotal();
  // This process's own peak: getrusage's ru_maxrss may be the spawning process's, which
  // exec keeps when it was larger.
  long peakKiB = -1;
  std::ifstream status("/proc/self/status");
  for (std::string line; std::getline(status, line);) {
    if (line.rfind("VmHWM:", 0) == 0) peakKiB = std::strtol(line.c_str() + 6, nullptr, 10);
  }
  std::printf("maxrss_kib %ld stored %lld refused %llu\n", peakKiB,
              static_cast<long long>(tw_bench::BenchLibrary::rawEventCount()), static_cast<unsigned long long>(refused));
  std::fflush(stdout);
  std::_Exit(0);
}
