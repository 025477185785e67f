// Writes events through the measurement database in a loop, 64 to a write group and each
// in its own savepoint (daily counts, event aggregates, raw event), as the engine's
// backlog drain does. Every seventh event fails after its counts were written and must
// vanish whole. The sequence number of each stored event is reported as 8 bytes on
// standard output by work run after the group's commit, as the engine tells its
// listeners. Used by the crash-safety test, which kills it at random moments.
//
// Usage: storage_crash_writer <sandbox root> <first sequence number>

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/Sandbox.h"
#include "tests/support/RootedEnvironment.h"

namespace {

using tw_test_support::RootedEnvironment;

bool writeAll(int fd, const void* data, std::size_t size) {
  const auto* p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::write(fd, p, size);
    if (n <= 0) return false;
    p += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s <sandbox root> <first sequence number>\n", argv[0]);
    return 2;
  }
  auto env = std::make_shared<RootedEnvironment>(argv[1]);
  std::int64_t sequence = std::strtoll(argv[2], nullptr, 10);
  auto monitor = TLWMonitor::initWithLogLevel(1, nullptr, kTLWLibraryNumericVersion, env);
  auto config = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env,
                                                      TLWUserDefaults::initWithSuiteName("", env), monitor);
  TLWError error;
  auto db = TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, &error, env, monitor);
  if (!db) {
    std::fprintf(stderr, "open failed: %s\n", error.localizedDescription().c_str());
    return 1;
  }
  for (;;) {
    if (!db->beginWriteGroup()) return 1;
    for (int inGroup = 0; inGroup < 64; ++inGroup, ++sequence) {
      const std::string name = "e" + std::to_string(sequence);
      const bool failsMidway = sequence % 7 == 3;
      bool stored = db->performTransaction([&] {
        auto counts = db->dailyCounts(nullptr);
        if (!counts) return false;
        counts->incrementCountsForCurrentDay(counts->day(), true, false);
        if (!db->updateDailyCounts(*counts, nullptr) || failsMidway) return false;
        auto aggregates = TLWEventAggregates::initWithName(name, 1, 1, 1, 1700000000.0);
        auto event = TLWEvent::initWithOrigin("app", false, name, 1700000000.0 + static_cast<double>(sequence), 0,
                                              platform::Dictionary{{"seq", static_cast<long long>(sequence)},
                                                                   {"pad", std::string(200, 'x')}});
        // Event names beyond the table's 1000 are refused by design; the raw event still counts.
        (void)db->updateEventAggregates(aggregates.get(), nullptr);
        return event && db->insertRawEvent(event.get(), 1, false, nullptr);
      });
      if (stored != !failsMidway) return 1;
      if (!stored) continue;
      db->runAfterCommit([value = sequence] {
        if (!writeAll(STDOUT_FILENO, &value, sizeof value)) std::_Exit(1);
      });
    }
    if (!db->commitWriteGroup()) return 1;
  }
}
