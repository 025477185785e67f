#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "launcher/FrameworkLoader.h"
#include "platform/app/DynamicLibrary.h"
#include "platform/testing/TestEnvironment.h"

extern char** environ;

namespace {

std::string bundle(const std::string& name) { return std::string(TW_TEST_BUNDLES) + "/" + name; }
std::string binaryOf(const std::string& bundlePath) {
  return bundlePath + launcher::kFrameworkRelativePath + "/" + launcher::kFrameworkBinaryName;
}

template <class T>
T* exported(const std::string& bundlePath, const char* name) {
  auto lib = platform::DynamicLibrary::open(binaryOf(bundlePath));
  return lib ? static_cast<T*>(lib->symbol(name)) : nullptr;
}

std::string readAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

struct RunResult {
  int exitStatus = -1;
  std::string output;
};

// Runs `program` with `args` (argv[0] included) and extra environment entries; stdout
// and stderr go to `outputPath`.
RunResult run(const std::string& program, const std::vector<std::string>& args, const std::vector<std::string>& extraEnv,
              const std::string& outputPath) {
  std::vector<std::string> envStrings;
  for (char** e = environ; *e; ++e) envStrings.emplace_back(*e);
  for (const auto& e : extraEnv) envStrings.push_back(e);
  std::vector<char*> argv, envp;
  for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  for (const auto& e : envStrings) envp.push_back(const_cast<char*>(e.c_str()));
  envp.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, 1, 2);
  pid_t pid = 0;
  RunResult result;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (rc != 0) return result;
  int status = 0;
  if (waitpid(pid, &status, 0) == pid && WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  result.output = readAll(outputPath);
  return result;
}

TEST(FrameworkLoaderTest, LoadsOnceSendsTheHeaderAndReturnsTheSharedObject) {
  const std::string path = bundle("recording");
  const int marker = 0;
  launcher::LoadReport report;
  const VelmoraEngine* engine = launcher::loadEngineFramework(path, &marker, &report);
  ASSERT_NE(engine, nullptr) << report.error;
  EXPECT_EQ(report.frameworkPath, path + "/Frameworks/VelmoraFramework.framework");
  EXPECT_FALSE(report.wasAlreadyLoaded);
  EXPECT_TRUE(report.loaded);
  EXPECT_TRUE(report.headerSent);
  EXPECT_EQ(*exported<int>(path, "velmoraTestHeaderCalls"), 1);
  EXPECT_EQ(*exported<const void*>(path, "velmoraTestLastHeader"), &marker);

  // A second load finds the framework loaded and talks to the same object.
  launcher::LoadReport again;
  EXPECT_EQ(launcher::loadEngineFramework(path, &marker, &again), engine);
  EXPECT_TRUE(again.wasAlreadyLoaded);
  EXPECT_EQ(*exported<int>(path, "velmoraTestGetInstanceCalls"), 2);

  char arg0[] = "game";
  char arg1[] = "-flag";
  char* argv[] = {arg0, arg1, nullptr};
  launcher::runEngine(engine, 2, argv);
  EXPECT_EQ(*exported<int>(path, "velmoraTestRunCalls"), 1);
}

TEST(FrameworkLoaderTest, HeaderIsNotSentOnceAnApplicationControllerExists) {
  const std::string path = bundle("with_controller");
  launcher::LoadReport report;
  ASSERT_NE(launcher::loadEngineFramework(path, &report, &report), nullptr) << report.error;
  EXPECT_FALSE(report.headerSent);
  EXPECT_EQ(*exported<int>(path, "velmoraTestHeaderCalls"), 0);
}

TEST(FrameworkLoaderTest, MissingFrameworkEntryPointOrInterfaceGivesNoObject) {
  launcher::LoadReport missing;
  EXPECT_EQ(launcher::loadEngineFramework(bundle("does_not_exist"), nullptr, &missing), nullptr);
  EXPECT_FALSE(missing.loaded);
  EXPECT_FALSE(missing.error.empty());

  launcher::LoadReport noEntry;
  EXPECT_EQ(launcher::loadEngineFramework(bundle("no_entry_point"), nullptr, &noEntry), nullptr);
  EXPECT_TRUE(noEntry.loaded);
  EXPECT_NE(noEntry.error.find(VELMORA_FRAMEWORK_ENTRY_POINT), std::string::npos);

  launcher::LoadReport otherABI;
  EXPECT_EQ(launcher::loadEngineFramework(bundle("other_abi"), nullptr, &otherABI), nullptr);
  EXPECT_FALSE(otherABI.headerSent);
  EXPECT_EQ(*exported<int>(bundle("other_abi"), "velmoraTestHeaderCalls"), 0);

  // The path is a plain concatenation: a trailing slash is kept, not normalised away.
  launcher::LoadReport slash;
  EXPECT_NE(launcher::loadEngineFramework(bundle("recording") + "/", nullptr, &slash), nullptr);
  EXPECT_EQ(slash.frameworkPath, bundle("recording") + "//Frameworks/VelmoraFramework.framework");

  launcher::runEngine(nullptr, 0, nullptr);  // an absent object ignores the message
}

class LauncherProcessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env_ = platform::testing::TestEnvironment::create();
    ASSERT_TRUE(env_);
    reportPath_ = env_->root() + "/report.txt";
    outputPath_ = env_->root() + "/output.txt";
  }
  RunResult launch(const std::string& bundlePath, std::vector<std::string> args) {
    return run(TW_LAUNCHER, args,
               {"TALLYWISE_BUNDLE_PATH=" + bundlePath, "VELMORA_TEST_REPORT=" + reportPath_,
                "TALLYWISE_SANDBOX=" + env_->root() + "/sandbox"},
               outputPath_);
  }
  std::shared_ptr<platform::testing::TestEnvironment> env_;
  std::string reportPath_, outputPath_;
};

