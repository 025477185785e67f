// Event editing by a configuration's program: callbacks, their priorities and results,
// created events, load errors, and what a failing program leaves.
#include <gtest/gtest.h>

#include "measurement/script/TLWPEventEditing.h"
#include "tools/script-runner/ScriptJson.h"

namespace {

// register(<callback>, {"type": <type>, "priority": <p>}) with a callback body.
std::string callback(const std::string& type, const std::string& body, const std::string& priority = "") {
  return R"(["register", "cb", ["51", "", ["7", "event"], )" + body + R"(], ["8", "type", ")" + type + R"(")" +
         (priority.empty() ? "" : R"(, "priority", )" + priority) + "]]";
}

const std::string kRequire = R"(["52", "register", ["require", "internal.registerCallback"]],
                               ["52", "logEvent", ["require", "internal.eventLogger"]])";
const std::string kRename = R"(["2", ["15", "event"], "setEventName", ["7", ["0", ["2", ["15", "event"], "getEventName", ["7"]], "_x"]]])";

std::shared_ptr<TLWPEventEditing> load(const std::string& statements, TLWError* error = nullptr,
                                       const std::string& activities = "") {
  std::string text = R"({"instructions": [)" + kRequire + (statements.empty() ? "" : ", " + statements) + "]";
  if (!activities.empty()) text += R"(, "activities": )" + activities;
  text += "}";
  std::string problem;
  auto program = tools::programFromJson(nlohmann::json::parse(text), &problem);
  EXPECT_TRUE(program) << problem;
  auto editing = std::make_shared<TLWPEventEditing>();
  TLWError ignored;
  if (!editing->loadProgram(*program, error ? error : &ignored)) return nullptr;
  return editing;
}

TLWEvent::EditForm event() {
  return {"level_up", 1765000000.5, platform::Dictionary{{"level", 5}, {"hero", "mage"}, {"_o", "app"}}};
}

TEST(TLWPEventEditingTest, CallbackResultsDecideWhetherEditsStand) {
  struct Row {
    std::string program;
    std::string expectedName;
  };
  const Row rows[] = {
      {callback("edit", kRename + R"(, ["36", 1])"), "level_up_x"},
      {callback("edit", kRename + R"(, ["36", 2])"), "level_up"},
      {callback("edit", kRename + R"(, ["36", "1"])"), "level_up"},
      {callback("edit", kRename), "level_up"},
      // Same priority: both run, the second after the first.
      {callback("edit", kRename + R"(, ["36", 0])", "5") + ", " + callback("edit", kRename + R"(, ["36", 0])", "5"),
       "level_up_x_x"},
  };
  for (const auto& row : rows) {
    auto editing = load(row.program);
    ASSERT_TRUE(editing) << row.program;
    auto applied = editing->handleEvent(event(), nullptr);
    ASSERT_TRUE(applied) << row.program;
    EXPECT_EQ(editing->eventContext().outputEvent.name, row.expectedName) << row.program;
    EXPECT_EQ(*applied, row.expectedName != "level_up");
    EXPECT_EQ(editing->hasEdits(), row.expectedName != "level_up");
  }
}

TEST(TLWPEventEditingTest, AFailingCallbackLeavesTheEventAndStopsLaterCallbacks) {
  // Priority 1 renames then fails; priority 2 would rename again.
  auto editing = load(callback("edit", kRename + R"(, ["3", "undeclared", 1])", "1") + ", " +
                      callback("create", R"(["logEvent", "made", 1, ["8"]])", "2"));
  ASSERT_TRUE(editing);
  TLWError error;
  EXPECT_FALSE(editing->handleEvent(event(), &error));
  EXPECT_EQ(error.domain(), kTLWPErrorDomain);
  EXPECT_EQ(error.code(), 2);
  EXPECT_EQ(editing->eventContext().outputEvent.name, "level_up");
  EXPECT_FALSE(editing->hasEdits());
  EXPECT_FALSE(editing->hasCreatedEvents());
  // The next event fails the same way, with a fresh budget.
  EXPECT_FALSE(editing->handleEvent(event(), &error));
}

