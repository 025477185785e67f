// The inspector's db and plist commands on real files: a database that another process
// (the library's storage) holds open, and property lists as the platform writes them.

#include "tools/inspector/StoreDump.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <ctime>
#include <fstream>
#include <set>
#include <sstream>

#include "platform/PropertyList.h"
#include "tests/support/TestDirectory.h"
#include "tools/inspector/Inspector.h"

extern char** environ;

namespace {

using nlohmann::json;
namespace fs = std::filesystem;

struct Outcome {
  int status;
  std::string out, err;
};

Outcome inspect(const std::vector<std::string>& args) {
  std::istringstream in;
  std::ostringstream out, err;
  int status = tools::runInspector(args, in, out, err);
  return {status, out.str(), err.str()};
}

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::set<std::string> filesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.insert(entry.path().filename().string());
  return names;
}

// The writer's times: recent, so that nothing it stores is old enough to be deleted.
const std::int64_t kBase = ::time(nullptr) / 60 * 60 - 3600;

std::string utc(std::int64_t seconds, int millis) {
  time_t t = static_cast<time_t>(seconds);
  struct tm parts {};
  gmtime_r(&t, &parts);
  char text[64];
  std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &parts);
  return text + (millis < 100 ? std::string(".0") + (millis < 10 ? "0" : "") : ".") + std::to_string(millis) + "Z";
}

