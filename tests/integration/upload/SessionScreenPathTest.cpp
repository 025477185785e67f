// Sessions, engagement and screen views over the whole path: the library in its own
// process, driven through the application lifecycle and view-controller transitions,
// and what the local measurement service receives.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "tests/integration/upload/AppProcessFixture.h"
#include "tests/integration/upload/UploadSessionHarness.h"
#include "tests/support/TestDirectory.h"
#include "tests/support/Wait.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;
constexpr auto kTimeout = 90s;

struct Arrived {
  std::string name;
  std::map<std::string, std::int64_t> ints;
  std::map<std::string, std::string> strings;
  std::optional<std::int64_t> bundleSessionID;  // the "_sid" user attribute of its bundle
};

class SessionScreenPathTest : public upload_session::AppProcessFixture {
 protected:
  SessionScreenPathTest() : AppProcessFixture("tlw-session-screen") {}

  void perform(const std::string& command) { ASSERT_TRUE(app->perform(command, kTimeout)) << command; }

  // The automatic and screen events in the batches the service accepted, in order.
  std::vector<Arrived> arrived() {
    std::vector<Arrived> out;
    for (const auto& request : service->requests()) {
      if (request.path != "/a" || request.status != 204) continue;
      auto batch = TLWPBMeasurementBatch::initWithBuffer(std::string_view(request.payload()));
      if (!batch) continue;
      for (const auto& bundle : batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles)) {
        std::optional<std::int64_t> sid;
        for (const auto& attribute : bundle->GetRepeated<TLWPBUserAttribute>(TLWPBMeasurementBundle::kUserAttributes))
          if (attribute->GetString(TLWPBUserAttribute::kName).value_or("") == "_sid")
            sid = attribute->GetInt64(TLWPBUserAttribute::kIntValue);
        for (const auto& event : bundle->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents)) {
          Arrived a{event->GetString(TLWPBEvent::kName).value_or(""), {}, {}, sid};
          if (a.name != "_s" && a.name != "_vs" && a.name != "_e" && a.name != "_ab") continue;
          for (const auto& param : event->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
            const std::string name = param->GetString(TLWPBEventParam::kName).value_or("");
            if (auto s = param->GetString(TLWPBEventParam::kStringValue)) {
              a.strings[name] = *s;
            } else {
              a.ints[name] = param->GetInt64(TLWPBEventParam::kIntValue);
            }
          }
          out.push_back(std::move(a));
        }
      }
    }
    return out;
  }
  std::vector<Arrived> named(const std::string& name) {
    std::vector<Arrived> out;
    for (auto& a : arrived())
      if (a.name == name) out.push_back(a);
    return out;
  }
  bool arrivedCount(const std::string& name, std::size_t count) {
    return tw_test_support::waitFor([&] { return named(name).size() >= count; }, kTimeout, 50ms);
  }
};

