#include "platform/FileSystem.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include "platform/testing/TestEnvironment.h"

namespace platform {
namespace {

class FileSystemTest : public ::testing::Test {
 protected:
  void SetUp() override {
    env = testing::TestEnvironment::create();
    ASSERT_TRUE(env);
    dir = env->root() + "/files";
    ASSERT_TRUE(fs.createDirectories(dir));
  }
  unsigned modeOf(const std::string& path) {
    struct stat st {};
    EXPECT_EQ(::stat(path.c_str(), &st), 0);
    return st.st_mode & 07777;
  }

  std::shared_ptr<testing::TestEnvironment> env;
  PosixFileSystem fs;
  std::string dir;
};

TEST_F(FileSystemTest, AtomicWritesReplaceWholeFilesWithTheRequestedMode) {
  const std::string path = dir + "/a.bin";
  std::string binary("\x00\x01\x02 bytes\xFF", 10);
  ASSERT_TRUE(fs.writeFileAtomically(path, binary, 0600));
  EXPECT_EQ(fs.readFile(path), binary);
  EXPECT_EQ(modeOf(path), 0600u);
  // The umask does not widen or narrow the mode.
  mode_t old = ::umask(077);
  ASSERT_TRUE(fs.writeFileAtomically(path, "second", 0644));
  ::umask(old);
  EXPECT_EQ(modeOf(path), 0644u);
  EXPECT_EQ(fs.readFile(path), "second");
  EXPECT_EQ(fs.fileSize(path), 6u);
  EXPECT_EQ(fs.listDirectory(dir), std::vector<std::string>{"a.bin"});

  std::string error;
  EXPECT_FALSE(fs.writeFileAtomically(dir + "/missing/x", "y", 0644, &error));
  EXPECT_FALSE(error.empty());
  EXPECT_FALSE(fs.readFile(dir + "/nope", &error));
  EXPECT_FALSE(fs.readFile(dir, &error));  // a folder is not a file
}

TEST_F(FileSystemTest, EachInjectedWriteFaultFailsAndLeavesTheOldFileAndNoLitter) {
  auto faulty = env->faultFileSystem();
  const std::string path = dir + "/state";
  ASSERT_TRUE(faulty->writeFileAtomically(path, "old contents"));
  struct Fault {
    const char* name;
    void (testing::FaultInjectingFileSystem::*set)(bool);
  };
  for (const Fault& fault : {Fault{"no space", &testing::FaultInjectingFileSystem::setNoSpace},
                             Fault{"failed write", &testing::FaultInjectingFileSystem::setFailWrite},
                             Fault{"failed sync", &testing::FaultInjectingFileSystem::setFailSync},
                             Fault{"failed rename", &testing::FaultInjectingFileSystem::setFailRename}}) {
    (faulty.get()->*fault.set)(true);
    std::string error;
    EXPECT_FALSE(faulty->writeFileAtomically(path, std::string(100000, 'n'), 0644, &error)) << fault.name;
    EXPECT_FALSE(error.empty()) << fault.name;
    EXPECT_EQ(fs.readFile(path), "old contents") << fault.name;
    EXPECT_EQ(fs.listDirectory(dir), std::vector<std::string>{"state"}) << fault.name;
    faulty->clearFaults();
  }
  faulty->setFailRename(true);
  EXPECT_FALSE(faulty->rename(path, dir + "/moved"));
  EXPECT_TRUE(fs.exists(path));
  faulty->clearFaults();
  EXPECT_TRUE(faulty->rename(path, dir + "/moved"));
  EXPECT_FALSE(fs.exists(path));
  EXPECT_EQ(faulty->writeCount(), 5u);
}

TEST_F(FileSystemTest, RemoveAllRemovesTreesButNeverFollowsLinks) {
  const std::string outside = env->root() + "/outside";
  ASSERT_TRUE(fs.createDirectories(outside));
  ASSERT_TRUE(fs.writeFileAtomically(outside + "/precious", "keep"));
  ASSERT_TRUE(fs.createDirectories(dir + "/tree/deeper/still"));
  ASSERT_TRUE(fs.writeFileAtomically(dir + "/tree/deeper/still/f", "x"));
  ASSERT_EQ(::symlink(outside.c_str(), (dir + "/tree/link").c_str()), 0);
  ASSERT_TRUE(fs.removeAll(dir + "/tree"));
  EXPECT_FALSE(fs.exists(dir + "/tree"));
  EXPECT_EQ(fs.readFile(outside + "/precious"), "keep");
  EXPECT_TRUE(fs.removeAll(dir + "/tree"));  // already gone
  EXPECT_TRUE(fs.removeFile(dir + "/never-existed"));
  // A file in the way of a folder.
  ASSERT_TRUE(fs.writeFileAtomically(dir + "/plain", "p"));
  EXPECT_FALSE(fs.createDirectories(dir + "/plain/sub"));
  EXPECT_FALSE(fs.isDirectory(dir + "/plain"));
}

TEST_F(FileSystemTest, BackupExclusionFreeSpaceAndWritability) {
  const std::string path = dir + "/prefs.plist";
  ASSERT_TRUE(fs.writeFileAtomically(path, "p"));
  EXPECT_FALSE(fs.isExcludedFromBackup(path));
  ASSERT_TRUE(fs.setExcludedFromBackup(path, true));
  EXPECT_TRUE(fs.isExcludedFromBackup(path));
  char value[4] = {};
  EXPECT_EQ(::getxattr(path.c_str(), kExcludedFromBackupAttribute, value, sizeof value), 1);
  ASSERT_TRUE(fs.setExcludedFromBackup(path, false));
  EXPECT_FALSE(fs.isExcludedFromBackup(path));
  EXPECT_TRUE(fs.setExcludedFromBackup(path, false));  // clearing twice is fine
  EXPECT_FALSE(fs.setExcludedFromBackup(dir + "/missing", true));

  auto space = fs.freeSpace(dir + "/not/yet/created");
  ASSERT_TRUE(space);
  EXPECT_EQ(space, fs.freeSpace(dir));
  env->faultFileSystem()->setFreeSpace(1234);
  EXPECT_EQ(env->faultFileSystem()->freeSpace(dir), 1234u);

  EXPECT_TRUE(fs.isWritable(dir));
  ASSERT_TRUE(fs.setPermissions(dir, 0500));
  if (::geteuid() != 0) {
    EXPECT_FALSE(fs.isWritable(dir));
  }
  ASSERT_TRUE(fs.setPermissions(dir, 0755));
}

}  // namespace
}  // namespace platform
