#include "platform/FileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/types.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

namespace platform {
namespace {

void setError(std::string* error, const std::string& what, const std::string& path, int err) {
  if (error) *error = what + " " + path + ": " + std::strerror(err);
}

std::string parentOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string baseNameOf(const std::string& path) {
  auto slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// Unique within the process (counter) and across processes (pid); the thread hash keeps
// names apart even if a counter value were reused after wrap-around.
std::string temporaryNameFor(const std::string& path) {
  static std::atomic<std::uint64_t> counter{0};
  std::uint64_t n = counter.fetch_add(1, std::memory_order_relaxed);
  std::size_t tid = std::hash<std::thread::id>{}(std::this_thread::get_id());
  return parentOf(path) + "/." + baseNameOf(path) + ".tmp." + std::to_string(::getpid()) + "." +
         std::to_string(n) + "." + std::to_string(tid % 100000);
}

bool writeAll(int fd, std::string_view bytes, int* err) {
  const char* p = bytes.data();
  std::size_t left = bytes.size();
  while (left > 0) {
    ssize_t n = ::write(fd, p, left);
    if (n < 0) {
      if (errno == EINTR) continue;
      *err = errno;
      return false;
    }
    p += n;
    left -= static_cast<std::size_t>(n);
  }
  return true;
}

void syncDirectory(const std::string& dir) {
  int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  ::fsync(fd);  // best effort: the data itself is already durable
  ::close(fd);
}

}  // namespace

bool posixWriteFileAtomically(const std::string& path, std::string_view bytes, unsigned mode, std::string* error,
                              const AtomicWriteFaults* faults) {
  const std::string temp = temporaryNameFor(path);
  int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, static_cast<mode_t>(mode & 07777));
  if (fd < 0) {
    setError(error, "cannot create", temp, errno);
    return false;
  }
  auto fail = [&](const char* what, int err) {
    ::close(fd);
    ::unlink(temp.c_str());
    setError(error, what, path, err);
    return false;
  };
  // The umask must not weaken or widen the requested mode (the keychain needs 0600).
  if (::fchmod(fd, static_cast<mode_t>(mode & 07777)) != 0) return fail("cannot set the mode of", errno);

  int err = 0;
  if (faults && faults->noSpace) {
    // A full disk typically accepts part of the data first.
    (void)writeAll(fd, bytes.substr(0, bytes.size() / 2), &err);
    return fail("cannot write", ENOSPC);
  }
  if (faults && faults->failWrite) return fail("cannot write", EIO);
  if (!writeAll(fd, bytes, &err)) return fail("cannot write", err);
  if (faults && faults->failSync) return fail("cannot sync", EIO);
  if (::fsync(fd) != 0) return fail("cannot sync", errno);
  if (::close(fd) != 0) {
    int closeErr = errno;
    ::unlink(temp.c_str());
    setError(error, "cannot close", path, closeErr);
    return false;
  }
  if ((faults && faults->failRename) || ::rename(temp.c_str(), path.c_str()) != 0) {
    int renameErr = (faults && faults->failRename) ? EIO : errno;
    ::unlink(temp.c_str());
    setError(error, "cannot rename into", path, renameErr);
    return false;
  }
  syncDirectory(parentOf(path));
  return true;
}

std::optional<std::string> PosixFileSystem::readFile(const std::string& path, std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, "cannot open", path, errno);
    return std::nullopt;
  }
  struct stat st {};
  if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
    int err = S_ISDIR(st.st_mode) ? EISDIR : errno;
    ::close(fd);
    setError(error, "cannot read", path, err);
    return std::nullopt;
  }
  std::string out;
  if (st.st_size > 0) out.reserve(static_cast<std::size_t>(st.st_size));
  char buffer[65536];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0) {
      if (errno == EINTR) continue;
      int err = errno;
      ::close(fd);
      setError(error, "cannot read", path, err);
      return std::nullopt;
    }
    if (n == 0) break;
    out.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return out;
}

bool PosixFileSystem::writeFileAtomically(const std::string& path, std::string_view bytes, unsigned mode,
                                          std::string* error) {
  return posixWriteFileAtomically(path, bytes, mode, error, nullptr);
}

