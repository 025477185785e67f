// Replays every committed fuzz input (seeds and inputs that once failed) through the same
// checks the fuzz targets make, in the ordinary test build.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <chrono>
#include <iterator>

#include "platform/DispatchQueue.h"
#include "tests/fuzz/FuzzAnswerChecks.h"
#include "tests/fuzz/FuzzAudienceChecks.h"
#include "tests/fuzz/FuzzChecks.h"
#include "tests/fuzz/FuzzFileChecks.h"
#include "tests/fuzz/FuzzScriptChecks.h"
#include "tests/fuzz/FuzzToolsChecks.h"

namespace {

// The checks log through the monitor's queue. This binary links the local service, whose
// HTTP library sets OpenSSL up to tear itself down at exit, under a queue still drawing
// random numbers; so the queues stop before exit, as the library's exit handler does in an app.
class StopQueuesBeforeExit : public ::testing::Environment {
  void TearDown() override { (void)platform::DispatchQueue::closeForProcessExit(std::chrono::milliseconds(500)); }
};
[[maybe_unused]] ::testing::Environment* const kStopQueues =
    ::testing::AddGlobalTestEnvironment(new StopQueuesBeforeExit);

std::vector<std::filesystem::path> corpus(const std::string& name) {
  std::vector<std::filesystem::path> files;
  std::filesystem::path dir = std::filesystem::path(TW_FUZZ_CORPUS_DIR) / name;
  if (std::filesystem::is_directory(dir)) {
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
      if (entry.is_regular_file()) files.push_back(entry.path());
    }
  }
  return files;
}

std::vector<std::uint8_t> readFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<std::uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace

TEST(FuzzCorpusTest, EveryCommittedInputPassesTheDecoderChecks) {
  TLWPBSetLogHandler([](std::string_view) {});
  auto sink = platform::VXLSetLogSink(std::make_shared<fuzzchecks::QuietLog>());
  std::size_t replayed = 0;
  for (const auto& [name, check] : {std::pair{"config", &fuzzchecks::checkConfig},
                                    std::pair{"bundle", &fuzzchecks::checkBundle},
                                    std::pair{"plist", &fuzzchecks::checkPropertyList},
                                    std::pair{"script", &fuzzchecks::checkScript},
                                    std::pair{"experiments", &fuzzchecks::checkExperimentAnswer},
                                    std::pair{"keychain", &fuzzchecks::checkSandboxFiles},
                                    std::pair{"http_answer", &fuzzchecks::checkServiceAnswer},
                                    std::pair{"tools_json", &fuzzchecks::checkToolsInput}}) {
    auto files = corpus(name);
    EXPECT_FALSE(files.empty()) << "no committed inputs for " << name;
    for (const auto& file : files) {
      auto bytes = readFile(file);
      EXPECT_EQ(check(bytes), "") << file;
      ++replayed;
    }
  }
  TLWPBSetLogHandler(nullptr);
  platform::VXLSetLogSink(sink);
  EXPECT_GT(replayed, 0u);
}

TEST(FuzzCorpusTest, ConfigurationInputsPassTheAudienceFilterChecks) {
  TLWPBSetLogHandler([](std::string_view) {});
  const TLWAudienceFilterEvaluator evaluator;
  for (const char* name : {"config", "audience"}) {
    for (const auto& file : corpus(name)) EXPECT_EQ(fuzzchecks::checkAudienceFilters(readFile(file), evaluator), "") << file;
  }
  TLWPBSetLogHandler(nullptr);
}
