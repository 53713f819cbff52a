#include "platform/foundation/file_manager.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/foundation/foundation_errors.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"

namespace platform {
namespace {

FileManager& fm() {
  return FileManager::defaultManager();
}

TEST(FileManager, DirectoriesUnderTheStateRootAreCreatedPrivateOnFirstUse) {
  ScratchDirForTesting home;
  ScopedEnvironmentForTesting env("LUMORA_HOME", home.path());
  const std::pair<SearchPathDirectory, std::string> cases[] = {
      {SearchPathDirectory::Library, home.path()},
      {SearchPathDirectory::Preferences, home / "Preferences"},
      {SearchPathDirectory::ApplicationSupport, home / "Application Support"},
      {SearchPathDirectory::Documents, home / "Documents"},
      {SearchPathDirectory::Caches, home / "Caches"},
      {SearchPathDirectory::Keychains, home / "Keychains"},
      {SearchPathDirectory::Temporary, home / "tmp"},
  };
  for (const auto& [which, expected] : cases) {
    EXPECT_EQ(fm().pathForDirectory(which), expected);
    EXPECT_EQ(fm().directory(which), expected);
    bool isDir = false;
    EXPECT_TRUE(fm().fileExists(expected, &isDir) && isDir) << expected;
  }
  struct stat st {};
  ASSERT_EQ(::stat((home / "Keychains").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
}

TEST(FileManager, XdgDirectoriesWithoutAStateRoot) {
  ScopedEnvironmentForTesting noHome("LUMORA_HOME", std::nullopt);
  ScopedEnvironmentForTesting config("XDG_CONFIG_HOME", "/x/config");
  ScopedEnvironmentForTesting data("XDG_DATA_HOME", "relative/ignored");
  ScopedEnvironmentForTesting cache("XDG_CACHE_HOME", std::nullopt);
  ScopedEnvironmentForTesting home("HOME", "/home/u");
  ScopedEnvironmentForTesting tmp("TMPDIR", "/scratch");
  EXPECT_EQ(fm().pathForDirectory(SearchPathDirectory::Preferences),
            "/x/config/lumora/Preferences");
  EXPECT_EQ(fm().pathForDirectory(SearchPathDirectory::ApplicationSupport),
            "/home/u/.local/share/lumora/Application Support");
  EXPECT_EQ(fm().pathForDirectory(SearchPathDirectory::Caches), "/home/u/.cache/lumora");
  EXPECT_EQ(fm().pathForDirectory(SearchPathDirectory::Temporary),
            "/scratch/lumora-" + std::to_string(getuid()));
  // Without HOME, the user's home from the password database, looked up at start-up.
  ScopedEnvironmentForTesting noHomeVariable("HOME", std::nullopt);
  std::string fromDatabase = fm().pathForDirectory(SearchPathDirectory::Caches);
  EXPECT_NE(fromDatabase, "");
  EXPECT_NE(fromDatabase.find("/.cache/lumora"), std::string::npos);
}

TEST(FileManager, PlantedLinkForThePrivateTemporaryFolderIsRefused) {
  ScratchDirForTesting scratch;
  ScopedEnvironmentForTesting noHome("LUMORA_HOME", std::nullopt);
  ScopedEnvironmentForTesting tmp("TMPDIR", scratch.path());
  std::string expected = scratch / ("lumora-" + std::to_string(getuid()));
  std::filesystem::create_directory(scratch / "elsewhere");
  std::filesystem::create_directory_symlink(scratch / "elsewhere", expected);
  ErrorPtr error;
  EXPECT_EQ(fm().directory(SearchPathDirectory::Temporary, &error), "");
  ASSERT_TRUE(error);
  std::filesystem::remove(expected);
  EXPECT_EQ(fm().directory(SearchPathDirectory::Temporary), expected);
}

TEST(FileManager, AtomicWritesAttributesListingMoveAndRemove) {
  ScratchDirForTesting dir;
  std::string file = dir / "a.txt";
  ErrorPtr error;
  ASSERT_TRUE(fm().writeAtomically(file, std::string_view("one"), &error));
  ASSERT_TRUE(fm().writeAtomically(file, std::string_view("two!"), &error));
  EXPECT_EQ(fm().contentsAtPath(file), (Bytes{'t', 'w', 'o', '!'}));
  // No temporary file is left behind.
  EXPECT_EQ(fm().contentsOfDirectory(dir.path()), std::vector<std::string>{"a.txt"});

  auto attrs = fm().attributesOfItem(file);
  ASSERT_TRUE(attrs);
  EXPECT_EQ(attrs->size, 4u);
  EXPECT_FALSE(attrs->isDirectory);
  EXPECT_GT(attrs->modificationDate.secondsSince1970, 1.6e9);
  EXPECT_GT(attrs->creationDate.secondsSince1970, 1.6e9);
  EXPECT_LE(attrs->creationDate.secondsSince1970, attrs->modificationDate.secondsSince1970 + 1);

  ASSERT_TRUE(fm().createDirectory(dir / "x/y/z", true));
  EXPECT_FALSE(fm().createDirectory(dir / "p/q", false, &error));
  EXPECT_FALSE(fm().moveItem(file, dir / "x", &error));  // destination exists
  EXPECT_EQ(error->code, kFileWriteFileExistsError);
  ASSERT_TRUE(fm().moveItem(file, dir / "b.txt"));
  EXPECT_TRUE(fm().removeItem(dir / "x"));
  EXPECT_FALSE(fm().fileExists(dir / "x/y/z"));
  EXPECT_FALSE(fm().removeItem(dir / "x", &error));
  EXPECT_EQ(error->code, kFileNoSuchFileError);
  EXPECT_FALSE(fm().contentsAtPath(dir / "missing", &error));
  EXPECT_EQ(error->code, kFileReadNoSuchFileError);
  EXPECT_FALSE(fm().contentsAtPath(dir / "b.txt", &error, 2));
  EXPECT_EQ(error->code, kFileReadTooLargeError);
  EXPECT_FALSE(fm().writeAtomically(dir / "no/such/dir/f", std::string_view("x"), &error));
  EXPECT_EQ(error->code, kFileNoSuchFileError);
}

TEST(FileManager, BackupExclusionMark) {
  ScratchDirForTesting dir;
  std::string file = dir / "f";
  ASSERT_TRUE(fm().writeAtomically(file, std::string_view("x")));
  EXPECT_FALSE(fm().isExcludedFromBackup(file));
  ErrorPtr error;
  if (!fm().setExcludedFromBackup(file, true, &error)) {
    GTEST_SKIP() << "no user extended attributes here: " << error->localizedDescription();
  }
  EXPECT_TRUE(fm().isExcludedFromBackup(file));
  EXPECT_TRUE(fm().setExcludedFromBackup(file, false));
  EXPECT_FALSE(fm().isExcludedFromBackup(file));
  EXPECT_FALSE(fm().setExcludedFromBackup(dir / "missing", true, &error));
  EXPECT_EQ(error->code, kFileNoSuchFileError);
}

}  // namespace
}  // namespace platform