TEST_F(LauncherProcessTest, HandsTheFrameworkMainsOwnArgumentsAndExitsZero) {
  auto result = launch(bundle("recording"), {"Game", "-TWKAnalyticsDebugEnabled", "with space"});
  EXPECT_EQ(result.exitStatus, 0) << result.output;
  EXPECT_EQ(readAll(reportPath_),
            "getInstance\nheader ELF\nrun argc=3\narg Game\narg -TWKAnalyticsDebugEnabled\narg with space\n");
}

TEST_F(LauncherProcessTest, ExitsZeroWithoutAFrameworkOrWithoutItsEntryPoint) {
  for (const char* name : {"does_not_exist", "no_entry_point", "other_abi"}) {
    auto result = launch(bundle(name), {"Game"});
    EXPECT_EQ(result.exitStatus, 0) << name << ": " << result.output;
    // Nothing ran, and the launcher reported nothing.
    EXPECT_EQ(readAll(reportPath_).find("run"), std::string::npos) << name;
    EXPECT_EQ(result.output, "") << name;
  }
  // An already-set-up engine does not get the header, but still runs.
  auto result = launch(bundle("with_controller"), {"Game"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(readAll(reportPath_).find("header"), std::string::npos);
}

TEST_F(LauncherProcessTest, TheDemoBundlePlaysItsSessionAndExitsZero) {
  const std::string demo = TW_DEMO_BUNDLE;
  auto result = run(demo + "/Skyforge", {demo + "/Skyforge"},
                    {"TALLYWISE_SANDBOX=" + env_->root() + "/sandbox", "TALLYWISE_DEMO_STEP_MS=5"}, outputPath_);
  ASSERT_EQ(result.exitStatus, 0) << result.output;
  const std::string& out = result.output;
  // The session's lifecycle notifications, in order.
  std::vector<std::string> expected = {
      "[engine] setExecuteHeader: executable image at",
      "(ELF header)",
      "[lifecycle] UIApplicationDidFinishLaunchingNotification (state inactive)",
      "[core] default app configured: app ID vx-skyforge-7f3c2a9be41d06d5",
      "[lifecycle] UIApplicationDidBecomeActiveNotification (state active)",
      "[delegate] openURL skyforge://reward?id=42",
      "[lifecycle] UIApplicationWillResignActiveNotification (state active)",
      "[lifecycle] UIApplicationDidEnterBackgroundNotification (state background)",
      "[lifecycle] UIApplicationWillEnterForegroundNotification (state background)",
      "[lifecycle] UIApplicationDidBecomeActiveNotification (state active)",
      "[lifecycle] UIApplicationWillTerminateNotification",
      "[engine] main loop ended"};
  std::size_t at = 0;
  for (const auto& line : expected) {
    auto found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << "missing in order: " << line << "\n" << out;
    at = found + line.size();
  }
  EXPECT_NE(out.find("[core] installation ID "), std::string::npos) << out;

  // A second launch on the same sandbox keeps the installation identifier.
  auto idOf = [](const std::string& text) {
    auto pos = text.find("[core] installation ID ");
    if (pos == std::string::npos) return std::string();
    pos += std::string("[core] installation ID ").size();
    return text.substr(pos, text.find('\n', pos) - pos);
  };
  auto again = run(demo + "/Skyforge", {demo + "/Skyforge"},
                   {"TALLYWISE_SANDBOX=" + env_->root() + "/sandbox", "TALLYWISE_DEMO_STEP_MS=5"}, outputPath_);
  ASSERT_EQ(again.exitStatus, 0);
  EXPECT_FALSE(idOf(out).empty());
  EXPECT_EQ(idOf(again.output), idOf(out));
}

}  // namespace
