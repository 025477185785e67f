// Sustained ingest: 40 000 events with 5 parameters each, from the public call
// (TWKAnalytics::logEventWithName, through the front controller and the real engine) to
// committed raw-event rows, against bare SQLite running the statements of the engine's
// per-event write (bench/common/BareWriteBaseline) on a database file the library
// created, with the metadata bytes the engine stored: once grouped as the engine groups
// them (64 events to a transaction, a savepoint around each) and once one transaction per
// event. All run on real files in WAL mode, in the same process and the same benchmark
// iteration, so machine load affects them alike.
//
//   build/<dir>/bench/bench_pipeline
//
// Counters: pipeline_events_per_s, bare_grouped_events_per_s, bare_per_event_events_per_s,
// pipeline_to_bare_grouped and pipeline_to_bare_per_event (the ratios).

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/common/BareWriteBaseline.h"
#include "bench/pipeline/BenchLibrary.h"
#include "measurement/engine/TLWEventBacklog.h"
#include "measurement/model/TLWUserAttribute.h"
#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWPersistedConfig.h"

namespace {

constexpr int kEvents = 40000;
constexpr int kDistinctNames = 20;

std::string eventName(int i) { return "event_" + std::to_string(i % kDistinctNames); }

platform::Dictionary eventParameters(int i) {
  return platform::Dictionary{{"level", i % 100},
                              {"hero", "mage"},
                              {"score", 12.5 + i},
                              {"item", "sword_of_the_benchmark"},
                              {"stage", "forest"}};
}

// Seconds for the library to take kEvents from the public call to committed rows.
double runLibrary(std::int64_t* stored) {
  auto& library = tw_bench::BenchLibrary::shared();
  library.nextDay();
  tw_bench::BenchLibrary::drain();
  tw_bench::BenchLibrary::clearRawEvents();
  const std::int64_t before = tw_bench::BenchLibrary::rawEventCount();
  const std::uint64_t acceptedBefore = library.accepted();
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kEvents; ++i) {
    // The caller outruns the worker; it keeps enough events in flight that the worker
    // never waits, and few enough that the backlog never refuses one. Counted from the
    // stored events: calls still in the front controller's queue are not in the backlog
    // yet, and on a loaded machine they reached it in floods past its cap.
    if (i % 256 == 0) {
      while (static_cast<std::uint64_t>(i) - (library.accepted() - acceptedBefore) >
             TLWEventBacklog::kDefaultCapacity / 2) {
        std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
    }
    TWKAnalytics::logEventWithName(platform::Value(eventName(i)), platform::Value(eventParameters(i)));
  }
  tw_bench::BenchLibrary::drain();
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *stored = tw_bench::BenchLibrary::rawEventCount() - before;
  return seconds;
}

// The newest metadata record the engine stored events under.
std::vector<std::uint8_t> storedMetadata() {
  std::vector<std::uint8_t> bytes;
  auto engine = TLWMeasurement::sharedInstance();
  if (!engine) return bytes;
  (void)engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench:metadata", [&] {
    TLWDatabase* db = engine->database();
    if (!db) return;
    auto rows = db->sqliteStore()->recordsForQuery(
        "SELECT metadata FROM raw_events_metadata WHERE metadata_fingerprint = "
        "(SELECT metadata_fingerprint FROM raw_events ORDER BY rowid DESC LIMIT 1)",
        {}, nullptr);
    if (!rows || rows->empty()) return;
    if (const auto* data = rows->front().get("metadata").dataBytes()) bytes.assign(data->begin(), data->end());
  });
  return bytes;
}

