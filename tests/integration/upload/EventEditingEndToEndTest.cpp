// A configuration's event-editing program, served by the local measurement service, edits
// the events of the library in its own process: the batches the service receives carry
// the edits. The second run edits from the configuration stored by the first.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "tests/integration/upload/AppProcessFixture.h"
#include "tests/integration/upload/UploadSessionHarness.h"
#include "tests/support/TestDirectory.h"
#include "tests/support/Wait.h"
#include "tools/common/TLWPBJson.h"
#include "tools/script-runner/ScriptJson.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

constexpr auto kTimeout = 90s;

// On "tick": the parameter "character" becomes "hero". "ad_tap" is dropped (a cleared
// name fails validation).
constexpr const char* kProgram = R"([
  ["52", "register", ["require", "internal.registerCallback"]],
  ["register", "edit-ticks",
    ["51", "", ["7", "event"],
      ["22", ["20", ["2", ["15", "event"], "getEventName", ["7"]], "ad_tap"],
        ["46", ["2", ["15", "event"], "setEventName", ["7", ""]], ["36", 1]]],
      ["22", ["20", ["2", ["15", "event"], "getEventName", ["7"]], "tick"],
        ["46", ["2", ["15", "event"], "setParamValue", ["7", "hero", ["2", ["15", "event"], "getParamValue", ["7", "character"]]]],
               ["2", ["15", "event"], "setParamValue", ["7", "character", ["45"]]]]],
      ["36", 1]],
    ["8", "type", "edit"]]
])";

struct ArrivedEvent {
  std::string name;
  std::map<std::string, std::string> strings;
  std::optional<std::int64_t> seq;
};

class EventEditingEndToEndTest : public upload_session::AppProcessFixture {
 protected:
  EventEditingEndToEndTest() : AppProcessFixture("tlw-event-editing") {}

  void SetUp() override {
    AppProcessFixture::SetUp();
    if (HasFatalFailure()) return;
    std::string error;
    ASSERT_TRUE(writeConfiguration(&error)) << error;
  }

  // The service's configuration for the app, with the program (as the service sends it).
  bool writeConfiguration(std::string* error, const char* programJson = kProgram,
                          std::vector<std::pair<std::string, std::string>> extraSettings = {},
                          const char* audienceRegex = nullptr) {
    auto program = tools::programFromJson(nlohmann::json::parse(programJson), error);
    if (!program) return false;
    auto config = TLWPBMeasurementConfig::initWithMessageInfo();
    config->SetInt64(TLWPBMeasurementConfig::kVersion, 2);
    config->SetString(TLWPBMeasurementConfig::kAppId, upload_session::kAppID);
    std::vector<std::pair<std::string, std::string>> settings = {
        {"measurement.upload.initial_upload_delay_time", "1000"}, {"measurement.upload.max_batch_size", "10485760"}};
    settings.insert(settings.end(), extraSettings.begin(), extraSettings.end());
    for (const auto& [name, value] : settings) {
      auto setting = TLWPBSetting::initWithMessageInfo();
      setting->SetString(TLWPBSetting::kName, name);
      setting->SetString(TLWPBSetting::kValue, value);
      config->AddRepeatedMessage(TLWPBMeasurementConfig::kSettings, *setting);
    }
    config->AddRepeatedMessage(TLWPBMeasurementConfig::kDynamicEventEditing, *program);
    // 50 audiences (the most a configuration may hold) of four filters on every "tick",
    // each a distinct pattern, so a timed-out one does not stand for the others.
    for (std::int32_t id = 1; audienceRegex && id <= 50; ++id) {
      auto audience = TLWPBAudience::initWithMessageInfo();
      audience->SetInt32(TLWPBAudience::kAudienceId, id);
      for (std::int32_t f = 0; f < 4; ++f) {
        auto stringFilter = TLWPBStringFilter::initWithMessageInfo();
        stringFilter->SetInt32(TLWPBStringFilter::kMatchType, 1);
        const std::string expression = std::string(audienceRegex) + "|z{" + std::to_string(id * 4 + f) + "}";
        stringFilter->SetString(TLWPBStringFilter::kExpression, expression);
        auto filter = TLWPBFilter::initWithMessageInfo();
        filter->SetMessage(TLWPBFilter::kStringFilter, stringFilter.get());
        filter->SetString(TLWPBFilter::kParamName, "item_name");
        auto eventFilter = TLWPBEventFilter::initWithMessageInfo();
        eventFilter->SetInt32(TLWPBEventFilter::kFilterId, f);
        eventFilter->SetString(TLWPBEventFilter::kEventName, "tick");
        eventFilter->AddRepeatedMessage(TLWPBEventFilter::kFilters, *filter);
        audience->AddRepeatedMessage(TLWPBAudience::kEventFilters, *eventFilter);
      }
      config->AddRepeatedMessage(TLWPBMeasurementConfig::kAudiences, *audience);
    }
    std::ofstream out(root / "config" / (std::string(upload_session::kAppID) + ".json"));
    out << tools::messageToJson(config->messageInfo()).dump();
    return static_cast<bool>(out.flush());
  }

