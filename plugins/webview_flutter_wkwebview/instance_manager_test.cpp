#include "plugins/webview_flutter_wkwebview/instance_manager.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

namespace webview {
namespace {

using platform::webkit::NativeObject;

class InstanceManagerTest : public ::testing::Test {
 protected:
  std::vector<std::int64_t> deaths() {
    std::lock_guard lock(mutex_);
    return deaths_;
  }

  std::mutex mutex_;
  std::vector<std::int64_t> deaths_;
  InstanceManager manager_{[this](std::int64_t identifier) {
    std::lock_guard lock(mutex_);
    deaths_.push_back(identifier);
  }};
};

TEST_F(InstanceManagerTest, NativeIdentifiersAscendFrom65536AndRestartAfterClear) {
  auto a = std::make_shared<NativeObject>();
  auto b = std::make_shared<NativeObject>();
  EXPECT_EQ(manager_.addHostCreatedInstance(a), 65536);
  EXPECT_EQ(manager_.addHostCreatedInstance(b), 65537);
  EXPECT_EQ(manager_.instance(65536), a);
  EXPECT_EQ(manager_.identifierWithStrongReference(b), 65537);
  manager_.removeAllObjects();
  EXPECT_EQ(manager_.instance(65536), nullptr);
  EXPECT_FALSE(manager_.containsInstance(a));
  // Objects registered before the clear die silently.
  a.reset();
  b.reset();
  EXPECT_TRUE(deaths().empty());
  EXPECT_EQ(manager_.addHostCreatedInstance(std::make_shared<NativeObject>()), 65536);
}

TEST_F(InstanceManagerTest, ReleasedObjectStaysWeaklyRegisteredAndItsDeathIsReportedOnce) {
  auto object = std::make_shared<NativeObject>();
  std::weak_ptr<NativeObject> weak = object;
  const auto identifier = manager_.addHostCreatedInstance(object);
  // The strong reference alone keeps it alive.
  object.reset();
  ASSERT_FALSE(weak.expired());
  auto held = manager_.removeInstance(identifier);
  EXPECT_EQ(manager_.removeInstance(identifier), nullptr);  // unknown now: changes nothing
  EXPECT_EQ(manager_.instance(identifier), held);
  EXPECT_TRUE(deaths().empty());
  held.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(deaths(), std::vector<std::int64_t>{identifier});
  EXPECT_EQ(manager_.instance(identifier), nullptr);
}

TEST_F(InstanceManagerTest, EntriesOfDeadObjectsAreForgottenAsTheRegistryGrows) {
  std::vector<std::shared_ptr<NativeObject>> live;
  std::vector<std::int64_t> identifiers;
  for (int i = 0; i < 200; ++i) {
    live.push_back(std::make_shared<NativeObject>());
    identifiers.push_back(manager_.addHostCreatedInstance(live.back()));
  }
  // Nothing died: growing past the sweep points forgot nothing.
  EXPECT_EQ(manager_.entryCount(), 200u);
  // 150 die, released by the application side and dropped here.
  for (int i = 0; i < 150; ++i) {
    manager_.removeInstance(identifiers[i]).reset();
    live[i].reset();
  }
  EXPECT_EQ(deaths().size(), 150u);
  // Registering 300 more passes a sweep point: the dead entries go, the live ones stay.
  for (int i = 0; i < 300; ++i)
    manager_.addHostCreatedInstance(std::make_shared<NativeObject>());
  EXPECT_EQ(manager_.entryCount(), 50u + 300u);
  for (int i = 150; i < 200; ++i)
    EXPECT_EQ(manager_.instance(identifiers[i]), live[i]);
}

TEST_F(InstanceManagerTest, AnObjectUnderTwoIdentifiersKeepsBothAndReportsEachOnce) {
  auto store = std::make_shared<NativeObject>();
  ASSERT_TRUE(manager_.addDartCreatedInstance(store, 7));
  ASSERT_TRUE(manager_.addDartCreatedInstance(store, 9));
  EXPECT_EQ(manager_.instance(7), store);
  EXPECT_EQ(manager_.instance(9), store);
  EXPECT_EQ(manager_.identifierWithStrongReference(store), 7);
  manager_.removeInstance(7);
  manager_.removeInstance(9);
  EXPECT_TRUE(deaths().empty());
  store.reset();
  auto reported = deaths();
  std::sort(reported.begin(), reported.end());
  EXPECT_EQ(reported, (std::vector<std::int64_t>{7, 9}));
}

TEST_F(InstanceManagerTest, IdentifiersBoundToLiveObjectsAreRefusedAndSkipped) {
  auto first = std::make_shared<NativeObject>();
  auto second = std::make_shared<NativeObject>();
  ASSERT_TRUE(manager_.addDartCreatedInstance(first, 65536));
  EXPECT_FALSE(manager_.addDartCreatedInstance(second, 65536));
  EXPECT_FALSE(manager_.addDartCreatedInstance(second, -1));
  EXPECT_EQ(manager_.instance(65536), first);
  EXPECT_FALSE(manager_.containsInstance(second));
  // The same object again is no conflict.
  EXPECT_TRUE(manager_.addDartCreatedInstance(first, 65536));
  // Native numbering steps over the identifier in use.
  EXPECT_EQ(manager_.addHostCreatedInstance(second), 65537);
  // Once the first object is gone its identifier is free for another.
  manager_.removeInstance(65536);
  first.reset();
  auto third = std::make_shared<NativeObject>();
  EXPECT_TRUE(manager_.addDartCreatedInstance(third, 65536));
  EXPECT_EQ(manager_.instance(65536), third);
}

TEST_F(InstanceManagerTest, ALaterObjectIsNeverTakenForADeadOne) {
  auto object = std::make_shared<NativeObject>();
  manager_.addHostCreatedInstance(object);
  manager_.removeInstance(65536);
  object.reset();
  // A new object may well reuse the freed memory; it is still unknown.
  auto later = std::make_shared<NativeObject>();
  EXPECT_FALSE(manager_.containsInstance(later));
  EXPECT_EQ(manager_.identifierWithStrongReference(later), std::nullopt);
  EXPECT_EQ(manager_.instance(65536), nullptr);
}

TEST_F(InstanceManagerTest, ADeathHandlerMayCallBackIntoTheManager) {
  // Objects are released outside the lock, so a handler that looks things up cannot deadlock.
  std::vector<bool> seen;
  InstanceManager* self = nullptr;
  InstanceManager manager(
      [&](std::int64_t identifier) { seen.push_back(self->instance(identifier) != nullptr); });
  self = &manager;
  manager.addHostCreatedInstance(std::make_shared<NativeObject>());
  manager.removeInstance(65536);  // returned object dropped at once
  EXPECT_EQ(seen, std::vector<bool>{false});
}

TEST_F(InstanceManagerTest, FinalizersOnWorkerThreadsWhileTheMainThreadRegisters) {
  constexpr int kWorkers = 4;
  constexpr int kPerWorker = 200;
  std::vector<std::vector<std::shared_ptr<NativeObject>>> batches(kWorkers);
  for (auto& batch : batches) {
    for (int i = 0; i < kPerWorker; ++i) {
      auto object = std::make_shared<NativeObject>();
      manager_.addHostCreatedInstance(object);
      batch.push_back(object);
    }
  }
  for (std::int64_t id = 65536; id < 65536 + kWorkers * kPerWorker; ++id) {
    manager_.removeInstance(id);
  }
  std::atomic<bool> go{false};
  std::vector<std::thread> workers;
  for (auto& batch : batches) {
    workers.emplace_back([&go, &batch] {
      while (!go.load())
        std::this_thread::yield();
      batch.clear();  // finalizers fire here
    });
  }
  go = true;
  std::vector<std::shared_ptr<NativeObject>> registered;
  for (int i = 0; i < 500; ++i) {
    auto object = std::make_shared<NativeObject>();
    manager_.addHostCreatedInstance(object);
    manager_.identifierWithStrongReference(object);
    registered.push_back(object);
  }
  for (auto& worker : workers)
    worker.join();
  EXPECT_EQ(deaths().size(), static_cast<std::size_t>(kWorkers * kPerWorker));
  for (const auto& object : registered)
    EXPECT_TRUE(manager_.containsInstance(object));
  EXPECT_EQ(manager_.strongCount(), registered.size());
}

}  // namespace
}  // namespace webview
