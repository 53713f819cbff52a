#include "platform/foundation/file_system.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/foundation_errors.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"

namespace platform {
namespace {

// A process id no process can have: above the kernel's largest.
long deadProcessID() {
  long max = 4194304;
  std::ifstream("/proc/sys/kernel/pid_max") >> max;
  return max + 1;
}

void touch(const std::string& path, const std::string& content = "x") {
  std::ofstream(path, std::ios::binary) << content;
}

TEST(FileSystem, TemporaryNamesAreHiddenBesideTheFileAndNameTheirWriter) {
  EXPECT_EQ(temporaryNameFor("/a/b/c.plist", 42, 7), "/a/b/.c.plist.lumora-tmp.42.7");
  EXPECT_EQ(temporaryNameFor("c", 1, 2), ".c.lumora-tmp.1.2");
  const std::pair<const char*, std::optional<long>> names[] = {
      {".c.plist.lumora-tmp.42.7", 42},
      {".a.lumora-tmp.b.lumora-tmp.9.1", 9},
      {"c.plist.lumora-tmp.42.7", std::nullopt},  // not hidden: not ours
      {".c.plist.lumora-tmp.42", std::nullopt},
      {".c.plist.lumora-tmp..7", std::nullopt},
      {".c.plist.lumora-tmp.x.7", std::nullopt},
      {".c.plist.lumora-tmp.42.7x", std::nullopt},
      {".c.plist.lumora-tmp.-4.7", std::nullopt},
      {"c.plist.tmp-4242-1", std::nullopt},  // what other programs' atomic writes leave
      {".lumora-tmp.1.1", std::nullopt},
  };
  for (const auto& [name, writer] : names) {
    EXPECT_EQ(temporaryFileWriter(name), writer) << name;
  }
}

TEST(FileSystem, InjectedFaultsMatchTheirOperationsPathsAndCount) {
  ScratchDirForTesting dir;
  auto fs = std::make_shared<FaultInjectingFileSystem>();
  ScopedFileSystemForTesting installed(fs);
  ASSERT_EQ(FileSystem::current(), fs);
  auto& fm = FileManager::defaultManager();

  fs->inject(kFileWrite, dir / "full", ENOSPC, 2);
  fs->inject(kFileRead | kFileList, dir / "broken", EIO);
  fs->inject(kFileRename, dir / "locked", EACCES);
  ErrorPtr error;
  // Twice disk full, then the disk has room again.
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(fm.writeAtomically(dir / "full", std::string_view("x"), &error));
    EXPECT_EQ(error->code, kFileWriteOutOfSpaceError);
  }
  EXPECT_FALSE(fm.fileExists(dir / "full"));
  EXPECT_TRUE(fm.writeAtomically(dir / "full", std::string_view("x")));
  EXPECT_TRUE(fm.writeAtomically(dir / "broken", std::string_view("x")));  // writes pass

  EXPECT_FALSE(fm.contentsAtPath(dir / "broken", &error));
  EXPECT_EQ(error->code, kFileReadUnknownError);
  EXPECT_EQ(error->userInfo.at(Value(kFilePathErrorKey)), Value(dir / "broken"));
  ASSERT_TRUE(fm.createDirectory(dir / "broken.d", false));
  EXPECT_FALSE(fm.contentsOfDirectory(dir / "broken.d", &error));
  EXPECT_TRUE(fm.contentsAtPath(dir / "full"));

  // A rename is matched by either of its paths.
  EXPECT_FALSE(fm.moveItem(dir / "full", dir / "locked", &error));
  EXPECT_EQ(error->code, kFileWriteNoPermissionError);
  EXPECT_TRUE(fm.fileExists(dir / "full"));
  EXPECT_EQ(fs->injectedFailures(), 5);

  fs->clear();
  EXPECT_TRUE(fm.contentsAtPath(dir / "broken"));
  EXPECT_TRUE(fm.moveItem(dir / "full", dir / "locked"));
}

TEST(FileSystem, LocksExcludeEachOtherAndAFailedLockIsAnError) {
  ScratchDirForTesting dir;
  auto& fm = FileManager::defaultManager();
  auto first = fm.lockItem(dir / "store.lock");
  ASSERT_TRUE(first);
  struct stat st {};
  ASSERT_EQ(::stat((dir / "store.lock").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);
  EXPECT_TRUE(fm.lockItem(dir.path()));  // a folder is locked itself

  auto fs = std::make_shared<FaultInjectingFileSystem>();
  fs->inject(kFileLock, dir.path(), EACCES);
  ScopedFileSystemForTesting installed(fs);
  ErrorPtr error;
  EXPECT_FALSE(fm.lockItem(dir / "other.lock", &error));
  EXPECT_EQ(error->code, kFileWriteNoPermissionError);
}

TEST(FileSystem, OnlyStaleTemporaryFilesOfOurWritesAreRemoved) {
  ScratchDirForTesting dir;
  const std::string file = dir / "domain.plist";
  const std::string deadWriter = temporaryNameFor(file, deadProcessID(), 1);
  const std::string liveWriter = temporaryNameFor(file, ::getppid(), 2);
  const std::string ownWrite = temporaryNameFor(file, ::getpid(), 3);
  const std::string oldLiveWriter = temporaryNameFor(file, ::getppid(), 4);
  const std::string folderNamedLikeOne = temporaryNameFor(file, deadProcessID(), 5);
  for (const auto& path : {file, deadWriter, liveWriter, ownWrite, oldLiveWriter,
                           dir / "domain.plist.tmp-1-2", dir / ".domain.plist.lumora-tmp.x.1"}) {
    touch(path);
  }
  std::filesystem::create_directory(folderNamedLikeOne);
  // A reused process id does not keep a file from an hour ago.
  std::filesystem::last_write_time(oldLiveWriter, std::filesystem::file_time_type::clock::now() -
                                                      std::chrono::hours(2));

  EXPECT_EQ(FileManager::defaultManager().removeStaleTemporaryFiles(dir.path()), 2);
  EXPECT_FALSE(std::filesystem::exists(deadWriter));
  EXPECT_FALSE(std::filesystem::exists(oldLiveWriter));
  for (const auto& kept : {file, liveWriter, ownWrite, folderNamedLikeOne,
                           dir / "domain.plist.tmp-1-2", dir / ".domain.plist.lumora-tmp.x.1"}) {
    EXPECT_TRUE(std::filesystem::exists(kept)) << kept;
  }
}

}  // namespace
}  // namespace platform
