// Group commit of the backlog drain: the same generated events give the same stored rows
// whether each is its own transaction or many share one with a savepoint each; an event
// that fails in the middle of a group leaves nothing behind; listeners hear only after the
// commit; a burst past the backlog's cap is refused, counted and reported; a full or
// failing disk keeps the events in memory until it works again.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <future>
#include <random>

#include "measurement/engine/TLWEventBacklog.h"
#include "measurement/model/TLWLimits.h"
#include "tests/measurement/engine/PipelineTestSupport.h"
#include "tests/measurement/storage/SqliteFaultVfs.h"
#include "tests/support/Wait.h"

namespace {

using pipeline_test::FakeHost;
using pipeline_test::PipelineFixture;
using pipeline_test::TestIdentity;
using pipeline_test::TestSettings;

// Stores a row and a user property for every purchase inside the event's transaction;
// every 97th purchase then fails, so its row, property, counts and event must all vanish
// (and the events after it carry the property as it was before it).
class FailingLifetimeValue : public TLWLifetimeValueRecording {
 public:
  bool isPurchaseEvent(const TLWEvent& event) override { return event.name() == "purchase"; }
  bool recordLifetimeValueToDatabase(TLWDatabase& database, const TLWEvent& event) override {
    const std::int64_t seq = event.parameters().at("seq").int64Value();
    const bool stored = database.sqliteStore()->upsertRecord({{"fingerprint", "p" + std::to_string(seq)}},
                                                             "purchase_transactions", nullptr);
    auto total = TLWUserAttribute::initWithOrigin("auto", "_ltv_USD", TLWValue::initWithInt64(seq), event.timestamp());
    // Read back before failing: what the failed event read must not outlive its rollback.
    return stored && database.updateUserAttribute(total.get(), nullptr) &&
           database.userAttributesIncludingInternal(true, nullptr) && seq % 97 != 5;
  }
};

// Records whether a transaction was still open when listeners were told.
class CommitCheckingHost : public FakeHost {
 public:
  void notifyEventListeners(std::vector<std::shared_ptr<TLWEvent>> events) override {
    if (database && database->sqliteStore()->isInTransaction()) ++toldInsideTransaction;
    FakeHost::notifyEventListeners(std::move(events));
  }
  std::shared_ptr<TLWDatabase> database;
  std::atomic<int> toldInsideTransaction{0};
};

// One write path over a database of its own.
struct World {
  std::shared_ptr<platform::testing::TestEnvironment> env = platform::testing::TestEnvironment::create();
  std::shared_ptr<TLWMonitor> monitor = TLWMonitor::initWithLogLevel(1, nullptr, kTLWLibraryNumericVersion, env);
  std::shared_ptr<TLWPersistedConfig> persisted = TLWPersistedConfig::initWithSuiteName(
      "com.vorlix.zel.measurement", false, env, TLWUserDefaults::initWithSuiteName("", env), monitor);
  std::shared_ptr<TLWDatabase> database;
  std::shared_ptr<TLWScheduler> scheduler = TLWScheduler::initWithWorkerQueueLabel("com.vorlix.twka.worker.group");
  std::shared_ptr<CommitCheckingHost> host = std::make_shared<CommitCheckingHost>();
  std::shared_ptr<TestSettings> settings = std::make_shared<TestSettings>();
  std::shared_ptr<TestIdentity> identity = std::make_shared<TestIdentity>();
  TLWMeasurementWritePath path;