bool PosixFileSystem::exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool PosixFileSystem::isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool PosixFileSystem::createDirectories(const std::string& path, std::string* error) {
  if (path.empty()) {
    if (error) *error = "empty path";
    return false;
  }
  std::size_t pos = 0;
  while (pos != std::string::npos) {
    pos = path.find('/', pos + 1);
    std::string prefix = path.substr(0, pos);
    if (prefix.empty()) continue;
    if (::mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
      setError(error, "cannot create folder", prefix, errno);
      return false;
    }
  }
  if (!isDirectory(path)) {
    setError(error, "not a folder:", path, ENOTDIR);
    return false;
  }
  return true;
}

bool PosixFileSystem::removeFile(const std::string& path, std::string* error) {
  if (::unlink(path.c_str()) != 0 && errno != ENOENT) {
    setError(error, "cannot remove", path, errno);
    return false;
  }
  return true;
}

bool PosixFileSystem::removeAll(const std::string& path, std::string* error) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) {
    if (errno == ENOENT) return true;
    setError(error, "cannot inspect", path, errno);
    return false;
  }
  if (!S_ISDIR(st.st_mode)) return removeFile(path, error);
  int rc = ::nftw(
      path.c_str(),
      [](const char* p, const struct stat*, int type, struct FTW*) -> int {
        int r = (type == FTW_DP) ? ::rmdir(p) : ::unlink(p);
        return (r != 0 && errno != ENOENT) ? -1 : 0;
      },
      16, FTW_DEPTH | FTW_PHYS);
  if (rc != 0) {
    setError(error, "cannot remove", path, errno);
    return false;
  }
  return true;
}

bool PosixFileSystem::rename(const std::string& from, const std::string& to, std::string* error) {
  if (::rename(from.c_str(), to.c_str()) != 0) {
    setError(error, "cannot rename " + from + " to", to, errno);
    return false;
  }
  return true;
}

std::vector<std::string> PosixFileSystem::listDirectory(const std::string& path) {
  std::vector<std::string> names;
  DIR* dir = ::opendir(path.c_str());
  if (!dir) return names;
  while (struct dirent* entry = ::readdir(dir)) {
    std::string_view name = entry->d_name;
    if (name == "." || name == "..") continue;
    names.emplace_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::uint64_t> PosixFileSystem::fileSize(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return std::nullopt;
  return static_cast<std::uint64_t>(st.st_size);
}

std::optional<std::uint64_t> PosixFileSystem::freeSpace(const std::string& path) {
  // A path that does not exist yet is answered for the nearest existing ancestor.
  std::string probe = path.empty() ? std::string("/") : path;
  for (int i = 0; i < 256; ++i) {
    struct statvfs vfs {};
    if (::statvfs(probe.c_str(), &vfs) == 0) {
      return static_cast<std::uint64_t>(vfs.f_bavail) * static_cast<std::uint64_t>(vfs.f_frsize);
    }
    if (errno != ENOENT || probe == "/" || probe == ".") return std::nullopt;
    probe = parentOf(probe);
  }
  return std::nullopt;
}

bool PosixFileSystem::isWritable(const std::string& path) { return ::access(path.c_str(), W_OK) == 0; }

bool PosixFileSystem::setPermissions(const std::string& path, unsigned mode, std::string* error) {
  if (::chmod(path.c_str(), static_cast<mode_t>(mode & 07777)) != 0) {
    setError(error, "cannot change the mode of", path, errno);
    return false;
  }
  return true;
}

std::unique_ptr<FileLock> FileLock::acquire(const std::string& path, std::chrono::milliseconds timeout,
                                            std::string* error) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    setError(error, "cannot open for locking", path, errno);
    return nullptr;
  }
  // Polled rather than blocking, so that a peer that hangs with the lock costs a bounded wait.
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::unique_ptr<FileLock>(new FileLock(fd));
    int err = errno;
    if (err == EINTR) continue;
    if (err != EWOULDBLOCK || std::chrono::steady_clock::now() >= deadline) {
      ::close(fd);
      setError(error, "cannot lock", path, err);
      return nullptr;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

FileLock::~FileLock() { ::close(fd_); }

bool PosixFileSystem::setExcludedFromBackup(const std::string& path, bool excluded) {
  if (excluded) return ::setxattr(path.c_str(), kExcludedFromBackupAttribute, "1", 1, 0) == 0;
  if (::removexattr(path.c_str(), kExcludedFromBackupAttribute) == 0) return true;
  return errno == ENODATA && exists(path);
}

bool PosixFileSystem::isExcludedFromBackup(const std::string& path) {
  char value[8] = {};
  ssize_t n = ::getxattr(path.c_str(), kExcludedFromBackupAttribute, value, sizeof value);
  return n == 1 && value[0] == '1';
}

}  // namespace platform
