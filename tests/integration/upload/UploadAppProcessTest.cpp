// The whole library in its own process (public call, engine, bundles, uploader, network
// client) against the local measurement service over loopback: what arrives over a
// session, what arrives when the process is killed in the middle of an upload and
// started again on the same sandbox, and what arrives while another process holds the
// database.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <thread>

#include "measurement/engine/TLWMeasurementFrontController.h"
#include "measurement/storage/TLWDatabase.h"
#include "platform/FileSystem.h"
#include "platform/Preferences.h"
#include "platform/Sandbox.h"
#include "tests/integration/upload/AppProcessFixture.h"
#include "tests/integration/upload/UploadSessionHarness.h"
#include "tests/support/TestDirectory.h"
#include "tests/support/Wait.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
using upload_session::SessionApp;

// Generous: the app and the service share a loaded machine, maybe under a sanitizer.
constexpr auto kTimeout = 90s;

// Each poll decodes what the service received: not too often.
template <class F>
bool waitFor(F done) {
  return tw_test_support::waitFor(done, kTimeout, 20ms);
}

struct Upload {
  int status = 0;
  std::string action;
  std::vector<std::int64_t> ticks;
};

class UploadAppProcessTest : public upload_session::AppProcessFixture {
 protected:
  UploadAppProcessTest() : AppProcessFixture("tlw-upload-app") {}

  std::vector<Upload> uploads() {
    std::vector<Upload> all;
    for (const auto& request : service->requests()) {
      if (request.path != "/a") continue;
      Upload upload{request.status, request.action, {}};
      auto ticks = upload_session::ticksIn(request.payload());
      EXPECT_TRUE(ticks) << "upload " << request.sequence << " is not a batch";
      if (ticks) upload.ticks = std::move(*ticks);
      all.push_back(std::move(upload));
    }
    return all;
  }

  // How often each event arrived in a batch the service accepted.
  std::map<std::int64_t, int> accepted() {
    std::map<std::int64_t, int> counts;
    for (const auto& upload : uploads())
      if (upload.status == 204)
        for (auto seq : upload.ticks) ++counts[seq];
    return counts;
  }

  // The app's measurement database opened as another process would (the sqlite3 shell, a
  // backup tool): taking a lock waits for the app's write in progress.
  fs::path databasePath() const {
    return root / "sandbox/Library/Application Support/Vorlix/Measurement" / kTLWDatabaseFileName;
  }
  sqlite3* openDatabaseFromOutside() {
    sqlite3* other = nullptr;
    EXPECT_EQ(sqlite3_open(databasePath().c_str(), &other), SQLITE_OK);
    sqlite3_busy_timeout(other, 30000);
    return other;
  }
  // The first column of the first row of `sql`; -1 on failure.
  static std::int64_t count(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    std::int64_t rows = -1;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK && sqlite3_step(statement) == SQLITE_ROW) {
      rows = sqlite3_column_int64(statement, 0);
    }
    sqlite3_finalize(statement);
    return rows;
  }

  bool allAccepted(std::int64_t count) {
    auto counts = accepted();
    for (std::int64_t seq = 0; seq < count; ++seq)
      if (!counts.contains(seq)) return false;
    return true;
  }

  std::size_t acceptedUploads() {
    std::size_t n = 0;
    for (const auto& upload : uploads()) n += upload.status == 204 ? 1 : 0;
    return n;
  }

  // How many events called `name` arrived in batches the service accepted.
  int acceptedEventsNamed(const std::string& name) {
    int n = 0;
    for (const auto& request : service->requests()) {
      if (request.path != "/a" || request.status != 204) continue;
      auto batch = TLWPBMeasurementBatch::initWithBuffer(std::string_view(request.payload()));
      if (!batch) continue;
      for (const auto& bundle : batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles))
        for (const auto& event : bundle->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents))
          n += event->GetString(TLWPBEvent::kName).value_or("") == name ? 1 : 0;
    }
    return n;
  }

  // The library's own preference suite in the app's sandbox, read and written from here
  // while the app is not running.
  std::shared_ptr<platform::PreferencesSuite> analyticsSuite() {
    preferences = std::make_shared<platform::FilePreferences>(
        std::make_shared<platform::PosixFileSystem>(),
        std::make_shared<platform::DirectorySandbox>((root / "sandbox").string()), "unused");
    return preferences->suite(std::string(kTLWAnalyticsSuiteName));
  }

  std::shared_ptr<platform::FilePreferences> preferences;
};