  World() {
    persisted->setMidnightOffset(0);
    database = std::shared_ptr<TLWDatabase>(
        TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, persisted, nullptr, env, monitor));
    host->database = database;
    settings->maxCardinality = 12;
    settings->maxPublicEvents = 1500;
    settings->maxEvents = 2600;
    settings->maxRealtime = 3;
    path = TLWMeasurementWritePath::create({.database = database,
                                            .persistedConfig = persisted,
                                            .scheduler = scheduler,
                                            .host = host,
                                            .settings = settings,
                                            .identity = identity,
                                            .lifetimeValue = std::make_shared<FailingLifetimeValue>(),
                                            .env = env,
                                            .monitor = monitor});
  }
  void drainWorker() {
    for (int i = 0; i < 4; ++i) (void)scheduler->dispatchSyncOnWorkerQueueBlockID("drain", [] {});
  }
  void setProperty(int value) {
    auto attribute = TLWUserAttribute::initWithOrigin("app", "level", TLWValue::initWithInt64(value), 1700000000.0);
    ASSERT_TRUE(path.userProperties->setUserPropertyInDatabaseOnWorkerQueue(*attribute));
  }
  void denyAnalyticsStorage() {
    auto inputs = identity->rawEventMetadataInputs();
    inputs.identifiers.consentSignals = "G110";
    identity->setInputs(inputs);
  }
  // Every row of the tables the write path touches, as text.
  std::vector<std::string> snapshot() {
    std::vector<std::string> out;
    drainWorker();
    (void)scheduler->dispatchSyncOnWorkerQueueBlockID("snapshot", [&] {
      for (const char* sql : {"SELECT name, timestamp, metadata_fingerprint, data, is_realtime FROM raw_events "
                              "ORDER BY rowid",
                              "SELECT * FROM events ORDER BY name", "SELECT * FROM raw_events_metadata ORDER BY 1",
                              "SELECT origin, name, value, set_timestamp FROM user_attributes ORDER BY name",
                              "SELECT * FROM purchase_transactions ORDER BY 1",
                              "SELECT day, daily_conversions_count, daily_events_count, daily_public_events_count, "
                              "daily_error_events_count, daily_real_time_conversion_events_count FROM app_metadata"}) {
        auto rows = database->sqliteStore()->recordsForQuery(sql, {}, nullptr);
        if (!rows) continue;
        for (const auto& row : *rows) out.push_back(platform::Value(row).description());
      }
    });
    return out;
  }
};

struct GeneratedEvent {
  std::string name;
  platform::Dictionary parameters;
  double timestamp;
};

std::vector<GeneratedEvent> generateEvents(int count) {
  std::mt19937 rng(20261206);
  std::vector<GeneratedEvent> events;
  for (int i = 0; i < count; ++i) {
    const int pick = static_cast<int>(rng() % 20);
    std::string name = pick < 3 ? "purchase" : pick < 4 ? "_e" : "score_" + std::to_string(rng() % 16);
    platform::Dictionary parameters{{"seq", static_cast<long long>(i)}, {"value", static_cast<double>(rng() % 1000)}};
    if (pick == 5) {
      parameters.set(platform::Value("items"), platform::Value(platform::Array{platform::Dictionary{{"id", "a"}},
                                                                               platform::Dictionary{{"id", "b"}}}));
    }
    events.push_back({std::move(name), std::move(parameters), 1700000000.0 + i * 0.01});
  }
  return events;
}

TEST(TLWEventGroupCommitTest, GroupedEventsStoreTheSameRowsAsOneTransactionEachAndFailuresVanishWhole) {
  constexpr int kEvents = 3000;
  const auto events = generateEvents(kEvents);
  auto isPublic = [](const std::string& name) { return name[0] != '_'; };

  // One transaction per event, on the worker, with a consent change a third of the way
  // and a user property change half way: each changes the metadata of the events after it.
  World single;
  ASSERT_TRUE(single.database && single.path.eventPipeline);
  ASSERT_TRUE(single.scheduler->dispatchSyncOnWorkerQueueBlockID("single", [&] {
    for (int i = 0; i < kEvents; ++i) {
      if (i == kEvents / 3) single.denyAnalyticsStorage();
      if (i == kEvents / 2) single.setProperty(7);
      const auto& e = events[static_cast<std::size_t>(i)];
      single.path.eventPipeline->logEventOnWorkerQueueWithOrigin("app", isPublic(e.name), e.name, e.parameters,
                                                                 e.timestamp, true, false, false, nullptr, std::nullopt);
    }
  }));

  // The same calls through a backlog, pushed while the worker is held, with the changes
  // as blocks scheduled between them: the drain must stop for each, let it run, and go on
  // right after it with what the block changed.
  World grouped;
  ASSERT_TRUE(grouped.database && grouped.path.eventPipeline);
  TLWEventBacklog backlog(grouped.scheduler, kEvents);
  std::function<void()> drain = [&] {
    grouped.path.eventPipeline->drainBacklog(backlog);
    backlog.continueDrain(drain);
  };
  std::promise<void> release;
  grouped.scheduler->scheduleDrainOnWorkerQueueBlockID("hold", [held = release.get_future().share()] { held.wait(); });
  for (int i = 0; i < kEvents; ++i) {
    if (i == kEvents / 3) grouped.scheduler->scheduleOnWorkerQueueBlockID("consent", [&] { grouped.denyAnalyticsStorage(); });
    if (i == kEvents / 2) grouped.scheduler->scheduleOnWorkerQueueBlockID("property", [&] { grouped.setProperty(7); });
    const auto& e = events[static_cast<std::size_t>(i)];
    TLWEventCall call{"app", e.name, e.parameters, std::nullopt, nullptr, e.timestamp, isPublic(e.name), true,
                      false, false, 0};
    const auto pushed = backlog.push(std::move(call));
    ASSERT_NE(pushed, TLWEventBacklog::PushResult::kRefused);
    if (pushed == TLWEventBacklog::PushResult::kQueuedFirst) {
      grouped.scheduler->scheduleDrainOnWorkerQueueBlockID("test", drain);
    }
  }
  release.set_value();

  const auto expected = single.snapshot();
  EXPECT_EQ(grouped.snapshot(), expected);
  EXPECT_EQ(grouped.host->notifiedNames(), single.host->notifiedNames());
  EXPECT_EQ(grouped.host->toldInsideTransaction.load(), 0);
  EXPECT_EQ(backlog.size(), 0u);

  // The run reached the limits it was meant to, and each failed purchase left nothing.
  int purchases = 0, failed = 0;
  for (int i = 0; i < kEvents; ++i) {
    if (events[static_cast<std::size_t>(i)].name != "purchase") continue;
    ++purchases;
    if (i % 97 == 5) ++failed;
  }
  ASSERT_GT(failed, 0);
  (void)grouped.scheduler->dispatchSyncOnWorkerQueueBlockID("check", [&] {
    TLWSqliteStore& store = *grouped.database->sqliteStore();
    EXPECT_EQ(store.rowCountForTableWithName("purchase_transactions", nullptr), purchases - failed);
    auto rawEvents = store.rowCountForTableWithName("raw_events", nullptr);
    ASSERT_TRUE(rawEvents);
    EXPECT_LT(*rawEvents, kEvents);
    // Error events of the cardinality and public limits were counted too.
    EXPECT_GT(grouped.database->dailyCounts(nullptr)->errorEventsCount(), 0);
  });
}