TEST_F(SessionScreenPathTest, LifecycleAndScreensArriveAsSessionScreenViewEngagementAndBackgroundEvents) {
  launch();
  // An accepted event says the engine is up, with its session reporter.
  ASSERT_TRUE(app->logEvents(0, 1, kTimeout));
  perform("active");
  perform("screen Skyforge.MainMenuController");
  perform("screen Skyforge.LevelController");
  perform("appscreen Victory");  // the app's own screen view used to vanish
  perform("background");
  ASSERT_TRUE(arrivedCount("_ab", 1));
  ASSERT_TRUE(arrivedCount("_vs", 3));

  auto starts = named("_s");
  ASSERT_EQ(starts.size(), 1u);
  const std::int64_t sid = starts[0].ints["_sid"];
  EXPECT_EQ(starts[0].ints["_sno"], 1);

  auto views = named("_vs");
  ASSERT_EQ(views.size(), 3u);
  EXPECT_EQ(views[0].strings["_sc"], "MainMenuController");
  EXPECT_EQ(views[1].strings["_sc"], "LevelController");
  EXPECT_EQ(views[1].strings["_pc"], "MainMenuController");
  EXPECT_EQ(views[1].ints["_pi"], views[0].ints["_si"]);
  EXPECT_EQ(views[2].strings["_sn"], "Victory");
  EXPECT_EQ(views[2].strings["_pc"], "LevelController");
  EXPECT_EQ(views[2].strings["_o"], "app");

  auto engagement = named("_e");
  ASSERT_FALSE(engagement.empty());
  EXPECT_GE(engagement.back().ints["_et"], 0);
  for (const auto& a : arrived()) {
    ASSERT_TRUE(a.bundleSessionID) << a.name;
    EXPECT_EQ(*a.bundleSessionID, sid) << a.name;
  }

  // The next process counts on; with no timeout the return to the foreground starts it.
  EXPECT_EQ(app->quit(kTimeout), 0);
  launch();
  ASSERT_TRUE(app->logEvents(1, 1, kTimeout));
  perform("timeout 0");
  ASSERT_TRUE(app->logEvents(2, 1, kTimeout));  // the timeout has reached the reporter
  perform("active");
  ASSERT_TRUE(arrivedCount("_s", 2));
  EXPECT_EQ(named("_s")[1].ints["_sno"], 2);

  // A wipe numbers sessions from the start again.
  ASSERT_TRUE(app->resetAnalyticsData(kTimeout));
  ASSERT_TRUE(app->logEvents(3, 1, kTimeout));  // after the wipe
  perform("background");
  perform("active");
  ASSERT_TRUE(arrivedCount("_s", 3));
  std::string numbers;
  for (auto& start : named("_s")) numbers += std::to_string(start.ints["_sno"]) + " ";
  EXPECT_EQ(named("_s")[2].ints["_sno"], 1) << numbers;
}

// The app's own "screen_view" logged the moment the library starts (before its engine
// exists) arrives as "_vs" in every launch: each launch is a new process, a new race.
TEST_F(SessionScreenPathTest, AnAppScreenViewRightAfterStartArrivesInEveryLaunch) {
  constexpr int kLaunches = 6;
  for (int i = 0; i < kLaunches; ++i) {
    launch();
    perform("appscreen Lobby" + std::to_string(i));
    ASSERT_TRUE(app->logEvents(i, 1, kTimeout));
    EXPECT_EQ(app->quit(kTimeout), 0);
  }
  launch();
  ASSERT_TRUE(app->logEvents(kLaunches, 1, kTimeout));  // uploads what the last launch stored
  ASSERT_TRUE(arrivedCount("_vs", kLaunches));
  std::set<std::string> names;
  for (auto& view : named("_vs")) names.insert(view.strings["_sn"]);
  for (int i = 0; i < kLaunches; ++i) EXPECT_TRUE(names.count("Lobby" + std::to_string(i))) << i;
}

// Every file the library makes in the app's sandbox is the owner's alone (0600) in folders
// only the owner enters (0700), after a run that stores, bundles, uploads and fetches.
TEST_F(SessionScreenPathTest, EverythingInTheSandboxIsOwnerOnly) {
  launch();
  ASSERT_TRUE(app->logEvents(0, 20, kTimeout));
  perform("active");
  perform("screen Skyforge.MainMenuController");
  perform("background");
  ASSERT_TRUE(arrivedCount("_ab", 1));
  EXPECT_EQ(app->quit(kTimeout), 0);
  std::vector<std::string> exposed;
  std::size_t files = 0;
  for (const auto& entry : fs::recursive_directory_iterator(root / "sandbox")) {
    const auto permissions = entry.symlink_status().permissions() & fs::perms::all;
    const bool directory = entry.is_directory();
    files += directory ? 0 : 1;
    const auto expected = directory ? fs::perms::owner_all : fs::perms::owner_read | fs::perms::owner_write;
    if (permissions != expected) exposed.push_back(fs::relative(entry.path(), root).string());
  }
  EXPECT_GE(files, 4u) << "preferences, keychain and the two databases at least";
  EXPECT_TRUE(exposed.empty()) << [&] {
    std::string all;
    for (const auto& path : exposed) all += path + "\n";
    return all;
  }();
}

}  // namespace
