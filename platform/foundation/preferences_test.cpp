#include "platform/foundation/preferences.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <thread>

#include "platform/foundation/file_manager.h"
#include "platform/foundation/file_system.h"
#include "platform/foundation/foundation_errors.h"
#include "platform/foundation/property_list.h"
#include "platform/foundation/testing/scratch_dir_for_testing.h"
#include "platform/log/log.h"

namespace platform {
namespace {

constexpr const char* kApp = "com.lumora.tests";

std::string runProbe(const std::string& home, const std::string& command) {
  std::string line =
      "env LUMORA_HOME='" + home + "' LUMORA_BUNDLE= '" LUMORA_PREFERENCES_PROBE "' " + command;
  FILE* pipe = ::popen(line.c_str(), "r");
  if (!pipe) return "<popen failed>";
  std::string out;
  char buf[512];
  while (std::fgets(buf, sizeof buf, pipe))
    out += buf;
  int status = ::pclose(pipe);
  return status == 0 ? out : "<exit " + std::to_string(status) + ">" + out;
}

TEST(PreferencesAcrossProcesses, ValuesWrittenByOneRunAreReadByTheNext) {
  ScratchDirForTesting home;
  EXPECT_EQ(runProbe(home.path(), "write"), "");
  // The application's domain file sits under the state root, named after the bundle identifier.
  EXPECT_TRUE(FileManager::defaultManager().fileExists(home / "Preferences/com.lumora.host.plist"));
  EXPECT_TRUE(
      FileManager::defaultManager().fileExists(home / "Preferences/com.lumora.probe.suite.plist"));
  std::string expected =
      "probe|42|" +
      Value::map({{"list", Value::list({1, 2.5, true})}, {"when", Value::date(1709208000.5)}})
          .debugString() +
      "|1\n";
  EXPECT_EQ(runProbe(home.path(), "read"), expected);
}

class PreferencesTest : public ::testing::Test {
 protected:
  ScopedPreferencesForTesting store_{kApp};
};

TEST_F(PreferencesTest, SuiteNamesThePlatformRefuses) {
  for (const char* name : {kApp, "NSGlobalDomain", "../escape", "a/b", ".hidden", "tab\there"}) {
    EXPECT_EQ(Preferences::withSuiteName(name), nullptr) << name;
  }
  EXPECT_EQ(Preferences::withSuiteName(std::string(201, 'x')), nullptr);
  auto empty = Preferences::withSuiteName("");
  ASSERT_NE(empty, nullptr);
  EXPECT_EQ(empty->domain(), kApp);
  auto suite = Preferences::withSuiteName("group.shared");
  ASSERT_NE(suite, nullptr);
  EXPECT_EQ(suite->domain(), "group.shared");
}

TEST_F(PreferencesTest, TypedReadConversions) {
  struct Case {
    Value stored;
    std::int64_t integer;
    double real;
    bool boolean;
    std::optional<std::string> text;
  };
  const Case cases[] = {
      {"42", 42, 42, true, "42"},
      {" -17 apples", -17, -17, true, " -17 apples"},
      {"3.9", 3, 3.9, true, "3.9"},
      {"abc", 0, 0, false, "abc"},
      {"YES", 0, 0, true, "YES"},
      {"true", 0, 0, true, "true"},
      {"NO", 0, 0, false, "NO"},
      {"0", 0, 0, false, "0"},
      {"007", 7, 7, true, "007"},
      {"99999999999999999999", INT64_MAX, 1e20, true, "99999999999999999999"},
      {7, 7, 7, true, "7"},
      {0, 0, 0, false, "0"},
      {-2.75, -2, -2.75, true, "-2.75"},
      {1e30, INT64_MAX, 1e30, true, "1e+30"},
      {std::nan(""), 0, std::nan(""), true, "nan"},
      {true, 1, 1, true, "1"},
      {false, 0, 0, false, "0"},
      {Value::date(5), 0, 0, false, std::nullopt},
      {Bytes{1}, 0, 0, false, std::nullopt},
      {Value::list({1}), 0, 0, false, std::nullopt},
      {Value(), 0, 0, false, std::nullopt},
  };
  auto prefs = Preferences::standard();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.stored.debugString());
    ASSERT_TRUE(prefs->setObject("k", c.stored));
    EXPECT_EQ(prefs->integerForKey("k"), c.integer);
    if (std::isnan(c.real)) {
      EXPECT_TRUE(std::isnan(prefs->doubleForKey("k")));
    } else {
      EXPECT_DOUBLE_EQ(prefs->doubleForKey("k"), c.real);
    }
    EXPECT_EQ(prefs->boolForKey("k"), c.boolean);
    EXPECT_EQ(prefs->stringForKey("k"), c.text);
  }
}