class TLWEventBacklogTest : public PipelineFixture {};

TEST_F(TLWEventBacklogTest, ABurstPastTheCapIsRefusedCountedAndReportedWhileEverythingBelowIsStored) {
  TLWEventBacklog backlog(scheduler, 100);
  int refused = 0;
  for (int i = 0; i < 150; ++i) {
    TLWEventCall call{"app", "burst", platform::Dictionary{{"seq", static_cast<long long>(i)}}, std::nullopt, nullptr,
                      env->clock()->now(), true, true, false, false, 0};
    if (backlog.push(std::move(call)) == TLWEventBacklog::PushResult::kRefused) ++refused;
    ASSERT_LE(backlog.size(), backlog.capacity());
  }
  EXPECT_EQ(refused, 50);
  EXPECT_EQ(backlog.refusedTotal(), 50u);
  onWorker([&] { pipeline->drainBacklog(backlog); });
  EXPECT_FALSE(backlog.finishDrain());

  auto stored = storedEvents();
  ASSERT_EQ(stored.size(), 101u);
  for (int i = 0; i < 100; ++i) {
    const auto& event = *stored[static_cast<std::size_t>(i)]->rawEvent();
    EXPECT_EQ(event.name(), "burst");
    EXPECT_EQ(event.parameters().at("seq").int64Value(), i);
  }
  // Reported once drained: a log line for the monitoring data and an error event.
  EXPECT_TRUE(logged(23232));
  const auto& report = stored.back()->rawEvent()->parameters();
  EXPECT_EQ(report.at("_err").int64Value(), 8);
  EXPECT_EQ(*report.at("_ev").stringValue(), "event_backlog");
  EXPECT_EQ(report.at("_el").int64Value(), 50);
  // Counted once: a later drain reports nothing new.
  EXPECT_EQ(backlog.takeRefusedCount(), 0u);
}

TEST_F(TLWEventBacklogTest, AGroupOverTheStoredEventCapKeepsExactlyTheNewestRows) {
  struct SmallLimits : TLWLimits {
    std::int64_t maxEventsStored() const override { return 10; }
  };
  TLWLimits::setCurrent(std::make_shared<SmallLimits>());
  TLWEventBacklog backlog(scheduler, 100);
  for (int i = 0; i < 25; ++i) {
    TLWEventCall call{"app", "e" + std::to_string(i), {}, std::nullopt, nullptr, env->clock()->now(), true, true,
                      false, false, 0};
    ASSERT_NE(backlog.push(std::move(call)), TLWEventBacklog::PushResult::kRefused);
  }
  onWorker([&] { pipeline->drainBacklog(backlog); });
  TLWLimits::setCurrent(nullptr);
  std::vector<std::string> newest;
  for (int i = 15; i < 25; ++i) newest.push_back("e" + std::to_string(i));
  EXPECT_EQ(storedNames(), newest);
  EXPECT_TRUE(logged(23070));
}