TEST_F(UploadAppProcessTest, EveryLoggedEventArrivesExactlyOnceOverASessionWithSeveralUploads) {
  launch();
  constexpr std::int64_t kRounds = 4, kPerRound = 30;
  for (std::int64_t round = 0; round < kRounds; ++round) {
    const std::size_t before = acceptedUploads();
    ASSERT_TRUE(app->logEvents(round * kPerRound, kPerRound, kTimeout)) << "round " << round;
    ASSERT_TRUE(waitFor([&] { return allAccepted((round + 1) * kPerRound); })) << "round " << round;
    EXPECT_GT(acceptedUploads(), before) << "round " << round << " went out in an upload of its own";
  }
  EXPECT_EQ(app->quit(kTimeout), 0);

  std::map<std::int64_t, int> expected;
  for (std::int64_t seq = 0; seq < kRounds * kPerRound; ++seq) expected[seq] = 1;
  EXPECT_EQ(accepted(), expected);
  for (const auto& upload : uploads()) EXPECT_EQ(upload.status, 204) << "every upload is valid and was accepted";
}

// An app that returns from main right after its calls: what they handed over is stored on
// the way out and leaves with the next launch.
TEST_F(UploadAppProcessTest, EventsLoggedJustBeforeANormalExitArriveAfterTheNextLaunch) {
  constexpr std::int64_t kEvents = 100;
  launch();
  ASSERT_TRUE(app->fireEvents(0, kEvents, kTimeout));
  ASSERT_EQ(app->quit(kTimeout), 0);
  launch();
  ASSERT_TRUE(app->logEvents(kEvents, 1, kTimeout));
  EXPECT_TRUE(waitFor([&] { return allAccepted(kEvents + 1); }))
      << accepted().size() << " of " << kEvents + 1 << " events arrived";
  EXPECT_EQ(app->quit(kTimeout), 0);
}

// As a person with the sqlite3 shell or a backup tool would: a write lock held longer than
// the library's busy wait, taken while an upload is answered (its rows cannot be deleted
// then) and while events are logged; then a read transaction kept open while the app
// writes enough for its log to need checkpoints. Every event arrives exactly once.
TEST_F(UploadAppProcessTest, AnotherProcessLockingOrReadingTheDatabaseCostsNoEvent) {
  launch();
  ASSERT_TRUE(app->logEvents(0, 20, kTimeout));
  ASSERT_TRUE(waitFor([&] { return allAccepted(20); }));
  sqlite3* other = openDatabaseFromOutside();
  ASSERT_TRUE(other);
  auto exec = [&](const char* sql) { return sqlite3_exec(other, sql, nullptr, nullptr, nullptr); };

  // The answer to the next upload comes a second late; the lock is taken once the upload
  // is on its way (its bundles are queued) and held until deleting them has failed.
  ASSERT_TRUE(service->setRules(R"([{"path": "/a", "count": 1, "delayMs": 1000}])"));
  ASSERT_TRUE(app->logEvents(20, 50, kTimeout));
  ASSERT_TRUE(waitFor([&] { return count(other, "SELECT count(*) FROM queue") > 0; }));
  ASSERT_EQ(exec("BEGIN EXCLUSIVE"), SQLITE_OK);
  std::thread holder([&] {
    EXPECT_TRUE(tw_test_support::waitFor([&] { return appLogged("I-ACS023244"); }, 60s, 50ms))
        << "the accepted upload's rows met the lock";
    std::this_thread::sleep_for(1s);
    EXPECT_EQ(exec("COMMIT"), SQLITE_OK);
  });
  // Answered once the library stored them, so only after the lock is gone.
  const bool stored = app->logEvents(70, 50, kTimeout);
  holder.join();
  ASSERT_TRUE(stored);

  ASSERT_EQ(exec("BEGIN"), SQLITE_OK);
  const std::int64_t snapshot = count(other, "SELECT count(*) FROM raw_events");
  ASSERT_GE(snapshot, 0);
  // Logged until the log passes the checkpoint threshold (1 000 pages).
  const std::string wal = databasePath().string() + "-wal";
  std::int64_t logged = 120;
  while (fs::file_size(wal) <= 1000u * 4096u && logged < 20000) {
    ASSERT_TRUE(app->logEvents(logged, 500, kTimeout));
    logged += 500;
  }
  EXPECT_EQ(count(other, "SELECT count(*) FROM raw_events"), snapshot) << "the reader keeps its snapshot";
  EXPECT_GT(fs::file_size(wal), 1000u * 4096u) << "the log passed the checkpoint threshold";
  ASSERT_EQ(exec("COMMIT"), SQLITE_OK);
  sqlite3_close(other);

  ASSERT_TRUE(waitFor([&] { return allAccepted(logged); }));
  EXPECT_EQ(app->quit(kTimeout), 0);
  std::map<std::int64_t, int> expected;
  for (std::int64_t seq = 0; seq < logged; ++seq) expected[seq] = 1;
  EXPECT_EQ(accepted(), expected);
  EXPECT_TRUE(appLogged("I-ACS023240")) << "the wait for the database is logged";
}

