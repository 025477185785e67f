#include "platform/VXLLogger.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <unistd.h>

#include <cstdio>
#include <thread>

#include "platform/testing/LogCapture.h"

namespace platform {
namespace {

struct LevelGuard {
  VXLLoggerLevel saved = VXLGetLoggerLevel();
  ~LevelGuard() { VXLSetLoggerLevel(saved); }
};

TEST(VXLLoggerTest, LevelsFilterUnlessForcedAndPercentEscapesAreUndone) {
  LevelGuard guard;
  testing::LogCapture log;
  VXLSetLoggerLevel(VXLLoggerLevel::Notice);
  EXPECT_TRUE(VXLIsLoggableLevel(VXLLoggerLevel::Error));
  EXPECT_TRUE(VXLIsLoggableLevel(VXLLoggerLevel::Notice));
  EXPECT_FALSE(VXLIsLoggableLevel(VXLLoggerLevel::Info));
  VXLLogInfo("[Svc]", false, "I-ACS000001", "hidden");
  VXLLogInfo("[Svc]", true, "I-ACS000002", "forced 100%% done");
  VXLLogWarning("[Svc]", false, "I-ACS000003", "warned");
  VXLLogError("[Svc]", false, "I-ACS000004", "%%%%");
  VXLSetLoggerLevel(VXLLoggerLevel::Error);
  VXLLogWarning("[Svc]", false, "I-ACS000005", "filtered");
  VXLSetLoggerLevel(VXLLoggerLevel::Debug);
  VXLLogBasic(VXLLoggerLevel::Debug, "[Svc]", false, "I-ACS000006", "debug");

  auto lines = log.lines();
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].messageCode, "I-ACS000002");
  EXPECT_EQ(lines[0].message, "forced 100% done");
  EXPECT_EQ(lines[0].level, VXLLoggerLevel::Info);
  EXPECT_EQ(lines[1].level, VXLLoggerLevel::Warning);
  EXPECT_EQ(lines[2].message, "%%");
  EXPECT_EQ(lines[2].service, "[Svc]");
  EXPECT_EQ(lines[3].messageCode, "I-ACS000006");
}

TEST(VXLLoggerTest, TheDefaultSinkWritesOneLinePerMessageToStandardError) {
  testing::LogCapture outer;  // restores whatever was installed before
  VXLSetLogSink(nullptr);
  std::string path = (std::filesystem::temp_directory_path() / "platsvc-stderr-XXXXXX").string();
  int fd = ::mkstemp(path.data());
  ASSERT_GE(fd, 0);
  std::fflush(stderr);
  int saved = ::dup(STDERR_FILENO);
  ::dup2(fd, STDERR_FILENO);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 50; ++i) VXLLogError("[Tallywise]", false, "I-ACS012345", "message " + std::to_string(t));
    });
  }
  for (auto& th : threads) th.join();
  VXLLogError("[Tallywise]", false, "I-ACS012345", "message 9\n[Tallywise][I-ACS000000] forged");
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  std::string written;
  ::lseek(fd, 0, SEEK_SET);
  char buf[4096];
  for (ssize_t n; (n = ::read(fd, buf, sizeof buf)) > 0;) written.append(buf, static_cast<std::size_t>(n));
  ::close(fd);
  ::unlink(path.c_str());
  std::size_t lines = 0, start = 0;
  for (std::size_t end; (end = written.find('\n', start)) != std::string::npos; start = end + 1, ++lines) {
    std::string line = written.substr(start, end - start);
    ASSERT_EQ(line.rfind("[Tallywise][I-ACS012345] message ", 0), 0u) << line;
    if (line.find("forged") != std::string::npos) {
      EXPECT_EQ(line, "[Tallywise][I-ACS012345] message 9\\n[Tallywise][I-ACS000000] forged");
      continue;
    }
    ASSERT_EQ(line.size(), std::string("[Tallywise][I-ACS012345] message 0").size()) << line;
  }
  EXPECT_EQ(lines, 201u);
  EXPECT_EQ(start, written.size());
}

TEST(VXLLoggerTest, ASinkCanBeReplacedWhileOtherThreadsLog) {
  testing::LogCapture first;
  std::atomic<bool> stop{false};
  std::thread logger([&] {
    while (!stop) VXLLogError("[S]", false, "I-ACS000001", "x");
  });
  while (first.lines().empty()) std::this_thread::yield();
  {
    testing::LogCapture second;
    first.clear();
    while (second.lines().empty()) std::this_thread::yield();
  }
  // Lines logged while `second` was installed went there; afterwards `first` gets them again.
  first.clear();
  while (first.lines().empty()) std::this_thread::yield();
  stop = true;
  logger.join();
  EXPECT_EQ(first.lines().front().messageCode, "I-ACS000001");
}

}  // namespace
}  // namespace platform