  // Every event of every batch the service accepted.
  std::vector<ArrivedEvent> arrived() {
    std::vector<ArrivedEvent> events;
    for (const auto& request : service->requests()) {
      if (request.path != "/a" || request.status != 204) continue;
      auto batch = TLWPBMeasurementBatch::initWithBuffer(std::string_view(request.payload()));
      if (!batch) continue;
      for (const auto& bundle : batch->GetRepeated<TLWPBMeasurementBundle>(TLWPBMeasurementBatch::kBundles)) {
        for (const auto& event : bundle->GetRepeated<TLWPBEvent>(TLWPBMeasurementBundle::kEvents)) {
          ArrivedEvent e;
          e.name = event->GetString(TLWPBEvent::kName).value_or("");
          for (const auto& param : event->GetRepeated<TLWPBEventParam>(TLWPBEvent::kParams)) {
            const std::string name = param->GetString(TLWPBEventParam::kName).value_or("");
            if (name == "seq") e.seq = param->GetInt64(TLWPBEventParam::kIntValue);
            if (auto s = param->GetString(TLWPBEventParam::kStringValue)) e.strings[name] = *s;
          }
          events.push_back(std::move(e));
        }
      }
    }
    return events;
  }

  bool ticksArrived(std::int64_t first, std::int64_t last) {
    std::set<std::int64_t> seen;
    for (const auto& e : arrived())
      if (e.name == "tick" && e.seq) seen.insert(*e.seq);
    for (std::int64_t s = first; s <= last; ++s)
      if (!seen.contains(s)) return false;
    return true;
  }

  bool configurationServed() {
    for (const auto& request : service->requests())
      if (request.path.starts_with("/config/app/") && request.status == 200) return true;
    return false;
  }
};

TEST_F(EventEditingEndToEndTest, BatchesCarryTheProgramsEditsAndLackTheDroppedEvent) {
  // First run: the configuration with the program is fetched and stored.
  launch();
  ASSERT_TRUE(app->logEvents(0, 1, kTimeout));
  ASSERT_TRUE(tw_test_support::waitFor([&] { return configurationServed() && ticksArrived(0, 0); }, kTimeout, 20ms));
  ASSERT_EQ(app->quit(kTimeout), 0);

  // Second run: the stored program edits from the first event on.
  launch();
  ASSERT_TRUE(app->logEvents(1, 3, kTimeout));
  ASSERT_TRUE(app->logEventNamed("ad_tap", kTimeout));
  ASSERT_TRUE(app->logEventNamed("level_up", kTimeout));
  // Logged after the others, so accepted only once they were handled.
  ASSERT_TRUE(app->logEvents(4, 2, kTimeout));
  ASSERT_TRUE(tw_test_support::waitFor([&] { return ticksArrived(1, 5); }, kTimeout, 20ms));
  ASSERT_EQ(app->quit(kTimeout), 0);

  int editedTicks = 0, levelUps = 0;
  for (auto& e : arrived()) {
    EXPECT_NE(e.name, "ad_tap") << "the program drops it";
    if (e.name == "level_up") ++levelUps;
    if (e.name != "tick" || !e.seq || *e.seq < 1) continue;
    EXPECT_EQ(e.strings.count("character"), 0u) << "tick " << *e.seq;
    EXPECT_EQ(e.strings["hero"], "mage") << "tick " << *e.seq;
    EXPECT_EQ(e.strings["item_name"], "Ember Blade") << "untouched parameters stay";
    ++editedTicks;
  }
  EXPECT_EQ(editedTicks, 5);
  EXPECT_EQ(levelUps, 1) << "events the program leaves alone still arrive";
}