TEST_F(PreferencesTest, KindReadsReturnOnlyTheirKind) {
  auto prefs = Preferences::standard();
  prefs->setObject("list", Value::list({"a", "b"}));
  prefs->setObject("mixed", Value::list({"a", 1}));
  prefs->setObject("map", Value::map({{"x", 1}}));
  prefs->setObject("data", Bytes{9});
  EXPECT_EQ(prefs->arrayForKey("list"), (ValueList{"a", "b"}));
  EXPECT_EQ(prefs->stringArrayForKey("list"), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(prefs->stringArrayForKey("mixed"), std::nullopt);
  EXPECT_EQ(prefs->arrayForKey("map"), std::nullopt);
  EXPECT_EQ(prefs->dictionaryForKey("map"), (ValueMap{{"x", 1}}));
  EXPECT_EQ(prefs->dictionaryForKey("list"), std::nullopt);
  EXPECT_EQ(prefs->dataForKey("data"), (Bytes{9}));
  EXPECT_EQ(prefs->dataForKey("map"), std::nullopt);
}

TEST_F(PreferencesTest, SearchListIsDomainThenGlobalThenRegistered) {
  auto app = Preferences::standard();
  auto suite = Preferences::withSuiteName("suite.one");
  app->registerDefaults({{"k", "registered"}, {"only registered", 1}});
  EXPECT_EQ(suite->objectForKey("k"), Value("registered"));
  ASSERT_TRUE(app->setPersistentDomain({{"k", "global"}}, kGlobalPreferencesDomain));
  EXPECT_EQ(suite->objectForKey("k"), Value("global"));
  suite->setString("k", "suite");
  EXPECT_EQ(suite->objectForKey("k"), Value("suite"));
  EXPECT_EQ(app->objectForKey("k"), Value("global"));  // suites do not leak into the app

  EXPECT_EQ(suite->dictionaryRepresentation(), (ValueMap{{"k", "suite"}, {"only registered", 1}}));
  EXPECT_EQ(suite->keys(), std::vector<std::string>{"k"});
  EXPECT_EQ(app->persistentDomainForName("suite.one"), (ValueMap{{"k", "suite"}}));
  EXPECT_EQ(app->persistentDomainForName("never.written"), std::nullopt);

  EXPECT_TRUE(suite->removeObjectForKey("k"));
  EXPECT_EQ(suite->objectForKey("k"), Value("global"));
  EXPECT_TRUE(suite->keys().empty());
}

TEST_F(PreferencesTest, RefusedValuesChangeNothing) {
  auto prefs = Preferences::standard();
  ASSERT_TRUE(prefs->setString("k", "kept"));
  for (const Value& bad : {Value(Int32List{1}), Value::map({{1, 2}}), Value::list({Value()})}) {
    ErrorPtr error;
    EXPECT_FALSE(prefs->setObject("k", bad, &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, kPropertyListWriteInvalidError);
  }
  EXPECT_EQ(prefs->objectForKey("k"), Value("kept"));
}

TEST_F(PreferencesTest, ValuesAndDomainsPastTheSizeLimitsAreRefusedAndChangeNothing) {
  auto prefs = Preferences::standard();
  ASSERT_TRUE(prefs->setString("k", "kept"));
  ErrorPtr error;
  EXPECT_FALSE(prefs->setObject("k", Bytes(kPreferencesMaxValueBytes, 1), &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kPropertyListWriteInvalidError);
  EXPECT_EQ(prefs->objectForKey("k"), Value("kept"));

  // Values that fit one by one fill the domain until the next one would pass its limit.
  const Bytes large(kPreferencesMaxValueBytes - 256, 2);
  const std::uint64_t fit = kPreferencesMaxDomainBytes / large.size();
  for (std::uint64_t i = 0; i < fit; ++i) {
    ASSERT_TRUE(prefs->setObject("large" + std::to_string(i), large)) << i;
  }
  error.reset();
  EXPECT_FALSE(prefs->setObject("one too many", large, &error));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->code, kPropertyListWriteInvalidError);
  EXPECT_TRUE(prefs->objectForKey("one too many").isNull());
  // Shrinking is always possible.
  EXPECT_TRUE(prefs->removeObjectForKey("large0"));
  EXPECT_TRUE(prefs->setObject("one too many", large));

  ValueMap whole;
  for (std::uint64_t i = 0; i <= fit; ++i)
    whole[Value("w" + std::to_string(i))] = large;
  EXPECT_FALSE(prefs->setPersistentDomain(whole, "suite.whole", &error));
  EXPECT_EQ(error->code, kPropertyListWriteInvalidError);
  EXPECT_EQ(prefs->persistentDomainForName("suite.whole"), std::nullopt);
}

TEST_F(PreferencesTest, ConcurrentWritersAndReadersLoseNothing) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      auto prefs = t % 2 ? Preferences::standard() : Preferences::withSuiteName("");
      for (int i = 0; i < 200; ++i) {
        std::string key = "k" + std::to_string(t) + "-" + std::to_string(i);
        prefs->setInteger(key, i);
        EXPECT_EQ(prefs->integerForKey(key), i);
        prefs->dictionaryRepresentation();
      }
    });
  }
  for (auto& th : threads)
    th.join();
  EXPECT_EQ(Preferences::standard()->keys().size(), 800u);
}

