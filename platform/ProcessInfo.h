#pragma once
// The running process behind platform::ProcessInfo, read from /proc/self.
//
// Thread-safety: any thread. environmentVariable reads the environment without a lock,
// so nothing in the process may call setenv/putenv concurrently (none of the library does).

#include "platform/Environment.h"

namespace platform {

class LinuxProcessInfo : public ProcessInfo {
 public:
  // /proc/self/cmdline split at NULs; capped at 4096 arguments of 1 MiB in total.
  std::vector<std::string> arguments() override;
  std::optional<std::string> environmentVariable(const std::string& name) override;
  // readlink(/proc/self/exe); "" when unreadable.
  std::string executablePath() override;
};

}  // namespace platform