// Seconds for bare SQLite to run the write's statements kEvents times, `groupSize` events
// to a transaction (each in a savepoint when grouped).
double runBare(const std::vector<std::uint8_t>& metadataBytes, int groupSize, std::int64_t* stored) {
  auto env = platform::testing::TestEnvironment::create();
  std::string path;
  {
    auto monitor = TLWMonitor::initWithLogLevel(1, nullptr, kTLWLibraryNumericVersion, env);
    auto config = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env, nullptr, monitor);
    std::unique_ptr<TLWDatabase> db(TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, nullptr, env, monitor));
    if (!db) return -1;
    // As many user properties as a first launch stores.
    for (const char* name : {"_fot", "_fi", "_sid"}) {
      auto a = TLWUserAttribute::initWithOrigin("auto", name, TLWValue::initWithInt64(1), 1700000000.0);
      (void)db->updateUserAttribute(a.get(), nullptr);
    }
    path = db->databasePath();
  }
  tw_bench::BareWriteBaseline bare(path);
  if (!bare.isOpen()) return -1;
  const std::int64_t fingerprint = TLWDatabase::fingerprintOfBytes(metadataBytes);
  const double now = 1700000000.0;
  const bool grouped = groupSize > 1;
  // Grouped, the daily counts are read at the group's first event and written once at its
  // end, and an event name's aggregates row is looked up once, as the engine's write
  // groups do. The engine writes that row only when it is missing (bundling updates it).
  std::optional<tw_bench::BareWriteBaseline::DailyCounts> groupCounts;
  std::set<std::string> groupNames;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kEvents; ++i) {
    const std::string name = eventName(i);
    auto event = TLWEvent::initWithOrigin("app", true, name, now + i * 0.001, 0, eventParameters(i));
    if (!event || (i % groupSize == 0 && !bare.begin()) || (grouped && !bare.savepoint())) return -1;
    const bool ok = [&] {
      auto counts = grouped && groupCounts ? groupCounts : bare.readDailyCounts();
      if (!counts) return false;
      ++counts->allEvents;
      ++counts->publicEvents;
      if (grouped) {
        groupCounts = counts;
      } else if (!bare.writeDailyCounts(*counts)) {
        return false;
      }
      if (!grouped || !groupNames.contains(name)) {
        if (!bare.readAggregates(name) &&
            (!bare.countPublicEventNames() || !bare.writeAggregates(name, tw_bench::BareWriteBaseline::Aggregates{}))) {
          return false;
        }
        if (grouped) groupNames.insert(name);
      }
      if (!bare.readUserAttributes()) return false;
      if (!bare.insertMetadataIfMissing(fingerprint, metadataBytes)) return false;
      // Grouped, the library trims once at the group's end (below).
      if (!grouped && !bare.trimRawEvents(99999)) return false;
      return bare.insertRawEvent(name, event->timestamp(), fingerprint, tw_bench::rawEventPayload(*event), false);
    }();
    if (!ok) {
      bare.rollback();
      return -1;
    }
    if (grouped && !bare.release()) return -1;
    if ((i + 1) % groupSize == 0 || i + 1 == kEvents) {
      if (grouped && (!groupCounts || !bare.writeDailyCounts(*std::exchange(groupCounts, std::nullopt)))) return -1;
      groupNames.clear();
      if ((grouped && !bare.trimRawEvents(100000)) || !bare.commit()) return -1;
    }
  }
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  *stored = bare.rowCount("raw_events");
  return seconds;
}

void BM_IngestPipelineVsBareSqlite(benchmark::State& state) {
  double groupedSeconds = 0, perEventSeconds = 0, pipelineSeconds = 0;
  for (auto _ : state) {
    std::int64_t groupedStored = 0, perEventStored = 0, pipelineStored = 0;
    pipelineSeconds = runLibrary(&pipelineStored);
    const auto metadata = storedMetadata();
    groupedSeconds = metadata.empty() ? -1 : runBare(metadata, 64, &groupedStored);
    perEventSeconds = metadata.empty() ? -1 : runBare(metadata, 1, &perEventStored);
    if (groupedSeconds <= 0 || perEventSeconds <= 0 || pipelineSeconds <= 0 || groupedStored != kEvents ||
        perEventStored != kEvents || pipelineStored != kEvents) {
      state.SkipWithError(("a run did not store every event: library " + std::to_string(pipelineStored) +
                           ", bare grouped " + std::to_string(groupedStored) + ", bare one each " +
                           std::to_string(perEventStored) + " of " + std::to_string(kEvents))
                              .c_str());
      return;
    }
    state.SetIterationTime(pipelineSeconds);
  }
  state.counters["pipeline_events_per_s"] = kEvents / pipelineSeconds;
  state.counters["bare_grouped_events_per_s"] = kEvents / groupedSeconds;
  state.counters["bare_per_event_events_per_s"] = kEvents / perEventSeconds;
  state.counters["pipeline_to_bare_grouped"] = groupedSeconds / pipelineSeconds;
  state.counters["pipeline_to_bare_per_event"] = perEventSeconds / pipelineSeconds;
}

BENCHMARK(BM_IngestPipelineVsBareSqlite)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