// The writer process, talked to line by line.
class Writer {
 public:
  explicit Writer(const fs::path& sandbox) {
    int in[2], out[2];
    if (::pipe(in) != 0 || ::pipe(out) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_addclose(&actions, in[1]);
    posix_spawn_file_actions_addclose(&actions, out[0]);
    std::string root = sandbox.string(), base = std::to_string(kBase);
    char* argv[] = {const_cast<char*>(TW_INSPECTOR_DB_WRITER), root.data(), base.data(), nullptr};
    if (posix_spawn(&pid_, TW_INSPECTOR_DB_WRITER, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(in[0]);
    ::close(out[1]);
    toWriter_ = in[1];
    fromWriter_ = ::fdopen(out[0], "r");
  }
  ~Writer() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (fromWriter_) std::fclose(fromWriter_);
    if (toWriter_ >= 0) ::close(toWriter_);
  }
  std::string readLine() {
    char line[256] = {};
    if (!fromWriter_ || !std::fgets(line, sizeof line, fromWriter_)) return "";
    return line;
  }
  bool send(const std::string& line) {
    return ::write(toWriter_, line.data(), line.size()) == static_cast<ssize_t>(line.size());
  }
  // Ends its input and returns its exit status.
  int finish() {
    ::close(toWriter_);
    toWriter_ = -1;
    int status = 0;
    ::waitpid(pid_, &status, 0);
    pid_ = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }

 private:
  pid_t pid_ = -1;
  int toWriter_ = -1;
  FILE* fromWriter_ = nullptr;
};

const json* byName(const json& list, const std::string& name) {
  for (const auto& item : list) {
    if (item.value("name", std::string()) == name) return &item;
  }
  return nullptr;
}

TEST(StoreDumpTest, ADatabaseARunningAppHoldsOpenIsReadThroughItsLogAndLeftAsItWas) {
  const fs::path sandbox = tw_test_support::freshTestDirectory("inspector-db");
  const fs::path folder = sandbox / "Library/Application Support/Vorlix/Measurement";
  const std::string path = (folder / "vorlix-tally-wise.sql").string();
  Writer writer(sandbox);
  ASSERT_EQ(writer.readLine(), "ready\n");
  // What the app wrote sits in the log, not yet in the database file.
  ASSERT_GT(fs::file_size(path + "-wal"), 0u);
  const std::string databaseBefore = readFile(path), logBefore = readFile(path + "-wal");
  const auto filesBefore = filesIn(folder);

  Outcome run = inspect({"db", path, "--json"});
  ASSERT_EQ(run.status, 0) << run.err;
  json dump = json::parse(run.out);
  EXPECT_NE(dump["read"].get<std::string>().find("write-ahead log"), std::string::npos);
  ASSERT_EQ(dump["raw_events"].size(), 1u);
  const json& event = dump["raw_events"][0];
  EXPECT_EQ(event["name"], "level_up");
  EXPECT_EQ(event["timestamp_utc"], utc(kBase, 250));
  EXPECT_EQ(event["realtime"], true);
  ASSERT_TRUE(byName(event["params"], "level") && byName(event["params"], "hero"));
  EXPECT_EQ((*byName(event["params"], "level"))["int_value"], 5);
  EXPECT_EQ((*byName(event["params"], "hero"))["string_value"], "mage");
  ASSERT_EQ(dump["event_metadata"].size(), 1u);
  EXPECT_EQ(dump["event_metadata"][0]["metadata_fingerprint"], event["metadata_fingerprint"]);
  EXPECT_EQ(dump["event_metadata"][0]["bundle"]["app_instance_id"], "instance-7");
  ASSERT_EQ(dump["queued_bundles"].size(), 1u);
  EXPECT_EQ(dump["queued_bundles"][0]["bundle"]["bundle_sequence_index"], 4);
  EXPECT_EQ(dump["queued_bundles"][0]["bundle"]["events"][0]["name"], "queued_event");
  EXPECT_EQ(dump["user_properties"], (json{{{"name", "favorite_hero"}, {"value", "mage"}, {"origin", "app"},
                                           {"set_timestamp", kBase + 2.0}, {"set_timestamp_utc", utc(kBase + 2, 0)}}}));
  ASSERT_EQ(dump["conditional_user_properties"].size(), 1u);
  const json& conditional = dump["conditional_user_properties"][0];
  EXPECT_EQ(conditional["name"], "vip_player");
  EXPECT_EQ(conditional["trigger_event_name"], "level_end");
  EXPECT_EQ(conditional["time_to_live"], 3600.0);
  EXPECT_EQ(conditional["triggered_event"]["name"], "vip_unlocked");
  EXPECT_EQ(dump["daily_counts"]["daily_events_count"], 1);
  EXPECT_EQ(dump["configuration"]["config"]["version"], 77);
  EXPECT_EQ(dump["counts"]["raw_events"], 1);

  // Nothing changed beside the app's files, and the app goes on writing.
  EXPECT_EQ(readFile(path), databaseBefore);
  EXPECT_EQ(readFile(path + "-wal"), logBefore);
  EXPECT_EQ(filesIn(folder), filesBefore);
  ASSERT_TRUE(writer.send("after_inspection\n"));
  ASSERT_EQ(writer.readLine(), "ok\n");
  Outcome text = inspect({"db", path});
  ASSERT_EQ(text.status, 0) << text.err;
  for (const std::string& line : {std::string("raw_events (2):\n"), "  #1 level_up at " + utc(kBase, 250) + ", metadata ",
                                  std::string("    hero = \"mage\"\n"), std::string("    level = 5\n"),
                                  " after_inspection at " + utc(kBase + 11, 0), std::string("user_properties (1):\n")}) {
    EXPECT_NE(text.out.find(line), std::string::npos) << line << "\n" << text.out;
  }
  Outcome limited = inspect({"db", path, "--json", "--limit", "1"});
  ASSERT_EQ(limited.status, 0);
  EXPECT_EQ(json::parse(limited.out)["raw_events"].size(), 1u);

  // Closed by the app, the file is read alone, and still no log or index appears.
  ASSERT_EQ(writer.finish(), 0);
  ASSERT_FALSE(fs::exists(path + "-wal"));
  const auto filesClosed = filesIn(folder);
  Outcome closed = inspect({"db", path, "--json"});
  ASSERT_EQ(closed.status, 0) << closed.err;
  EXPECT_EQ(json::parse(closed.out)["raw_events"].size(), 2u);
  EXPECT_EQ(filesIn(folder), filesClosed);
  fs::remove_all(sandbox);
}

TEST(StoreDumpTest, MissingCorruptAndForeignFilesFailWithTheirReason) {
  const fs::path root = tw_test_support::freshTestDirectory("inspector-bad");
  std::ofstream(root / "text") << "hello, not a database at all";
  {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root / "foreign.sql").c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "CREATE TABLE t (x); INSERT INTO t VALUES (1)", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(db);
  }
  // A real header over pages that are not there.
  std::ofstream(root / "truncated.sql", std::ios::binary) << readFile(root / "foreign.sql").substr(0, 100)
                                                          << std::string(4000, '\x55');
  struct Case {
    const char* command;
    std::string file;
    int status;
    const char* reason;
  };
  for (const Case& c : {Case{"db", "missing.sql", 1, "cannot open"}, Case{"db", "text", 2, "not an SQLite file"},
                        Case{"db", "foreign.sql", 2, "not a measurement database: no table app_metadata"},
                        Case{"db", "truncated.sql", 2, "not a measurement database"},
                        Case{"db", ".", 1, "not a regular file"}, Case{"plist", "missing.plist", 1, "cannot open"},
                        Case{"plist", "text", 2, "is not a property list"}}) {
    Outcome r = inspect({c.command, (root / c.file).string()});
    EXPECT_EQ(r.status, c.status) << c.file << ": " << r.err;
    EXPECT_NE(r.err.find(c.reason), std::string::npos) << c.file << ": " << r.err;
    EXPECT_NE(r.err.find(c.file == "." ? root.string() : c.file), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
  }
  EXPECT_EQ(filesIn(root), (std::set<std::string>{"foreign.sql", "text", "truncated.sql"}));
  fs::remove_all(root);
}

TEST(StoreDumpTest, PreferenceSuitesAndTheKeychainPrintInEitherPlistFormat) {
  const fs::path root = tw_test_support::freshTestDirectory("inspector-plist");
  platform::Dictionary suite{{"level", 5}, {"hero", "mage"}, {"enabled", true}};
  suite.set("when", platform::Value::date(1700000000));
  suite.set("items", platform::Value::array({platform::Value("a"), platform::Value(2.5)}));
  const platform::Value keychain(platform::Dictionary{
      {"com.vorlix.zel", platform::Dictionary{{"installation", platform::Value::data("fid-123")},
                                              {"token", platform::Value::data(std::string("\x00\xff", 2))}}}});
  for (auto format : {platform::PropertyListFormat::Binary, platform::PropertyListFormat::XML}) {
    const fs::path suitePath = root / "suite.plist", keychainPath = root / "keychain.plist";
    std::ofstream(suitePath, std::ios::binary) << *platform::PropertyList::dataWithPropertyList(platform::Value(suite), format);
    std::ofstream(keychainPath, std::ios::binary) << *platform::PropertyList::dataWithPropertyList(keychain, format);

    Outcome j = inspect({"plist", suitePath.string(), "--json"});
    ASSERT_EQ(j.status, 0) << j.err;
    EXPECT_EQ(json::parse(j.out), json::parse(R"({"level": 5, "hero": "mage", "enabled": true,
        "when": {"date": "2023-11-14T22:13:20.000Z"}, "items": ["a", 2.5]})"));
    Outcome k = inspect({"plist", keychainPath.string(), "--json"});
    ASSERT_EQ(k.status, 0) << k.err;
    EXPECT_EQ(json::parse(k.out), json::parse(R"({"com.vorlix.zel": {"installation": {"data": "ZmlkLTEyMw==",
        "utf8": "fid-123"}, "token": {"data": "AP8="}}})"));
    Outcome t = inspect({"plist", keychainPath.string()});
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_EQ(t.out, "com.vorlix.zel:\n  installation: <data ZmlkLTEyMw==> \"fid-123\"\n  token: <data AP8=>\n");
  }
  fs::remove_all(root);
}

}  // namespace