class FilePreferencesTest : public ::testing::Test {
 protected:
  ScratchDirForTesting root_;
  std::string path(const std::string& domain) { return root_ / (domain + ".plist"); }
};

TEST_F(FilePreferencesTest, WritesReachTheFileAndANewStoreReadsThem) {
  {
    ScopedPreferencesForTesting store(kApp, root_.path());
    EXPECT_EQ(Preferences::pathForDomain(kApp), path(kApp));
    ASSERT_TRUE(Preferences::standard()->setInteger("n", 5));
    auto onDisk = readPropertyListFile(path(kApp));
    ASSERT_TRUE(onDisk);
    EXPECT_EQ(*onDisk, Value::map({{"n", 5}}));
    struct stat st {};
    ASSERT_EQ(::stat(path(kApp).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
  }
  ScopedPreferencesForTesting again(kApp, root_.path());
  EXPECT_EQ(Preferences::standard()->integerForKey("n"), 5);
  // Removing the last key removes the file.
  ASSERT_TRUE(Preferences::standard()->removeObjectForKey("n"));
  EXPECT_FALSE(FileManager::defaultManager().fileExists(path(kApp)));
}

TEST_F(FilePreferencesTest, CrashBetweenTemporaryFileAndRenameLeavesTheOldFile) {
  {
    ScopedPreferencesForTesting store(kApp, root_.path());
    ASSERT_TRUE(Preferences::standard()->setString("k", "old"));
  }
  // What a writer leaves behind when it dies after writing its temporary file but before the
  // rename: the new content sits beside the domain file, which still holds the old content.
  long pidMax = 4194304;
  std::ifstream("/proc/sys/kernel/pid_max") >> pidMax;
  const std::string stray = temporaryNameFor(path(kApp), pidMax + 1, 1);
  const std::string torn = temporaryNameFor(path(kApp), pidMax + 1, 2);
  auto newer = dataFromPropertyList(Value::map({{"k", "new"}}), PropertyListFormat::Binary);
  std::ofstream(stray, std::ios::binary)
      .write(reinterpret_cast<const char*>(newer->data()), newer->size());
  std::ofstream(torn, std::ios::binary) << "half-writ";
  // Another program's file that merely looks temporary is not ours to remove.
  std::ofstream(path(kApp) + ".tmp-4242-1") << "someone else's";

  ScopedPreferencesForTesting restarted(kApp, root_.path());
  EXPECT_EQ(Preferences::standard()->stringForKey("k"), "old");
  // The restart removed the strays of the dead writer.
  auto& fm = FileManager::defaultManager();
  EXPECT_FALSE(fm.fileExists(stray));
  EXPECT_FALSE(fm.fileExists(torn));
  EXPECT_TRUE(fm.fileExists(path(kApp) + ".tmp-4242-1"));
  ASSERT_TRUE(Preferences::standard()->setString("k", "newest"));
  EXPECT_EQ(readPropertyListFile(path(kApp)), Value::map({{"k", "newest"}}));
}

TEST_F(FilePreferencesTest, DamagedDomainFileIsMovedAsideNotOverwritten) {
  // The second could be read once but never written back: a key that is not UTF-8.
  for (std::string damaged :
       {"this is not a property list",
        "<plist><dict><key>\xC3\x28</key><string>v</string></dict></plist>"}) {
    SCOPED_TRACE(damaged);
    std::ofstream(path(kApp)) << damaged;
    ScopedPreferencesForTesting store(kApp, root_.path());
    ScopedLogCapture log;
    EXPECT_TRUE(Preferences::standard()->objectForKey("k").isNull());
    EXPECT_EQ(log.count("is damaged"), 1u);
    std::ifstream aside(path(kApp) + ".damaged");
    std::string kept((std::istreambuf_iterator<char>(aside)), {});
    EXPECT_EQ(kept, damaged);
    ASSERT_TRUE(Preferences::standard()->setString("k", "v"));
    EXPECT_EQ(readPropertyListFile(path(kApp)), Value::map({{"k", "v"}}));
  }
}

TEST_F(FilePreferencesTest, FailedWriteIsReportedAndRetriedBySynchronize) {
  std::string blocked = root_ / "prefs";
  std::ofstream(blocked) << "a file where the folder should be";
  ScopedPreferencesForTesting store(kApp, blocked);
  auto prefs = Preferences::standard();
  ErrorPtr error;
  EXPECT_FALSE(prefs->setObject("k", "v", &error));
  EXPECT_TRUE(error);
  EXPECT_EQ(prefs->stringForKey("k"), "v");  // kept in memory, pending
  EXPECT_FALSE(prefs->synchronize());

  std::remove(blocked.c_str());
  EXPECT_TRUE(prefs->synchronize());
  EXPECT_EQ(readPropertyListFile(blocked + "/" + kApp + ".plist"), Value::map({{"k", "v"}}));
}

TEST_F(FilePreferencesTest, TwoStoresSharingADomainKeepEachOthersKeys) {
  // Two stores over one folder stand for two processes.
  ScopedPreferencesForTesting first(kApp, root_.path());
  auto a = Preferences::standard();
  ScopedPreferencesForTesting second(kApp, root_.path());
  auto b = Preferences::standard();
  ASSERT_NE(a, b);
  EXPECT_TRUE(b->objectForKey("from a").isNull());  // b has read the (empty) domain
  ASSERT_TRUE(a->setString("from a", "1"));
  ASSERT_TRUE(b->setString("from b", "2"));
  ASSERT_TRUE(b->removeObjectForKey("never there"));
  EXPECT_EQ(readPropertyListFile(path(kApp)), Value::map({{"from a", "1"}, {"from b", "2"}}));
  ASSERT_TRUE(a->removeObjectForKey("from a"));
  EXPECT_EQ(readPropertyListFile(path(kApp)), Value::map({{"from b", "2"}}));
}

// Runs as root too: the refusal to read comes from the file seam, not from the file's mode.
TEST_F(FilePreferencesTest, UnreadableDomainFileIsNeverOverwritten) {
  for (int err : {EACCES, EIO}) {
    SCOPED_TRACE(err);
    ASSERT_TRUE(
        writePropertyListFile(path(kApp), Value::map({{"k", "v"}}), PropertyListFormat::Binary));
    auto fs = std::make_shared<FaultInjectingFileSystem>();
    fs->inject(kFileRead, path(kApp), err);
    ScopedFileSystemForTesting installed(fs);
    ScopedPreferencesForTesting store(kApp, root_.path());
    ScopedLogCapture log;
    ErrorPtr error;
    EXPECT_FALSE(Preferences::standard()->setString("k2", "v2"));
    EXPECT_FALSE(Preferences::standard()->setPersistentDomain({{"k3", 3}}, kApp, &error));
    EXPECT_EQ(log.count("cannot be read"), 2u);
    EXPECT_FALSE(FileManager::defaultManager().fileExists(path(kApp) + ".damaged"));
    fs->clear();
    EXPECT_EQ(readPropertyListFile(path(kApp)), Value::map({{"k", "v"}}));
  }
}

TEST_F(FilePreferencesTest, DiskFullOrIOErrorOnWriteIsReportedKeepsTheFileAndIsRetried) {
  for (int err : {ENOSPC, EIO}) {
    SCOPED_TRACE(err);
    ScopedPreferencesForTesting store(kApp, root_.path());
    auto prefs = Preferences::standard();
    ASSERT_TRUE(prefs->setString("k", "old"));
    auto fs = std::make_shared<FaultInjectingFileSystem>();
    fs->inject(kFileWrite, root_.path(), err);
    ScopedFileSystemForTesting installed(fs);
    ErrorPtr error;
    EXPECT_FALSE(prefs->setObject("k", "new", &error));
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, err == ENOSPC ? kFileWriteOutOfSpaceError : kFileWriteUnknownError);
    EXPECT_EQ(prefs->stringForKey("k"), "new");  // pending in memory
    EXPECT_EQ(readPropertyListFile(path(kApp)), Value::map({{"k", "old"}}));
    EXPECT_FALSE(prefs->synchronize());

    fs->clear();
    EXPECT_TRUE(prefs->synchronize());
    EXPECT_EQ(readPropertyListFile(path(kApp)), Value::map({{"k", "new"}}));
    ASSERT_TRUE(prefs->removeObjectForKey("k"));
  }
}

TEST_F(FilePreferencesTest, SynchronizeSeesWritesOfOtherProcessesAndForgetDropsADomain) {
  ScopedPreferencesForTesting store(kApp, root_.path());
  auto prefs = Preferences::withSuiteName("suite.sync");
  EXPECT_TRUE(prefs->objectForKey("k").isNull());
  ASSERT_TRUE(
      writePropertyListFile(path("suite.sync"), Value::map({{"k", 1}}), PropertyListFormat::Xml));
  EXPECT_TRUE(prefs->objectForKey("k").isNull());  // cached until synchronised
  EXPECT_TRUE(prefs->synchronize());
  EXPECT_EQ(prefs->integerForKey("k"), 1);

  std::remove(path("suite.sync").c_str());
  Preferences::forgetDomain("suite.sync");
  EXPECT_TRUE(prefs->objectForKey("k").isNull());
}

}  // namespace
}  // namespace platform
