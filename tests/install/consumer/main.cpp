// Uses the installed headers and library the way an app would, built against the shared
// and the static library: sibling libraries reach the library through the family core's
// container (its connector), and the ads component's exposures reach the library too.
#include <measurement/api/TWKAnalytics.h>
#include <measurement/api/TWKAnalyticsAliases.h>
#include <measurement/model/TLWEvent.h>
#include <measurement/reporters/TLWAdExposureReporter.h>
#include <measurement/reporters/TLWScreenViewReporting.h>
#include <platform/DispatchQueue.h>
#include <platform/Environment.h>
#include <platform/app/Application.h>
#include <platform/core/TWKAnalyticsInterop.h>
#include <platform/core/TWKApp.h>
#include <platform/core/TWKOptions.h>

#include <sqlite3.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <set>
#include <string>
#include <thread>

namespace {

// Whether the library's database in the sandbox holds an event called `name` (ad exposures
// are not handed to log-event listeners).
bool stored(const std::string& name) {
  const char* sandbox = std::getenv("TALLYWISE_SANDBOX");
  std::error_code ec;
  for (auto it = std::filesystem::recursive_directory_iterator(sandbox ? sandbox : ".", ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->path().filename() != "vorlix-tally-wise.sql") continue;
    sqlite3* db = nullptr;
    sqlite3_stmt* query = nullptr;
    bool found = false;
    if (sqlite3_open_v2(it->path().c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "SELECT count(*) FROM raw_events WHERE name = ?", -1, &query, nullptr) == SQLITE_OK &&
        sqlite3_bind_text(query, 1, name.c_str(), -1, SQLITE_TRANSIENT) == SQLITE_OK &&
        sqlite3_step(query) == SQLITE_ROW) {
      found = sqlite3_column_int64(query, 0) > 0;
    }
    sqlite3_finalize(query);
    sqlite3_close(db);
    return found;
  }
  return false;
}

}  // namespace

int main() {
  platform::TWKOptions options("1:1234567890:ios:0a1b2c3d4e5f");
  if (!platform::TWKApp::configureWithOptions(options)) return 1;
  std::mutex mutex;
  std::condition_variable heard;
  std::set<std::string> names;
  auto token = TWKAnalytics::addLogEventListener([&](const std::shared_ptr<const TLWEvent>& event) {
    std::lock_guard lock(mutex);
    names.insert(event->name());
    heard.notify_all();
  });
  // The app configured first and started the library afterwards, as apps do.
  TWKAnalytics::startWithConfiguration(nullptr, options);

  auto interop = platform::TWKApp::defaultApp()->container().instanceFor<platform::TWKAnalyticsInterop>(
      platform::kTWKAnalyticsInteropProtocol);
  if (!interop) {
    std::printf("consumer: no connector for siblings\n");
    return 1;
  }
  interop->logEventWithOrigin("fiam", "campaign_shown", platform::Dictionary{{"campaign", "winter"}});
  // Exposures count while the app is in front; the main queue runs as a game's loop would.
  // The library observes the app once its start-up ran: until then the app comes to the
  // front again.
  auto screens = TLWScreenViewReporting::sharedInstance();
  auto app = platform::Environment::current()->application();
  app->finishLaunching();
  for (int i = 0; i < 100 && !screens->isAppActive(); ++i) {
    app->becomeActive();
    (void)platform::MainRunLoop::runUntil([&] { return screens->isAppActive(); }, std::chrono::milliseconds(50));
  }
  auto ads = TWKAAdExposureReporter::sharedInstance();
  ads->beginAdUnitExposure("unit-1");
  const auto shown = std::chrono::steady_clock::now();
  (void)platform::MainRunLoop::runUntil(
      [&] { return std::chrono::steady_clock::now() - shown > std::chrono::milliseconds(1100); },
      std::chrono::seconds(2));
  ads->endAdUnitExposure("unit-1");

  std::unique_lock lock(mutex);
  const bool sibling = heard.wait_for(lock, std::chrono::seconds(20), [&] { return names.count("campaign_shown") > 0; });
  lock.unlock();
  TWKAnalytics::removeLogEventListener(token);
  bool exposure = false;
  for (int i = 0; i < 200 && !exposure; ++i) {
    exposure = stored("_xu");
    if (!exposure) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  std::printf("consumer: sibling event %s, ad exposure %s\n", sibling ? "stored" : "lost", exposure ? "stored" : "lost");
  return sibling && exposure ? 0 : 1;
}
