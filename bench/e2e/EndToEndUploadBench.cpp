// From the public call to the batch the measurement service accepted: the library runs as
// a product runs it, in its own process (upload_session_app), and logs 100 000 events of
// five parameters; the local measurement service runs here on loopback. Two schedules:
// debug mode (/1): the library uploads about a second after new data (the shortest cadence
// a configuration allows), so uploads run while the events are logged, as in a busy
// session, and every event is printed; the default schedule (/0): no upload is due while
// the events are logged, then the app goes to the background, which starts the uploads
// (40 000 events: the daily limit of public events applies outside debug mode).
// Counters: events per second (first call to last event accepted by the service), bytes
// of request bodies on the wire per event, uploads, the app's peak resident memory and
// its CPU time (user plus system) per event, start-up included.

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <mutex>
#include <string>

#include "tests/integration/upload/UploadSessionHarness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

// Outside debug mode the daily limit of 50 000 public events applies.
constexpr std::int64_t kDebugModeEvents = 100000, kDefaultScheduleEvents = 40000;

void BM_PublicCallToAcceptedBatch(benchmark::State& state) {
  const fs::path root = fs::temp_directory_path() / ("tlw-bench-e2e-" + std::to_string(::getpid()));
  const bool debugMode = state.range(0) != 0;
  const std::int64_t kEvents = debugMode ? kDebugModeEvents : kDefaultScheduleEvents;
  for (auto _ : state) {
    fs::remove_all(root);
    if (!upload_session::writeAppBundle(root / "bundle")) {
      state.SkipWithError("cannot write the app bundle");
      break;
    }
    // Declared before the service, so the service (and its observer) goes first.
    std::atomic<std::int64_t> wireBytes{0}, uploads{0}, refused{0};
    // Accepted batches are counted here, off the service's answer: decoding them again on
    // its request thread delayed every answer to the app by the bench's own check.
    struct Accepted {
      std::chrono::steady_clock::time_point at;
      std::string payload;
    };
    std::mutex acceptedMutex;
    std::condition_variable acceptedArrived;
    std::deque<Accepted> accepted;
    std::string error;
    // The service checks every batch as it does in development, without rendering it as
    // JSON: rendering 40 000 events took it longer than the app took to send them.
    auto service = upload_session::startService(root / "config", &error, "", false);
    if (!service) {
      state.SkipWithError(("service: " + error).c_str());
      break;
    }
    service->setRequestObserver([&](const measurement_service::RecordedRequest& request) {
      if (request.path != "/a") return;
      wireBytes += static_cast<std::int64_t>(request.body.size());
      ++uploads;
      if (request.status != 204) {
        ++refused;
        return;
      }
      Accepted batch{std::chrono::steady_clock::now(), request.payload()};
      std::lock_guard lock(acceptedMutex);
      accepted.push_back(std::move(batch));
      acceptedArrived.notify_one();
    });
    std::int64_t acceptedTicks = 0;
    std::chrono::steady_clock::time_point lastAccepted{};
    // Counts the ticks of the batches accepted so far, waiting at most until `until`.
    const auto countAccepted = [&](std::chrono::steady_clock::time_point until) {
      std::unique_lock lock(acceptedMutex);
      while (acceptedArrived.wait_until(lock, until, [&] { return !accepted.empty(); })) {
        Accepted batch = std::move(accepted.front());
        accepted.pop_front();
        lock.unlock();
        if (auto ticks = upload_session::ticksIn(batch.payload)) acceptedTicks += static_cast<std::int64_t>(ticks->size());
        lastAccepted = batch.at;
        lock.lock();
      }
    };

    upload_session::SessionApp app;
    if (!app.start(TW_UPLOAD_SESSION_APP, (root / "sandbox").string(), (root / "bundle").string(), service->baseURL(),
                   (root / "app.log").string(), debugMode) ||
        !app.logEvents(0, 0, 120s) || (!debugMode && !app.perform("active", 60s))) {
      state.SkipWithError("the app did not start");
      break;
    }
    // Start-up uploads (first open, session) are not part of the measurement.
    countAccepted(std::chrono::steady_clock::now() + 3s);
    acceptedTicks = 0;
    uploads = 0;
    const std::int64_t bytesBefore = wireBytes.load();

    const auto started = std::chrono::steady_clock::now();
    if (!app.logEvents(0, kEvents, 300s)) {
      state.SkipWithError("the library did not accept every event");
      break;
    }
    const auto logged = std::chrono::steady_clock::now();
    if (!debugMode && !app.perform("background", 60s)) {
      state.SkipWithError("the app did not go to the background");
      break;
    }
    const auto deadline = logged + 150s;
    while (acceptedTicks < kEvents && std::chrono::steady_clock::now() < deadline)
      countAccepted(std::min(deadline, std::chrono::steady_clock::now() + 10ms));
    // When the service accepted the batch that completed the count.
    const auto arrived = lastAccepted;
    if (acceptedTicks != kEvents) {
      state.SkipWithError("not every event was accepted by the service exactly once");
      break;
    }
    const std::int64_t bytes = wireBytes.load() - bytesBefore;
    const long peakKiB = app.peakResidentKiB();
    const int exitStatus = app.quit(60s);
    service->stop();
    if (exitStatus != 0) {
      state.SkipWithError("the app did not quit cleanly");
      break;
    }
    const double seconds = std::chrono::duration<double>(arrived - started).count();
    state.SetIterationTime(seconds);
    state.counters["events_per_second"] = static_cast<double>(kEvents) / seconds;
    state.counters["accept_events_per_second"] =
        static_cast<double>(kEvents) / std::chrono::duration<double>(logged - started).count();
    state.counters["wire_bytes_per_event"] = static_cast<double>(bytes) / static_cast<double>(kEvents);
    state.counters["uploads"] = static_cast<double>(uploads.load());
    state.counters["refused_uploads"] = static_cast<double>(refused.load());
    state.counters["app_peak_rss_mib"] = static_cast<double>(peakKiB) / 1024.0;
    const auto cpuSeconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    state.counters["app_cpu_us_per_event"] =
        (cpuSeconds(app.usage().ru_utime) + cpuSeconds(app.usage().ru_stime)) * 1e6 / static_cast<double>(kEvents);
  }
  std::error_code ec;
  if (!std::getenv("TW_BENCH_KEEP")) fs::remove_all(root, ec);
}
BENCHMARK(BM_PublicCallToAcceptedBatch)->Arg(1)->Arg(0)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

}  // namespace