TEST_F(TLWEventBacklogTest, AThrowOnTheWritePathIsTriedAgainThenReportedAndCostsNoOtherEvent) {
  TLWEventBacklog backlog(scheduler, 100);
  auto drainCalls = [&](std::vector<std::string> names, int throws, TLWEventInterceptor interceptor = nullptr) {
    for (auto& name : names) {
      TLWEventCall call{"app", std::move(name), {}, std::nullopt, interceptor, env->clock()->now(), true, true,
                        false, false, 0};
      ASSERT_NE(backlog.push(std::move(call)), TLWEventBacklog::PushResult::kRefused);
    }
    identity->throwsLeft = throws;
    onWorker([&] { pipeline->drainBacklog(backlog); });
    EXPECT_EQ(backlog.size(), 0u);
  };
  drainCalls({"passing"}, 1);           // a passing shortage: the second try stores it
  drainCalls({"lasting", "after"}, 2);  // a lasting fault: reported, the group goes on
  // An interceptor is app code: it runs once, and its throw costs nothing else.
  int intercepted = 0;
  drainCalls({"to_app"}, 0, [&](const std::string&, const std::string&, const platform::Dictionary&, double) {
    ++intercepted;
    throw std::runtime_error("app");
  });
  drainCalls({"last"}, 0);
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"passing", "after", "last"}));
  EXPECT_EQ(intercepted, 1);
  EXPECT_EQ(logCount(23253), 2);
  EXPECT_FALSE(logged(30000));
}

// A group reads the daily counts and each name's aggregates row once and writes the counts
// at its end: an event undone after it made its name's row leaves neither its count nor
// the row, and the next event of that name makes the row again.
TEST_F(TLWEventBacklogTest, AnEventUndoneInsideAGroupLeavesNoCountAndNoAggregatesRow) {
  std::atomic<int> failuresLeft{1};
  onWorker([&] {
    sqlite3* db = database->sqliteStore()->sqliteHandle();
    auto failOnce = [](sqlite3_context* context, int, sqlite3_value**) {
      sqlite3_result_int(context, static_cast<std::atomic<int>*>(sqlite3_user_data(context))->fetch_sub(1) > 0);
    };
    ASSERT_EQ(sqlite3_create_function(db, "tw_fail_once", 0, SQLITE_UTF8, &failuresLeft, failOnce, nullptr, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           "CREATE TEMP TRIGGER tw_fail BEFORE INSERT ON main.raw_events WHEN tw_fail_once() "
                           "BEGIN SELECT RAISE(ABORT, 'injected'); END",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
  });
  const TLWDailyCounts before = counts();
  host->listening = false;  // and nobody listens: no copies are handed over
  TLWEventBacklog backlog(scheduler, 10);
  for (const char* name : {"first_seen", "first_seen", "other"}) {
    TLWEventCall call{"app", name, {}, std::nullopt, nullptr, env->clock()->now(), true, true, false, false, 0};
    ASSERT_NE(backlog.push(std::move(call)), TLWEventBacklog::PushResult::kRefused);
  }
  onWorker([&] { pipeline->drainBacklog(backlog); });
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"first_seen", "other"}));
  EXPECT_EQ(counts().allEventsCount(), before.allEventsCount() + 2);
  EXPECT_EQ(counts().publicEventsCount(), before.publicEventsCount() + 2);
  std::vector<std::string> aggregates;
  onWorker([&] {
    auto rows = database->sqliteStore()->recordsForQuery("SELECT name FROM events ORDER BY name", {}, nullptr);
    ASSERT_TRUE(rows);
    for (const auto& row : *rows) aggregates.push_back(row.get("name").stringOr());
  });
  EXPECT_EQ(aggregates, (std::vector<std::string>{"first_seen", "other"}));
  EXPECT_EQ(logCount(23071), 1);
  EXPECT_TRUE(host->notifiedNames().empty());
}

