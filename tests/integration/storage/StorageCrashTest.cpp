// Crash safety with the real file: a writer process storing events in write groups is
// killed with SIGKILL at random moments; after each kill the database opens, passes its
// integrity check, holds every event the writer reported after a commit, holds none of
// the events that failed inside their savepoint, and holds no half-written event.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>
#include <string>
#include <thread>

#include "measurement/monitor/TLWMonitor.h"
#include "measurement/storage/TLWDatabase.h"
#include "measurement/storage/TLWPersistedConfig.h"
#include "measurement/storage/TLWUserDefaults.h"
#include "platform/Sandbox.h"
#include "tests/support/RootedEnvironment.h"

extern char** environ;

namespace {

using tw_test_support::RootedEnvironment;

struct Child {
  pid_t pid = -1;
  int readFd = -1;
};

Child spawnWriter(const std::string& root, std::int64_t firstSequence) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, fds[0]);
  posix_spawn_file_actions_addclose(&actions, fds[1]);
  std::string program = TW_STORAGE_CRASH_WRITER;
  std::string first = std::to_string(firstSequence);
  char* argv[] = {program.data(), const_cast<char*>(root.c_str()), first.data(), nullptr};
  pid_t pid = -1;
  int rc = posix_spawn(&pid, program.c_str(), &actions, nullptr, argv, environ);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  if (rc != 0) {
    close(fds[0]);
    return {};
  }
  return {pid, fds[0]};
}

// Reads whole 8-byte reports: one read when waiting, everything up to end of file once
// the writer is dead.
void drain(int fd, std::string& pending, std::set<std::int64_t>& committed, int timeoutMs, bool untilEnd) {
  pollfd p{fd, POLLIN, 0};
  char buffer[4096];
  while (poll(&p, 1, timeoutMs) > 0) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(n));
    while (pending.size() >= 8) {
      std::int64_t v;
      std::memcpy(&v, pending.data(), 8);
      committed.insert(v);
      pending.erase(0, 8);
    }
    if (!untilEnd) break;
  }
}

TEST(StorageCrashTest, KilledWriterNeverLosesOrHalfWritesACommittedEvent) {
  std::string root = (std::filesystem::temp_directory_path() / ("tw-crash-" + std::to_string(getpid()))).string();
  std::filesystem::remove_all(root);
  std::filesystem::create_directories(root);
  auto env = std::make_shared<RootedEnvironment>(root);
  auto monitor = TLWMonitor::initWithLogLevel(1, nullptr, kTLWLibraryNumericVersion, env);
  auto config = TLWPersistedConfig::initWithSuiteName("com.vorlix.zel.measurement", false, env,
                                                      TLWUserDefaults::initWithSuiteName("", env), monitor);
  std::mt19937 rng(12345);
  std::set<std::int64_t> committed;
  std::int64_t next = 0;
  // A fixed number of kills, not a time budget: a loaded or sanitized run is slower, not
  // less thorough.
  constexpr int kKills = 50;
  for (int kills = 0; kills < kKills; ++kills) {
    Child child = spawnWriter(root, next);
    ASSERT_GT(child.pid, 0);
    std::string pending;
    // Let it commit something, then kill it at a random moment.
    std::size_t before = committed.size();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (committed.size() == before && std::chrono::steady_clock::now() < deadline) {
      drain(child.readFd, pending, committed, 20, false);
    }
    std::this_thread::sleep_for(std::chrono::microseconds(std::uniform_int_distribution<int>(0, 40000)(rng)));
    kill(child.pid, SIGKILL);
    int status = 0;
    waitpid(child.pid, &status, 0);
    drain(child.readFd, pending, committed, 1000, true);
    close(child.readFd);
    ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped on its own at kill " << kills;
    ASSERT_GT(committed.size(), before) << "writer committed nothing before kill " << kills;

    TLWError error;
    auto db = TLWDatabase::initWithDatabaseName(kTLWDatabaseFileName, config, &error, env, monitor);
    ASSERT_TRUE(db) << error.localizedDescription();
    ASSERT_TRUE(db->sqliteStore()->validateDatabaseWithError(&error)) << error.localizedDescription();
    auto rows = db->sqliteStore()->recordsForQuery("SELECT name FROM raw_events", {}, &error);
    ASSERT_TRUE(rows);
    std::set<std::int64_t> stored;
    for (const auto& row : *rows) stored.insert(std::stoll(row.get("name").stringOr("e-1").substr(1)));
    for (auto seq : committed) ASSERT_TRUE(stored.count(seq)) << "committed event " << seq << " lost at kill " << kills;
    for (auto seq : stored) ASSERT_NE(seq % 7, 3) << "event " << seq << " failed in its savepoint but was stored";
    // Daily counts and raw events change in the same transaction.
    auto daily = db->dailyCounts(&error);
    ASSERT_TRUE(daily);
    ASSERT_EQ(static_cast<std::size_t>(daily->allEventsCount()), stored.size()) << "half-written transaction";
    next = *stored.rbegin() + 1;
  }
  std::filesystem::remove_all(root);
}

}  // namespace
