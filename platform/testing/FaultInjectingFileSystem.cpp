#include "platform/testing/FaultInjectingFileSystem.h"

namespace platform::testing {
namespace {

bool injected(std::string* error, const std::string& what) {
  if (error) *error = what + " (injected fault)";
  return false;
}

}  // namespace

void FaultInjectingFileSystem::setFreeSpace(std::optional<std::uint64_t> bytes) {
  std::lock_guard lock(mutex_);
  freeSpace_ = bytes;
}

void FaultInjectingFileSystem::clearFaults() {
  noSpace_ = failWrite_ = failSync_ = failRename_ = failRead_ = failRemove_ = false;
  setFreeSpace(std::nullopt);
}

std::optional<std::string> FaultInjectingFileSystem::readFile(const std::string& path, std::string* error) {
  ++reads_;
  if (failRead_) {
    injected(error, "cannot read " + path + ": Input/output error");
    return std::nullopt;
  }
  return FileSystemWrapper::readFile(path, error);
}

bool FaultInjectingFileSystem::writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode,
                                                   std::string* error) {
  ++writes_;
  AtomicWriteFaults faults;
  faults.noSpace = noSpace_;
  faults.failWrite = failWrite_;
  faults.failSync = failSync_;
  faults.failRename = failRename_;
  if (faults.noSpace || faults.failWrite || faults.failSync || faults.failRename) {
    return posixWriteFileAtomically(path, bytes, mode, error, &faults);
  }
  return FileSystemWrapper::writeFileAtomically(path, bytes, mode, error);
}

bool FaultInjectingFileSystem::createDirectories(const std::string& path, std::string* error) {
  if (noSpace_ && !isDirectory(path)) return injected(error, "cannot create folder " + path + ": No space left on device");
  return FileSystemWrapper::createDirectories(path, error);
}

bool FaultInjectingFileSystem::removeFile(const std::string& path, std::string* error) {
  if (failRemove_) return injected(error, "cannot remove " + path + ": Permission denied");
  return FileSystemWrapper::removeFile(path, error);
}

bool FaultInjectingFileSystem::removeAll(const std::string& path, std::string* error) {
  if (failRemove_) return injected(error, "cannot remove " + path + ": Permission denied");
  return FileSystemWrapper::removeAll(path, error);
}

bool FaultInjectingFileSystem::rename(const std::string& from, const std::string& to, std::string* error) {
  if (failRename_) return injected(error, "cannot rename " + from + " to " + to + ": Input/output error");
  return FileSystemWrapper::rename(from, to, error);
}

std::optional<std::uint64_t> FaultInjectingFileSystem::freeSpace(const std::string& path) {
  {
    std::lock_guard lock(mutex_);
    if (freeSpace_) return freeSpace_;
  }
  return FileSystemWrapper::freeSpace(path);
}

}  // namespace platform::testing