// The fixture's database is opened through the fault-injecting VFS.
class TLWEventStorageFaultTest : public PipelineFixture {
 protected:
  void SetUp() override {
    faults = &SqliteFaultVfs::install();
    PipelineFixture::SetUp();
  }
  void TearDown() override {
    PipelineFixture::TearDown();
    SqliteFaultVfs::uninstall();
  }
  // The "seq" of each stored event called `name`, in row order.
  std::vector<long long> storedSeqs(const std::string& name) {
    std::vector<long long> seqs;
    for (const auto& e : storedEvents()) {
      if (e->rawEvent()->name() == name) seqs.push_back(e->rawEvent()->parameters().at("seq").int64Value());
    }
    return seqs;
  }
  // The refused-call counts of the stored backlog reports.
  std::vector<long long> storedBacklogReports() {
    std::vector<long long> counts;
    for (const auto& e : storedEvents()) {
      const auto& p = e->rawEvent()->parameters();
      if (auto it = p.find("_ev"); it != p.end() && *it->second.stringValue() == "event_backlog") {
        counts.push_back(p.at("_el").int64Value());
      }
    }
    return counts;
  }
  SqliteFaultSwitches* faults = nullptr;
};

TEST_F(TLWEventStorageFaultTest, EventsMeetingAFullOrFailingDiskWaitInMemoryAndAreStoredOnceItWorksAgain) {
  TLWEventBacklog backlog(scheduler, 40);
  std::function<void()> drain = [&] {
    pipeline->drainBacklog(backlog);
    backlog.continueDrain(drain);
  };
  long long next = 0;
  auto push = [&](int count) {
    std::vector<long long> accepted;
    for (int i = 0; i < count; ++i, ++next) {
      TLWEventCall call{"app", "level_up", platform::Dictionary{{"seq", next}}, std::nullopt, nullptr,
                        env->clock()->now(), true, true, false, false, 0};
      const auto pushed = backlog.push(std::move(call));
      if (pushed == TLWEventBacklog::PushResult::kRefused) continue;
      accepted.push_back(next);
      if (pushed == TLWEventBacklog::PushResult::kQueuedFirst) scheduler->scheduleDrainOnWorkerQueueBlockID("test", drain);
    }
    return accepted;
  };
  auto intact = [&] {
    bool ok = false;
    onWorker([&] { ok = database->sqliteStore()->validateDatabaseWithError(nullptr); });
    return ok;
  };

  struct Fault {
    const char* name;
    std::atomic<bool> SqliteFaultSwitches::*flag;
  };
  std::vector<long long> expected = push(5);
  ASSERT_EQ(expected.size(), 5u);
  int round = 0;
  for (const Fault& fault : {Fault{"no space", &SqliteFaultSwitches::noSpace},
                             Fault{"failed write", &SqliteFaultSwitches::failWrite}}) {
    SCOPED_TRACE(fault.name);
    ++round;
    ASSERT_TRUE(tw_test_support::waitFor([&] { return storedSeqs("level_up") == expected; }, std::chrono::seconds(30)));
    const auto allBefore = counts().allEventsCount();
    const auto toldBefore = host->notifiedNames().size();

    faults->faultsHit = 0;
    (faults->*fault.flag) = true;
    // The cap holds while the drain keeps calls it could not store: 40 wait, 20 are refused.
    const auto accepted = push(60);
    EXPECT_EQ(accepted.size(), 40u);
    pipeline->logErrorEventWithParameters({{"_err", TLWValue::initWithInt64(13)}});
    EXPECT_TRUE(tw_test_support::waitFor([&] { return faults->faultsHit.load() >= 4; }, std::chrono::seconds(30)))
        << "retried";
    // Tries came and went: nothing stored, nothing half-written, nobody told.
    EXPECT_EQ(storedSeqs("level_up"), expected);
    EXPECT_EQ(counts().allEventsCount(), allBefore);
    EXPECT_TRUE(intact());
    EXPECT_EQ(host->notifiedNames().size(), toldBefore);
    EXPECT_EQ(backlog.size(), 40u);
    EXPECT_TRUE(logged(23240));

    (faults->*fault.flag) = false;
    expected.insert(expected.end(), accepted.begin(), accepted.end());
    ASSERT_TRUE(tw_test_support::waitFor(
        [&] {
          return storedSeqs("level_up") == expected && storedErrorEvents(13) == round &&
                 storedBacklogReports().size() == static_cast<std::size_t>(round);
        },
        std::chrono::seconds(30)));
    // Each once: the waiting events, the internal one, and the report of the refused calls.
    EXPECT_EQ(storedBacklogReports().back(), 20);
    EXPECT_EQ(counts().allEventsCount(), allBefore + 42);
    EXPECT_EQ(host->notifiedNames().size(), toldBefore + 42);
    EXPECT_TRUE(intact());
    EXPECT_TRUE(logged(23241));
  }
}

}  // namespace
