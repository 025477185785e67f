#pragma once
// A folder of the running test's own under the temporary directory, emptied first, so
// reruns and parallel test processes never see each other's files.

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>

namespace tw_test_support {

inline std::filesystem::path freshTestDirectory(const std::string& prefix) {
  const auto root = std::filesystem::temp_directory_path() /
                    (prefix + "-" + std::to_string(::getpid()) + "-" +
                     ::testing::UnitTest::GetInstance()->current_test_info()->name());
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  return root;
}

}  // namespace tw_test_support