// Renames every event, then hands a method 2^32 - 1 arguments (an array whose length was
// set so): the run fails, so every event must arrive as the app logged it.
constexpr const char* kHostileProgram = R"([
  ["52", "register", ["require", "internal.registerCallback"]],
  ["register", "hostile",
    ["51", "", ["7", "event"],
      ["2", ["15", "event"], "setEventName", ["7", "edited"]],
      ["52", "a", ["7"]], ["43", ["15", "a"], "length", 4294967295],
      ["2", "x", "toString", ["15", "a"]],
      ["36", 1]],
    ["8", "type", "edit"]]
])";

long residentKiB(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line)) {
    if (line.starts_with("VmRSS:")) return std::stol(line.substr(6));
  }
  return -1;
}

// The app's resident memory may grow by 64 MiB at most; a sanitizer build of the app keeps
// freed memory in quarantine and adds shadow memory, so it gets four times that.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kGrowthAllowanceKiB = 4 * 64 * 1024;
constexpr auto kStoredWithin = 3s;
#else
constexpr long kGrowthAllowanceKiB = 64 * 1024;
constexpr auto kStoredWithin = 1s;
#endif

TEST_F(EventEditingEndToEndTest, AHostileConfigurationCostsNoEventNoSpinAndLittleMemory) {
  std::string error;
  // An engagement interval of 0 would re-arm its timer without pause; the audiences'
  // pattern backtracks exponentially on "Ember Blade".
  ASSERT_TRUE(writeConfiguration(&error, kHostileProgram, {{"measurement.session.event_user_engagement_interval", "0"}},
                                 "^(.|.|.|.|.|.|.|.)*B$"))
      << error;
  // First run: the configuration is fetched and stored.
  launch();
  ASSERT_TRUE(app->logEvents(0, 1, kTimeout));
  ASSERT_TRUE(tw_test_support::waitFor([&] { return configurationServed() && ticksArrived(0, 0); }, kTimeout, 20ms));
  ASSERT_EQ(app->quit(kTimeout), 0);

  // Second run: the stored program fails on every event, bundles run the patterns. Each
  // event is logged alone and stored (heard by the app's listener) within a second.
  launch();
  ASSERT_TRUE(app->logEvents(1, 1, kTimeout));
  const long startKiB = residentKiB(app->pid());
  ASSERT_GT(startKiB, 0);
  auto slowest = std::chrono::steady_clock::duration::zero();
  for (std::int64_t seq = 2; seq < 202; ++seq) {
    const auto started = std::chrono::steady_clock::now();
    ASSERT_TRUE(app->logEvents(seq, 1, kTimeout));
    slowest = std::max(slowest, std::chrono::steady_clock::now() - started);
  }
  EXPECT_LT(slowest, kStoredWithin) << "slowest event to be stored";
  ASSERT_TRUE(tw_test_support::waitFor([&] { return ticksArrived(0, 201); }, kTimeout, 20ms));
  ASSERT_EQ(app->quit(kTimeout), 0);
  EXPECT_LT(app->usage().ru_maxrss - startKiB, kGrowthAllowanceKiB) << "peak resident memory over the start";
  EXPECT_TRUE(appLogged("I-ACS009009")) << "the patterns ran out of time";

  int engagements = 0;
  for (const auto& e : arrived()) {
    EXPECT_NE(e.name, "edited") << "a failed run leaves the event as it was";
    if (e.name == "_e") ++engagements;
  }
  EXPECT_LE(engagements, 10) << "the engagement timer does not spin";
}

}  // namespace