// Seen from outside: an upload is answered while another process holds the database past
// the busy wait, and the app exits normally before the lock ends. The accepted batch is
// deleted by the next launch, not sent again.
TEST_F(UploadAppProcessTest, ANormalExitWhileTheDatabaseIsLockedSendsNoBatchTwice) {
  launch();
  ASSERT_TRUE(app->logEvents(0, 20, kTimeout));
  ASSERT_TRUE(waitFor([&] { return allAccepted(20); }));
  sqlite3* other = openDatabaseFromOutside();
  ASSERT_TRUE(other);
  ASSERT_TRUE(service->setRules(R"([{"path": "/a", "count": 1, "delayMs": 1000}])"));
  ASSERT_TRUE(app->logEvents(20, 50, kTimeout));
  ASSERT_TRUE(waitFor([&] { return count(other, "SELECT count(*) FROM queue") > 0; }));
  ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
  ASSERT_TRUE(waitFor([&] { return appLogged("I-ACS023244"); })) << "the accepted upload's rows met the lock";
  EXPECT_EQ(app->quit(kTimeout), 0);
  ASSERT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  sqlite3_close(other);

  launch();
  ASSERT_TRUE(app->logEvents(70, 1, kTimeout));
  ASSERT_TRUE(waitFor([&] { return allAccepted(71); }));
  EXPECT_EQ(app->quit(kTimeout), 0);
  std::map<std::int64_t, int> expected;
  for (std::int64_t seq = 0; seq < 71; ++seq) expected[seq] = 1;
  EXPECT_EQ(accepted(), expected);
}

TEST_F(UploadAppProcessTest, AKillInTheMiddleOfAnUploadRepeatsOnlyTheBatchInFlight) {
  constexpr int kKills = 3;
  constexpr std::int64_t kPerGroup = 20;
  std::int64_t next = 0;
  std::vector<Upload> killedUploads;
  for (int kill = 0; kill < kKills; ++kill) {
    // Per run: an upload that is answered, then one the service holds until the kill.
    ASSERT_TRUE(service->setRules(R"([{"path": "/a", "first": 2, "count": 1, "stall": true}])"));
    const std::size_t seen = service->requests().size();
    auto uploadsSinceLaunch = [&] {
      auto all = service->requests();
      std::vector<measurement_service::RecordedRequest> mine;
      for (std::size_t i = seen; i < all.size(); ++i)
        if (all[i].path == "/a") mine.push_back(all[i]);
      return mine;
    };
    launch();
    ASSERT_TRUE(app->logEvents(next, kPerGroup, kTimeout)) << "run " << kill;
    next += kPerGroup;
    ASSERT_TRUE(waitFor([&] { return !uploadsSinceLaunch().empty(); })) << "run " << kill;
    ASSERT_TRUE(app->logEvents(next, kPerGroup, kTimeout)) << "run " << kill;
    next += kPerGroup;
    ASSERT_TRUE(waitFor([&] {
      auto mine = uploadsSinceLaunch();
      return mine.size() >= 2 && mine[1].action == "stall";
    })) << "run "
        << kill;
    EXPECT_TRUE(app->kill()) << "run " << kill;
    service->releaseStalled();
    auto mine = uploadsSinceLaunch();
    ASSERT_EQ(mine.size(), 2u) << "nothing else went out while the upload was held";
    EXPECT_EQ(mine[0].status, 204);
    auto ticks = upload_session::ticksIn(mine[1].payload());
    ASSERT_TRUE(ticks);
    EXPECT_FALSE(ticks->empty()) << "the held upload carried events";
    killedUploads.push_back(Upload{0, "stall", *ticks});
  }

  // Started once more, no longer held: everything left goes out.
  ASSERT_TRUE(service->setRules("[]"));
  launch();
  ASSERT_TRUE(app->logEvents(next, kPerGroup, kTimeout));
  next += kPerGroup;
  ASSERT_TRUE(waitFor([&] { return allAccepted(next); }));
  EXPECT_EQ(app->quit(kTimeout), 0);

  // Every event arrived in an accepted batch exactly once; the only other copies are the
  // ones in the batches that were in flight when the process died.
  std::map<std::int64_t, int> inFlight;
  for (const auto& upload : killedUploads)
    for (auto seq : upload.ticks) ++inFlight[seq];
  std::map<std::int64_t, int> expectedAccepted, expectedArrivals, arrivals;
  for (std::int64_t seq = 0; seq < next; ++seq) {
    expectedAccepted[seq] = 1;
    expectedArrivals[seq] = 1 + (inFlight.contains(seq) ? inFlight[seq] : 0);
  }
  EXPECT_EQ(accepted(), expectedAccepted);
  std::size_t held = 0;
  for (const auto& upload : uploads()) {
    if (upload.action == "stall") {
      ++held;
    } else {
      EXPECT_EQ(upload.status, 204);
    }
    for (auto seq : upload.ticks) ++arrivals[seq];
  }
  EXPECT_EQ(held, static_cast<std::size_t>(kKills));
  EXPECT_EQ(arrivals, expectedArrivals);
  // A held batch is the one in flight when its run was killed: the next run's first
  // upload took it along, so it held only events of its own run.
  for (int kill = 0; kill < kKills; ++kill) {
    const std::int64_t firstOfRun = kill * 2 * kPerGroup;
    for (auto seq : killedUploads[kill].ticks)
      EXPECT_TRUE(seq >= firstOfRun && seq < firstOfRun + 2 * kPerGroup) << "run " << kill << " held event " << seq;
  }
}