TEST(TLWPEventEditingTest, ParametersAreReadChangedAndDropped) {
  // character = hero; hero = null (dropped); score = level * 10; tags = [1, "a", true]
  const std::string body = R"(["2", ["15", "event"], "setParamValue", ["7", "character", ["2", ["15", "event"], "getParamValue", ["7", "hero"]]]],
      ["2", ["15", "event"], "setParamValue", ["7", "hero", ["45"]]],
      ["2", ["15", "event"], "setParamValue", ["7", "score", ["26", ["2", ["15", "event"], "getParamValue", ["7", "level"]], 10]]],
      ["2", ["15", "event"], "setParamValue", ["7", "ratio", ["10", ["17", ["2", ["15", "event"], "getParams", ["7"]], "level"], 2]]],
      ["2", ["15", "event"], "setParamValue", ["7", "stamp", ["2", ["15", "event"], "getTimestamp", ["7"]]]],
      ["36", 1])";
  auto editing = load(callback("edit", body));
  ASSERT_TRUE(editing);
  ASSERT_TRUE(editing->handleEvent(event(), nullptr));
  const platform::Dictionary& p = editing->eventContext().outputEvent.parameters;
  EXPECT_EQ(p.get("character"), platform::Value("mage"));
  EXPECT_FALSE(p.contains("hero"));
  EXPECT_EQ(p.get("score"), platform::Value(50));
  EXPECT_TRUE(p.get("score").isInteger());
  EXPECT_EQ(p.get("ratio"), platform::Value(2.5));
  EXPECT_EQ(p.get("stamp"), platform::Value(1765000000.5));
  EXPECT_EQ(p.get("_o"), platform::Value("app"));

  // A function cannot become a parameter: error 13, event unchanged.
  auto bad = load(callback("edit", R"(["2", ["15", "event"], "setParamValue", ["7", "f", ["51", "", ["7"]]]], ["36", 1])"));
  ASSERT_TRUE(bad);
  TLWError error;
  EXPECT_FALSE(bad->handleEvent(event(), &error));
  EXPECT_EQ(error.code(), 13);
  EXPECT_FALSE(bad->eventContext().outputEvent.parameters.contains("f"));
}

TEST(TLWPEventEditingTest, CreateCallbacksLogEventsWithoutEditing) {
  auto editing = load(callback("create", R"(["logEvent", "bonus", ["26", ["2", ["15", "event"], "getTimestamp", ["7"]], 1], ["8", "amount", 3, "_o", "auto"]])"));
  ASSERT_TRUE(editing);
  auto applied = editing->handleEvent(event(), nullptr);
  ASSERT_TRUE(applied);
  EXPECT_TRUE(*applied);
  EXPECT_FALSE(editing->hasEdits());
  ASSERT_TRUE(editing->hasCreatedEvents());
  const auto& created = editing->eventContext().eventsToLog.front();
  EXPECT_EQ(created.name, "bonus");
  EXPECT_EQ(created.timestamp, 1765000000.0);
  EXPECT_EQ(created.parameters.get("amount"), platform::Value(3));
  EXPECT_EQ(created.parameters.get("_o"), platform::Value("auto"));
  // The next event starts with nothing logged.
  ASSERT_TRUE(editing->handleEvent(event(), nullptr));
  EXPECT_EQ(editing->eventContext().eventsToLog.size(), 1u);
}

TEST(TLWPEventEditingTest, LoadErrors) {
  struct Row {
    std::string statements;
    std::string activities;
    std::string domain;
    std::int64_t code;
  };
  const std::string editing(kTLWPEditingErrorDomain), runtime(kTLWPErrorDomain);
  const Row rows[] = {
      {R"(["register", "cb", ["51", "", ["7"]], ["8"]])", "", editing, 2},
      {R"(["register", "cb", ["51", "", ["7"]], ["8", "type", "delete"]])", "", editing, 3},
      {R"(["36", 1])", "", editing, 5},
      {"", R"([{"name": "rule", "data": [5]}])", editing, 6},
      {R"(["register", "cb", 1, ["8", "type", "edit"]])", "", runtime, 10},
      {R"(["register", "cb", ["51", "", ["7"]]])", "", runtime, 9},
      {R"(["3", "nope", 1])", "", runtime, 2},
  };
  for (const auto& row : rows) {
    TLWError error;
    EXPECT_FALSE(load(row.statements, &error, row.activities)) << row.statements << row.activities;
    EXPECT_EQ(error.domain(), row.domain) << row.statements << row.activities;
    EXPECT_EQ(error.code(), row.code) << row.statements << row.activities;
  }

  // The 1001st callback.
  TLWError error;
  EXPECT_FALSE(load(R"(["41", "i"], ["3", "i", 0], ["42", ["23", ["15", "i"], 1001], ["3", "i", ["0", ["15", "i"], 1]], false,
      ["46", ["register", "cb", ["51", "", ["7"]], ["8", "type", "edit"]]]])",
                    &error));
  EXPECT_EQ(error.domain(), editing);
  EXPECT_EQ(error.code(), 4);
}

TEST(TLWPEventEditingTest, ActivitiesHandTheirRulesToTheProgramsFunction) {
  // function rename(rule) { register(e => e.setEventName(rule.to) ...) }
  auto editing = load(R"(["50", "rename", ["7", "rule"],
      ["register", "cb", ["51", "", ["7", "event"], ["2", ["15", "event"], "setEventName", ["7", ["16", ["15", "rule"], "to"]]], ["36", 1]],
        ["8", "type", "edit"]]])",
                      nullptr, R"([{"name": "rename", "data": [["8", "to", "renamed"]]}])");
  ASSERT_TRUE(editing);
  EXPECT_EQ(editing->callbackCount(), 1u);
  ASSERT_TRUE(editing->handleEvent(event(), nullptr));
  EXPECT_EQ(editing->eventContext().outputEvent.name, "renamed");
}

