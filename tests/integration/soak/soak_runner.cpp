// soak_runner (make soak): the library in its own process (upload_session_app) logs events
// at a steady rate for a bounded time against the local measurement service running here,
// while faults come and go: the service fails, delays, stalls and drops uploads, and this
// process holds the app's database as another tool would (a write lock longer than the
// library's busy wait, a long read transaction). Then the faults stop, every event is
// awaited, and the run prints events sent, received, duplicates and missing, and the app's
// resident memory at the start and at the end.
//
// Environment: SOAK_SECONDS (default 600), SOAK_RATE (events per second, default 100).
// Exit status 0 when no event was missing and memory stayed flat (the end within
// kFlatSlackMiB of the figure after the warm-up).

#include <sqlite3.h>

#include <stdlib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "measurement/storage/TLWDatabase.h"
#include "tests/integration/upload/UploadSessionHarness.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

constexpr double kFlatSlackMiB = 8.0;
// Faults stop this long before the events do, so the last uploads meet a healthy service.
constexpr auto kQuietTail = 30s;

long long environmentNumber(const char* name, long long fallback) {
  const char* text = std::getenv(name);
  if (!text || !*text) return fallback;
  char* end = nullptr;
  const long long value = std::strtoll(text, &end, 10);
  return end && *end == '\0' && value > 0 ? value : fallback;
}

double residentMiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.rfind("VmRSS:", 0) == 0) return std::strtod(line.c_str() + 6, nullptr) / 1024.0;
  }
  return -1;
}

// What the service accepted, per event.
struct Received {
  std::mutex mutex;
  std::vector<int> copies;  // by "seq"
  long long failedUploads = 0, droppedUploads = 0, stalledUploads = 0;

  void add(const measurement_service::RecordedRequest& request) {
    if (request.path != "/a") return;
    std::lock_guard lock(mutex);
    if (request.action == "drop") ++droppedUploads;
    if (request.action == "stall") ++stalledUploads;
    if (request.status != 204) {
      if (request.action == "rule") ++failedUploads;
      return;
    }
    auto ticks = upload_session::ticksIn(request.payload());
    if (!ticks) return;
    for (auto seq : *ticks) {
      if (seq < 0) continue;
      if (static_cast<std::size_t>(seq) >= copies.size()) copies.resize(static_cast<std::size_t>(seq) + 1, 0);
      ++copies[static_cast<std::size_t>(seq)];
    }
  }
  // Distinct events received among 0..sent-1, extra copies, and events missing.
  void tally(long long sent, long long* unique, long long* duplicates, long long* missing) {
    std::lock_guard lock(mutex);
    *unique = *duplicates = *missing = 0;
    for (long long seq = 0; seq < sent; ++seq) {
      const int n = static_cast<std::size_t>(seq) < copies.size() ? copies[static_cast<std::size_t>(seq)] : 0;
      if (n == 0) ++*missing;
      if (n > 0) ++*unique;
      if (n > 1) *duplicates += n - 1;
    }
  }
};

// Faults, one after another, until told to stop: service rules, and this process holding
// the app's database.
class FaultCycle {
 public:
  FaultCycle(measurement_service::ServiceCore& service, fs::path database)
      : service_(service), database_(std::move(database)) {}
  ~FaultCycle() { stop(); }

  void start() {
    thread_ = std::thread([this] { run(); });
  }
  void stop() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    (void)service_.setRules("[]");
    service_.releaseStalled();
  }
  long long locks() const { return locks_; }
  long long reads() const { return reads_; }
  long long ruleSets() const { return ruleSets_; }

 private:
  // Sleeps, or returns false once stopping.
  bool pause(std::chrono::milliseconds duration) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, duration, [this] { return stopping_; });
  }
  void rules(const char* json) {
    if (service_.setRules(json)) ++ruleSets_;
  }
  void holdDatabase(const char* begin, std::chrono::milliseconds duration, std::atomic<long long>& counter) {
    sqlite3* db = nullptr;
    if (sqlite3_open(database_.c_str(), &db) == SQLITE_OK) {
      sqlite3_busy_timeout(db, 5000);
      if (sqlite3_exec(db, begin, nullptr, nullptr, nullptr) == SQLITE_OK) {
        // A read transaction starts with its first read.
        (void)sqlite3_exec(db, "SELECT count(*) FROM raw_events", nullptr, nullptr, nullptr);
        ++counter;
        (void)pause(duration);
        (void)sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
      }
    }
    sqlite3_close(db);
  }
  void run() {
    constexpr auto kPhase = 20s;
    for (int phase = 0;; ++phase) {
      switch (phase % 8) {
        case 0: rules("[]"); break;
        case 1: rules(R"([{"path": "/a", "count": 3, "status": 500}])"); break;
        case 2: rules(R"([{"path": "/a", "count": 2, "drop": true}])"); break;
        case 3: rules(R"([{"path": "/a", "count": 5, "delayMs": 3000}])"); break;
        case 4: rules(R"([{"path": "/a", "count": 1, "stall": true, "stallMs": 8000}])"); break;
        case 5: rules("[]"); holdDatabase("BEGIN EXCLUSIVE", 6500ms, locks_); break;
        case 6: rules(R"([{"path": "/a", "count": 2, "status": 502, "delayMs": 500}])"); break;
        case 7: rules("[]"); holdDatabase("BEGIN", 15s, reads_); break;
      }
      if (!pause(kPhase)) return;
    }
  }

  measurement_service::ServiceCore& service_;
  const fs::path database_;
  std::thread thread_;
  std::mutex mutex_;
  std::condition_variable changed_;
  bool stopping_ = false;
  std::atomic<long long> locks_{0}, reads_{0}, ruleSets_{0};
};

}  // namespace