TEST_F(UploadAppProcessTest, AppInstanceIDOutlivesTheProcessAndAResetLeftUnfinishedIsDoneByTheNextOne) {
  launch();
  ASSERT_TRUE(app->logEvents(0, 1, kTimeout));
  const auto first = app->appInstanceID(kTimeout);
  ASSERT_TRUE(first && *first != "-");
  ASSERT_TRUE(waitFor([&] { return acceptedEventsNamed("_f") == 1; })) << "sent before the reset wipes it";
  ASSERT_EQ(app->quit(kTimeout), 0);

  launch();
  ASSERT_TRUE(app->logEvents(1, 1, kTimeout));
  EXPECT_EQ(app->appInstanceID(kTimeout), first) << "a new process on the same sandbox keeps the ID";
  ASSERT_TRUE(app->resetAnalyticsData(kTimeout));
  ASSERT_TRUE(app->logEvents(2, 1, kTimeout));  // accepted after the wipe
  const auto afterReset = app->appInstanceID(kTimeout);
  ASSERT_TRUE(afterReset && *afterReset != "-");
  EXPECT_NE(afterReset, first);
  ASSERT_TRUE(waitFor([&] { return acceptedEventsNamed("_f") == 2; })) << "first open is reported again";
  ASSERT_EQ(app->quit(kTimeout), 0);

  // The process died after a reset was asked for but before the library wiped.
  {
    auto suite = analyticsSuite();
    ASSERT_TRUE(suite);
    suite->setObject(kTLWResetRetryCountKey, platform::Value(1LL));
    ASSERT_TRUE(suite->synchronize());
    preferences.reset();
  }
  launch();
  ASSERT_TRUE(app->logEvents(3, 1, kTimeout));
  const auto afterRetry = app->appInstanceID(kTimeout);
  ASSERT_TRUE(afterRetry && *afterRetry != "-");
  EXPECT_NE(afterRetry, afterReset) << "the owed reset was carried out at start";
  ASSERT_TRUE(waitFor([&] { return acceptedEventsNamed("_f") == 3; }));
  ASSERT_EQ(app->quit(kTimeout), 0);
  EXPECT_TRUE(analyticsSuite()->objectForKey(kTLWResetRetryCountKey).isNull()) << "nothing is owed any more";
  EXPECT_EQ(acceptedEventsNamed("_f"), 3);
}

// The service keeps answering with a configuration the library refuses (another app's).
// The events must not wait for a configuration that never comes; and the fetch itself is
// the one a server routing on the raw path can answer, naming the runtime's version.
TEST_F(UploadAppProcessTest, ARefusedConfigurationHoldsNoEventBack) {
  const std::string appID = upload_session::kAppID;
  std::ofstream(root / "config" / (appID + ".json"))
      << R"({"version": 1, "app_id": "1:9:ios:someone-else", "settings": [
    {"name": "measurement.upload.initial_upload_delay_time", "value": "1000"}]})";
  launch();
  constexpr std::int64_t kPerRound = 15;
  for (std::int64_t round = 0; round < 2; ++round) {
    ASSERT_TRUE(app->logEvents(round * kPerRound, kPerRound, kTimeout)) << "round " << round;
    ASSERT_TRUE(waitFor([&] { return allAccepted((round + 1) * kPerRound); })) << "round " << round;
  }
  EXPECT_EQ(app->quit(kTimeout), 0);

  std::size_t fetches = 0;
  for (const auto& request : service->requests()) {
    if (!request.path.starts_with("/config/app/")) continue;
    ++fetches;
    EXPECT_TRUE(request.target.starts_with("/config/app/" + appID + "?")) << request.target;
    EXPECT_NE(("&" + request.query + "&").find("&runtime_version=0&"), std::string::npos) << request.query;
    EXPECT_NE(("&" + request.query + "&").find("&zel_version=80901&"), std::string::npos) << request.query;
    EXPECT_FALSE(request.header("If-Modified-Since")) << "a refused configuration's date is not kept";
  }
  EXPECT_GE(fetches, 1u);
}

}  // namespace
