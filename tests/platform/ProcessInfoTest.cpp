#include "platform/ProcessInfo.h"

#include <gtest/gtest.h>
#include <stdlib.h>

namespace platform {
namespace {

TEST(ProcessInfoTest, ArgumentsEnvironmentAndExecutableComeFromTheRunningProcess) {
  LinuxProcessInfo info;
  auto args = info.arguments();
  ASSERT_FALSE(args.empty());
  const std::string exe = info.executablePath();
  ASSERT_FALSE(exe.empty());
  EXPECT_EQ(exe.substr(exe.find_last_of('/') + 1), "platform_tests");
  EXPECT_NE(args[0].find("platform_tests"), std::string::npos);
  ASSERT_EQ(::setenv("TALLYWISE_PROCESS_INFO_TEST", "value with spaces", 1), 0);
  EXPECT_EQ(info.environmentVariable("TALLYWISE_PROCESS_INFO_TEST"), "value with spaces");
  ::unsetenv("TALLYWISE_PROCESS_INFO_TEST");
  EXPECT_FALSE(info.environmentVariable("TALLYWISE_PROCESS_INFO_TEST"));
}

}  // namespace
}  // namespace platform