TEST(TLWPEventEditingTest, FactoryOffersTheConfigurationsModules) {
  TLWEventEditingModules modules;
  modules.remoteConfigValue = [](std::string_view key) -> std::optional<std::string> {
    if (key == "measurement.suffix") return "_v2";
    return std::nullopt;
  };
  modules.appMetadata.set("zel_version", 80901);
  std::vector<std::pair<std::int64_t, std::string>> logged;
  modules.logger = [&](std::int64_t level, std::string_view message) { logged.emplace_back(level, message); };
  std::string problem;
  auto program = tools::programFromJson(nlohmann::json::parse(R"([
      ["52", "config", ["require", "internal.remoteConfig"], "meta", ["require", "internal.appMetadata"],
             "logger", ["require", "internal.logger"], "register", ["require", "internal.registerCallback"]],
      ["2", ["15", "logger"], "log", ["7", 3, "loaded", "a", "b"]],
      ["2", ["15", "logger"], "log", ["7", "plain"]],
      ["register", "cb", ["51", "", ["7", "event"],
        ["2", ["15", "event"], "setParamValue", ["7", "suffix", ["2", ["15", "config"], "getValue", ["7", "measurement.suffix", "none"]]]],
        ["2", ["15", "event"], "setParamValue", ["7", "missing", ["2", ["15", "config"], "getValue", ["7", "measurement.other", "none"]]]],
        ["2", ["15", "event"], "setParamValue", ["7", "lib", ["2", ["15", "meta"], "getValue", ["7", "zel_version", 0]]]],
        ["36", 1]], ["8", "type", "edit"]]
  ])"),
                                        &problem);
  ASSERT_TRUE(program) << problem;
  TLWPEventEditorFactory factory;
  auto editor = factory.makeEditor(*program, modules, nullptr);
  ASSERT_TRUE(editor);
  ASSERT_TRUE(editor->handleEvent(event(), nullptr));
  const auto& p = editor->eventContext().outputEvent.parameters;
  EXPECT_EQ(p.get("suffix"), platform::Value("_v2"));
  EXPECT_EQ(p.get("missing"), platform::Value("none"));
  EXPECT_EQ(p.get("lib"), platform::Value(80901));
  ASSERT_EQ(logged.size(), 2u);
  EXPECT_EQ(logged[0], (std::pair<std::int64_t, std::string>{3, "loaded (a, b)"}));
  EXPECT_EQ(logged[1], (std::pair<std::int64_t, std::string>{4, "plain"}));
}

}  // namespace

namespace {

TEST(TLWPEventEditingTest, AProgramThatKeepsGrowingIsUnloadedOnceAndLaterEventsPassUnedited) {
  // Each event keeps a new string of about 4 K code units in a global array.
  auto editing = load(R"(["52", "kept", ["7"]], ["41", "s", "i"], ["3", "s", "x"], ["3", "i", 0],
      ["42", ["23", ["15", "i"], 12], ["3", "i", ["0", ["15", "i"], 1]], false, ["46", ["3", "s", ["0", ["15", "s"], ["15", "s"]]]]], )" +
                      callback("edit", R"(["2", ["15", "kept"], "push", ["7", ["0", ["15", "s"], ["17", ["15", "kept"], "length"]]]], )" +
                                           kRename + R"(, ["36", 1])"));
  ASSERT_TRUE(editing);
  std::vector<std::string> logged;
  editing->setLogger([&logged](std::int64_t, std::string_view message) { logged.emplace_back(message); });
  int unloadedAt = -1;
  for (int i = 0; i < 3000; ++i) {
    TLWError error;
    auto applied = editing->handleEvent(event(), &error);
    ASSERT_TRUE(applied) << i;
    const bool edited = editing->eventContext().outputEvent.name == "level_up_x";
    EXPECT_EQ(*applied, edited) << i;
    if (unloadedAt < 0 && !edited) unloadedAt = i;
    if (unloadedAt >= 0) {
      ASSERT_FALSE(edited) << "edited again at " << i << " after unloading at " << unloadedAt;
    }
  }
  // 4 MiB of 8 KiB strings: about 500 events.
  EXPECT_GT(unloadedAt, 100);
  EXPECT_LT(unloadedAt, 1000);
  EXPECT_EQ(logged.size(), 1u);
  // What it kept went with it.
  EXPECT_LT(editing->runtime().runState().retainedUnits(), TLWPRunState::kRetainedBudget / 16);
}

}  // namespace