int main() {
  const long long seconds = environmentNumber("SOAK_SECONDS", 600);
  const long long rate = environmentNumber("SOAK_RATE", 100);
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/tlw-soak-XXXXXX";
  if (!::mkdtemp(pattern.data())) {
    std::perror("mkdtemp");
    return 2;
  }
  const fs::path root = pattern;
  auto cleanUp = [&] {
    std::error_code ec;
    fs::remove_all(root, ec);
  };

  std::string error;
  // A failed upload is retried after a minute when no newer event moves the schedule.
  auto service = upload_session::startService(
      root / "config", &error, R"({"name": "measurement.upload.retry_time", "value": "60000"},)");
  if (!service || !upload_session::writeAppBundle(root / "bundle")) {
    std::fprintf(stderr, "soak: cannot start the service: %s\n", error.c_str());
    cleanUp();
    return 2;
  }
  Received received;
  service->setRequestObserver([&](const measurement_service::RecordedRequest& r) { received.add(r); });

  upload_session::SessionApp app;
  const fs::path log = root / "app.log";
  if (!app.start(TW_UPLOAD_SESSION_APP, (root / "sandbox").string(), (root / "bundle").string(), service->baseURL(),
                 log.string()) ||
      !app.logEvents(0, 1, 120s)) {
    std::fprintf(stderr, "soak: the app did not start\n");
    cleanUp();
    return 2;
  }
  std::printf("soak: %lld s at %lld events/s against %s; the app's log: kept on failure\n", seconds, rate,
              service->baseURL().c_str());
  const double rssStart = residentMiB(app.pid());
  double rssWarm = -1;
  const auto warmUp = std::chrono::seconds(std::min<long long>(60, seconds / 5));

  FaultCycle faults(*service, root / "sandbox/Library/Application Support/Vorlix/Measurement" / kTLWDatabaseFileName);
  faults.start();
  const auto started = Clock::now();
  const auto end = started + std::chrono::seconds(seconds);
  long long sent = 1;
  auto lastReport = started;
  bool appFailed = false;
  bool faultsOn = true;
  while (Clock::now() < end) {
    const auto now = Clock::now();
    if (faultsOn && now > end - kQuietTail) {
      faults.stop();
      faultsOn = false;
    }
    if (rssWarm < 0 && now - started >= warmUp) rssWarm = residentMiB(app.pid());
    const double elapsed = std::chrono::duration<double>(now - started).count();
    const long long due = 1 + static_cast<long long>(elapsed * static_cast<double>(rate));
    const long long batch = std::min<long long>(due - sent, 1000);
    if (batch > 0) {
      if (!app.logEvents(sent, batch, 180s)) {
        std::fprintf(stderr, "soak: the app stopped answering after %lld events\n", sent);
        appFailed = true;
        break;
      }
      sent += batch;
    } else {
      std::this_thread::sleep_for(20ms);
    }
    if (now - lastReport >= 30s) {
      lastReport = now;
      long long unique = 0, duplicates = 0, missing = 0;
      received.tally(sent, &unique, &duplicates, &missing);
      std::printf("t=%4.0fs sent=%lld received=%lld rss=%.1f MiB\n", elapsed, sent, unique, residentMiB(app.pid()));
      std::fflush(stdout);
    }
  }
  if (faultsOn) faults.stop();

  // Everything that was sent must arrive; a failed upload may wait a retry interval.
  long long unique = 0, duplicates = 0, missing = 0;
  const auto deadline = Clock::now() + 240s;
  do {
    std::this_thread::sleep_for(500ms);
    received.tally(sent, &unique, &duplicates, &missing);
  } while (missing > 0 && !appFailed && Clock::now() < deadline);
  const double rssEnd = residentMiB(app.pid());
  const int exitStatus = app.quit(60s);
  service->stop();
  received.tally(sent, &unique, &duplicates, &missing);
  if (rssWarm < 0) rssWarm = rssStart;

  std::printf("events sent        %lld\n", sent);
  std::printf("events received    %lld\n", unique);
  std::printf("duplicates         %lld\n", duplicates);
  std::printf("missing            %lld\n", missing);
  std::printf("resident memory    start %.1f MiB, after %lld s warm-up %.1f MiB, end %.1f MiB\n", rssStart,
              static_cast<long long>(warmUp.count()), rssWarm, rssEnd);
  {
    std::lock_guard lock(received.mutex);
    std::printf("faults             %lld uploads answered 5xx, %lld dropped, %lld stalled; %lld rule sets; "
                "%lld database write locks, %lld long reads\n",
                received.failedUploads, received.droppedUploads, received.stalledUploads, faults.ruleSets(),
                faults.locks(), faults.reads());
  }
  const bool flat = rssEnd >= 0 && rssEnd <= rssWarm + kFlatSlackMiB;
  const bool ok = !appFailed && missing == 0 && flat && exitStatus == 0;
  std::printf("result             %s%s%s%s\n", ok ? "PASS" : "FAIL", missing ? " (events missing)" : "",
              flat ? "" : " (memory grew)", exitStatus == 0 ? "" : " (the app did not quit cleanly)");
  if (ok) {
    cleanUp();
  } else {
    std::printf("kept for inspection: %s\n", root.c_str());
  }
  return ok ? 0 : 1;
}
