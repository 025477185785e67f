#include "platform/ProcessInfo.h"

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace platform {
namespace {

constexpr std::size_t kMaxCommandLineBytes = 1 << 20;
constexpr std::size_t kMaxArguments = 4096;

}  // namespace

std::vector<std::string> LinuxProcessInfo::arguments() {
  std::vector<std::string> args;
  int fd = ::open("/proc/self/cmdline", O_RDONLY | O_CLOEXEC);
  if (fd < 0) return args;
  std::string bytes;
  char buffer[4096];
  while (bytes.size() < kMaxCommandLineBytes) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  if (bytes.size() > kMaxCommandLineBytes) bytes.resize(kMaxCommandLineBytes);
  std::size_t start = 0;
  while (start < bytes.size() && args.size() < kMaxArguments) {
    std::size_t end = bytes.find('\0', start);
    if (end == std::string::npos) end = bytes.size();
    args.emplace_back(bytes, start, end - start);
    start = end + 1;
  }
  return args;
}

std::optional<std::string> LinuxProcessInfo::environmentVariable(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (!value) return std::nullopt;
  return std::string(value);
}

std::string LinuxProcessInfo::executablePath() {
  char path[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  return std::string(path, static_cast<std::size_t>(n));
}

}  // namespace platform
