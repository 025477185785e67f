// A normal exit through the product wiring: what the app's calls handed over is stored
// before the process ends, or the library says it could not (23237). Each case runs in a
// child process of its own, since the library starts once per process and an exit closes
// its queues for good; the child reads its database after the library's exit handler.

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "measurement/api/TLWAnalytics.h"
#include "measurement/api/TWKAnalytics.h"
#include "measurement/storage/TLWDatabase.h"
#include "platform/PropertyList.h"
#include "platform/VXLLogger.h"
#include "platform/app/Bundle.h"
#include "platform/core/TWKApp.h"
#include "platform/core/TWKOptions.h"
#include "platform/testing/TestEnvironment.h"
#include "tests/measurement/storage/SqliteFaultVfs.h"
#include "tests/support/Wait.h"

namespace {

using namespace std::chrono_literals;
using platform::Dictionary;
using platform::Value;

constexpr const char* kAppID = "1:1234567890:ios:0a1b2c3d4e5f";
constexpr int kEvents = 300;

class CodeSink : public platform::LogSink {
 public:
  void write(platform::VXLLoggerLevel, std::string_view, std::string_view code, std::string_view) override {
    std::lock_guard lock(mutex_);
    codes_.insert(std::string(code));
  }
  bool saw(const std::string& code) {
    std::lock_guard lock(mutex_);
    return codes_.contains(code);
  }

 private:
  std::mutex mutex_;
  std::set<std::string> codes_;
};

struct ExitCase {
  const char* name;
  bool refuseWrites;  // the database refuses every write from before the calls
  bool refusalEnds;   // ... until the exit begins
  bool interceptor;   // the app's interceptor drops each event and logs it again
};

// What the check after the library's exit handler reads; never destroyed.
struct Child {
  ExitCase c{};
  std::string root;
  std::string databasePath;
  std::shared_ptr<CodeSink> sink = std::make_shared<CodeSink>();
  std::atomic<int> intercepted{0};
};
Child& child() {
  static Child& instance = *new Child();
  return instance;
}

int storedEvents(const std::string& path) {
  sqlite3* db = nullptr;
  int count = -1;
  if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, "SELECT count(*) FROM raw_events WHERE name = 'level_up'", -1, &statement, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
      count = sqlite3_column_int(statement, 0);
    }
    sqlite3_finalize(statement);
  }
  sqlite3_close(db);
  return count;
}

// The child ends with _Exit (skipping the test framework's clean-up): it removes its
// sandbox and the one the shared monitor was given.
[[noreturn]] void finish(int code) {
  std::error_code ec;
  if (!child().root.empty()) std::filesystem::remove_all(child().root, ec);
  if (const char* shared = std::getenv("TALLYWISE_SANDBOX")) std::filesystem::remove_all(shared, ec);
  std::_Exit(code);
}

// Registered before the library's exit handler, so it runs after it.
void checkAfterExit() {
  Child& k = child();
  const bool gaveUp = k.sink->saw("I-ACS023237");
  if (k.c.refuseWrites && !k.c.refusalEnds) {
    std::fprintf(stderr, "gave up: %d\n", gaveUp);
    finish(gaveUp ? 0 : 1);
  }
  SqliteFaultVfs::switches().clear();
  const int stored = storedEvents(k.databasePath);
  std::fprintf(stderr, "stored %d of %d, intercepted %d, gave up: %d\n", stored, kEvents, k.intercepted.load(),
               gaveUp);
  const bool interceptedAll = !k.c.interceptor || k.intercepted.load() == kEvents;
  finish(stored == kEvents && interceptedAll && !gaveUp ? 0 : 1);
}

[[noreturn]] void runChild(const ExitCase& c) {
  Child& k = child();
  k.c = c;
  SqliteFaultSwitches& faults = SqliteFaultVfs::install();
  auto env = platform::testing::TestEnvironment::create("com.vorlix.skyforge");
  k.root = env->root();
  env->setNetworkClientFactory([](const std::string&) { return std::shared_ptr<platform::VXLNetwork>(); });
  const std::string bundleDir = env->root() + "/Skyforge.app";
  (void)env->fileSystem()->createDirectories(bundleDir);
  env->fakeProcessInfo()->setEnvironmentVariable(platform::kBundlePathEnvironmentVariable, bundleDir);
  Dictionary info{{"CFBundleIdentifier", "com.vorlix.skyforge"}, {"CFBundleShortVersionString", "3.2"}};
  auto bytes = platform::PropertyList::dataWithPropertyList(Value(info), platform::PropertyListFormat::XML);
  if (!bytes || !env->fileSystem()->writeFileAtomically(bundleDir + "/Info.plist", *bytes)) std::_Exit(10);
  platform::Environment::setCurrent(env);
  platform::VXLSetLoggerLevel(platform::VXLLoggerLevel::Debug);
  (void)platform::VXLSetLogSink(k.sink);
  k.databasePath = env->sandbox()->applicationSupportDirectory() + "/Vorlix/Measurement/" + kTLWDatabaseFileName;
  std::atexit(checkAfterExit);
  if (!platform::TWKApp::configureWithOptions(platform::TWKOptions(kAppID), env)) std::_Exit(11);
  TWKAnalytics::startWithConfiguration(Value(), platform::TWKOptions(kAppID));
  if (!TLWAnalytics::waitUntilPendingCallsStored(60s)) std::_Exit(12);

  if (c.interceptor) {
    TLWAnalytics::setLogEventInterceptor(
        [](const std::string& origin, const std::string& name, const Dictionary& parameters, double timestamp) {
          child().intercepted++;
          TLWAnalytics::logEventWithOrigin(Value(origin), true, Value(name), Value(parameters), timestamp, false,
                                           true);
        });
  }
  if (c.refuseWrites) faults.noSpace = true;
  for (int i = 0; i < kEvents; ++i) TWKAnalytics::logEventWithName("level_up", Dictionary{{"seq", i}});
  if (c.refuseWrites &&
      !tw_test_support::waitFor([&] { return k.sink->saw("I-ACS023240"); }, 60s, 1ms)) {
    std::_Exit(13);
  }
  // Registered after the library's exit handler, so it runs just before it.
  if (c.refusalEnds) std::atexit([] { SqliteFaultVfs::switches().clear(); });
  std::exit(0);
}

TEST(ExitStoresPendingCallsTest, ANormalExitStoresWhatWaitsOrSaysItCouldNot) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const ExitCase cases[] = {
      {"the database refuses writes until the exit begins", true, true, false},
      {"the database refuses writes past the exit's wait", true, false, false},
      {"an interceptor logs each event again", false, false, true},
      {"an interceptor, and the database refuses writes until the exit begins", true, true, true},
  };
  for (const ExitCase& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EXIT(runChild(c), ::testing::ExitedWithCode(0), "");
  }
}

}  // namespace
