#include "platform/testing/FakeProcessInfo.h"

namespace platform::testing {

std::vector<std::string> FakeProcessInfo::arguments() {
  std::lock_guard lock(mutex_);
  return arguments_;
}

std::optional<std::string> FakeProcessInfo::environmentVariable(const std::string& name) {
  std::lock_guard lock(mutex_);
  auto it = environment_.find(name);
  if (it == environment_.end()) return std::nullopt;
  return it->second;
}

std::string FakeProcessInfo::executablePath() {
  std::lock_guard lock(mutex_);
  return executablePath_;
}

void FakeProcessInfo::setArguments(std::vector<std::string> arguments) {
  std::lock_guard lock(mutex_);
  arguments_ = std::move(arguments);
}

void FakeProcessInfo::setEnvironmentVariable(const std::string& name, std::optional<std::string> value) {
  std::lock_guard lock(mutex_);
  if (value) {
    environment_[name] = std::move(*value);
  } else {
    environment_.erase(name);
  }
}

void FakeProcessInfo::setExecutablePath(std::string path) {
  std::lock_guard lock(mutex_);
  executablePath_ = std::move(path);
}

}  // namespace platform::testing
