#pragma once
// A process whose arguments, environment and executable path are set by the test.
//
// Thread-safety: any thread.

#include <map>
#include <mutex>

#include "platform/Environment.h"

namespace platform::testing {

class FakeProcessInfo : public ProcessInfo {
 public:
  FakeProcessInfo() = default;

  std::vector<std::string> arguments() override;
  std::optional<std::string> environmentVariable(const std::string& name) override;
  std::string executablePath() override;

  void setArguments(std::vector<std::string> arguments);
  // A nullopt value unsets the variable.
  void setEnvironmentVariable(const std::string& name, std::optional<std::string> value);
  void setExecutablePath(std::string path);

 private:
  std::mutex mutex_;
  std::vector<std::string> arguments_{"/opt/tallywise/app/Tallywise"};
  std::map<std::string, std::string> environment_;
  std::string executablePath_ = "/opt/tallywise/app/Tallywise";
};

}  // namespace platform::testing
