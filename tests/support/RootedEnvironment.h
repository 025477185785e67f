#pragma once
// The default environment with its sandbox at a given directory: for child processes and
// writers that must find an app's files where a test put them.

#include <memory>
#include <string>

#include "platform/Environment.h"
#include "platform/Sandbox.h"

namespace tw_test_support {

class RootedEnvironment : public platform::EnvironmentWrapper {
 public:
  explicit RootedEnvironment(std::string root)
      : EnvironmentWrapper(platform::Environment::makeDefault()),
        sandbox_(std::make_shared<platform::DirectorySandbox>(std::move(root))) {}
  std::shared_ptr<platform::Sandbox> sandbox() override { return sandbox_; }

 private:
  std::shared_ptr<platform::Sandbox> sandbox_;
};

}  // namespace tw_test_support
