#include "zevevidi/core/heartbeat_storage.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>

#include "platform/foundation/file_system.h"
#include "platform/foundation/preferences.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"

namespace {

namespace fs = std::filesystem;

std::string readFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void writeFile(const fs::path& p, const std::string& text) {
  fs::create_directories(p.parent_path());
  std::ofstream(p, std::ios::binary) << text;
}

class HeartbeatStorageTest : public ::testing::Test {
 protected:
  fs::path storageFolder() const {
    return fs::path(scratch_.path()) / "Application Support" / "ziriza-heartbeat-storage";
  }

  platform::ScratchDirForTesting scratch_;
  platform::ScopedEnvironmentForTesting home_{"LUMORA_HOME", scratch_.path()};
};

TEST_F(HeartbeatStorageTest, FileNamesStayInsideTheStorageFolder) {
  struct Case {
    std::string id;
    std::string fileName;
  };
  const Case cases[] = {
      {"1:2:ios:3", "heartbeats-1_2_ios_3"},
      {"1:1234567890:ios:0123456789abcdef", "heartbeats-1_1234567890_ios_0123456789abcdef"},
      {"../../etc/passwd", "heartbeats-%2E%2E%2F%2E%2E%2Fetc%2Fpasswd"},
      {"a/b\\c", "heartbeats-a%2Fb%5Cc"},
      {std::string("a\0b", 3), "heartbeats-a%00b"},
      {"100%2F", "heartbeats-100%252F"},
      {"v1.2", "heartbeats-v1.2"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FileStorage::fileNameForID(c.id), c.fileName);
    auto storage = FileStorage::makeStorage(c.id);
    EXPECT_EQ(fs::path(storage->path()), storageFolder() / c.fileName);
  }
}

TEST_F(HeartbeatStorageTest, SharedWhileAliveAndNewAfterRelease) {
  auto first = HeartbeatStorage::getInstance("1:2:ios:3");
  EXPECT_EQ(HeartbeatStorage::getInstance("1:2:ios:3"), first);
  EXPECT_NE(HeartbeatStorage::getInstance("1:2:ios:4"), first);
  EXPECT_EQ(first->queue()->label(), "com.heartbeat.storage.1:2:ios:3");
  std::weak_ptr<HeartbeatStorage> weak = first;
  first.reset();
  EXPECT_TRUE(weak.expired());
  auto second = HeartbeatStorage::getInstance("1:2:ios:3");
  EXPECT_NE(second, nullptr);
}

TEST_F(HeartbeatStorageTest, AStorageThatDiesDoesNotEvictAnotherStoragesEntry) {
  auto shared = HeartbeatStorage::getInstance("id:evict");
  {
    // Same identifier, not the shared one (as when an old storage dies after a new one was
    // made): its end must leave the shared entry alone.
    auto stray = std::make_shared<HeartbeatStorage>("id:evict", FileStorage::makeStorage("x"));
  }
  EXPECT_EQ(HeartbeatStorage::getInstance("id:evict"), shared);
}

TEST_F(HeartbeatStorageTest, EmptyOrDamagedFilesReadAsNoBundleAndAreReplaced) {
  auto storage = HeartbeatStorage::getInstance("1:9:ios:f");
  const fs::path file = storageFolder() / "heartbeats-1_9_ios_f";

  // The first write creates the folder; writing nothing leaves an empty file.
  storage->readAndWriteSync([](std::optional<HeartbeatsBundle> b) {
    EXPECT_FALSE(b.has_value());
    return std::optional<HeartbeatsBundle>();
  });
  ASSERT_TRUE(fs::exists(file));
  EXPECT_EQ(fs::file_size(file), 0u);

  for (const char* damaged : {"not json", "{\"capacity\":30}", "[]"}) {
    SCOPED_TRACE(damaged);
    writeFile(file, damaged);
    bool sawNone = false;
    storage->readAndWriteAsync([&sawNone](std::optional<HeartbeatsBundle> b) {
      sawNone = !b.has_value();
      return std::optional<HeartbeatsBundle>(HeartbeatsBundle(30));
    });
    storage->readAndWriteSync([&](std::optional<HeartbeatsBundle> b) {
      EXPECT_TRUE(sawNone);
      EXPECT_TRUE(b.has_value());
      return b;
    });
    EXPECT_EQ(readFile(file).substr(0, 10), "{\"buffer\":");
  }
}

TEST_F(HeartbeatStorageTest, GetAndSetReportsAFailedWriteAndKeepsTheOldContent) {
  // A file where the storage folder should be: the folder cannot be made.
  fs::create_directories(storageFolder().parent_path());
  writeFile(storageFolder(), "in the way");
  auto storage = HeartbeatStorage::getInstance("1:7:ios:a");
  auto result = storage->getAndSet([](std::optional<HeartbeatsBundle>) {
    return std::optional<HeartbeatsBundle>(HeartbeatsBundle(30));
  });
  EXPECT_FALSE(result.ok);
  EXPECT_EQ(readFile(storageFolder()), "in the way");

  std::atomic<int> calls{0};
  bool ok = true;
  storage->getAndSetAsync([](std::optional<HeartbeatsBundle> b) { return b; },
                          [&](GetAndSetResult r) {
                            ok = r.ok;
                            ++calls;
                          });
  storage->readAndWriteSync([](std::optional<HeartbeatsBundle> b) { return b; });
  EXPECT_EQ(calls.load(), 1);
  EXPECT_FALSE(ok);
}

TEST_F(HeartbeatStorageTest, DiskFullOrIOErrorOnWriteIsReportedAndKeepsTheOldBundle) {
  auto storage = HeartbeatStorage::getInstance("1:6:ios:c");
  HeartbeatsBundle first(30);
  first.append(Heartbeat{"a", platform::Date{1709251200}, {TimePeriod::daily}, 0});
  ASSERT_TRUE(storage->getAndSet([&](std::optional<HeartbeatsBundle>) { return first; }).ok);
  const fs::path file = storageFolder() / "heartbeats-1_6_ios_c";
  const std::string before = readFile(file);
  for (int err : {ENOSPC, EIO}) {
    SCOPED_TRACE(err);
    auto faults = std::make_shared<platform::FaultInjectingFileSystem>();
    faults->inject(platform::kFileWrite, storageFolder().string(), err);
    platform::ScopedFileSystemForTesting installed(faults);
    auto result = storage->getAndSet(
        [](std::optional<HeartbeatsBundle>) { return std::optional<HeartbeatsBundle>(); });
    EXPECT_FALSE(result.ok);
    EXPECT_FALSE(result.previous.has_value());
    std::atomic<bool> asyncOk{true};
    storage->getAndSetAsync([](std::optional<HeartbeatsBundle> b) { return b; },
                            [&](GetAndSetResult r) { asyncOk = r.ok; });
    storage->readAndWriteSync([](std::optional<HeartbeatsBundle> b) { return b; });
    EXPECT_FALSE(asyncOk.load());
    EXPECT_EQ(readFile(file), before);
  }
  // The disk has room again: the bundle was kept whole.
  auto after = storage->getAndSet([](std::optional<HeartbeatsBundle> b) { return b; });
  EXPECT_TRUE(after.ok);
  EXPECT_EQ(after.previous, std::optional<HeartbeatsBundle>(first));
}

TEST_F(HeartbeatStorageTest, GetAndSetReturnsThePreviousBundle) {
  auto storage = HeartbeatStorage::getInstance("1:8:ios:b");
  HeartbeatsBundle first(30);
  first.append(Heartbeat{"a", platform::Date{1709251200}, {TimePeriod::daily}, 0});
  auto r1 = storage->getAndSet([&](std::optional<HeartbeatsBundle>) { return first; });
  EXPECT_TRUE(r1.ok);
  EXPECT_FALSE(r1.previous.has_value());
  auto r2 = storage->getAndSet(
      [](std::optional<HeartbeatsBundle>) { return std::optional<HeartbeatsBundle>(); });
  EXPECT_TRUE(r2.ok);
  EXPECT_EQ(r2.previous, std::optional<HeartbeatsBundle>(first));
}

TEST(UserDefaultsStorageTest, BytesUnderAKeyOfASuite) {
  platform::ScopedPreferencesForTesting preferences;
  UserDefaultsStorage storage("com.example.heartbeats", "bundle");
  EXPECT_THROW(storage.read(), StorageException);
  storage.write(platform::Bytes{1, 2, 3});
  EXPECT_EQ(storage.read(), (platform::Bytes{1, 2, 3}));
  storage.write(std::nullopt);
  EXPECT_THROW(storage.read(), StorageException);

  // A suite name the preferences refuse cannot hold anything.
  UserDefaultsStorage refused("../outside", "bundle");
  EXPECT_THROW(refused.write(platform::Bytes{1}), StorageException);
}

}  // namespace
