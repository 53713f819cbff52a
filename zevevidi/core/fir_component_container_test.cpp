#include "zevevidi/core/fir_component_container.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <future>
#include <thread>

#include "platform/foundation/bundle.h"
#include "platform/foundation/notification_center.h"
#include "platform/foundation/preferences.h"
#include "platform/log/log.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/core/testing/registry_test_fixture.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

using platform::Value;

constexpr const char* kValidID = "1:1234567890:ios:0123456789abcdef";

// Component instances: interfaces are polymorphic bases next to platform::Object.
class Counter {
 public:
  virtual ~Counter() = default;
};
class Other {
 public:
  virtual ~Other() = default;
};
class CounterImpl : public platform::Object, public Counter {};
class OtherImpl : public platform::Object, public Other {};
class Maintained : public platform::Object, public Counter, public FIRComponentLifecycleMaintainer {
 public:
  void appWillBeDeleted(const std::shared_ptr<FIRApp>& app) override {
    ++deletions;
    deletedApp = app ? app->name() : "";
  }
  int deletions = 0;
  std::string deletedApp;
};

// A registrant built from a list of components.
class TestLibrary : public FIRLibrary {
 public:
  TestLibrary(std::string name, std::vector<FIRComponentPtr> components)
      : name_(std::move(name)), components_(std::move(components)) {}
  std::string className() const override { return name_; }
  std::vector<FIRComponentPtr> componentsToRegister() const override { return components_; }

 private:
  std::string name_;
  std::vector<FIRComponentPtr> components_;
};

const FIRProtocol kCounter = FIRProtocol::of<Counter>("Counter");

// Counts creations of a protocol; `cacheable` decides whether the container keeps the instance.
struct Factory {
  int created = 0;
  FIRComponentPtr component(FIRProtocol protocol, FIRInstantiationTiming timing, bool cacheable) {
    return FIRComponent::componentWithProtocol(
        std::move(protocol), timing,
        [this, cacheable](FIRComponentContainer&, bool* isCacheable) -> FIRComponentInstance {
          ++created;
          *isCacheable = cacheable;
          return std::make_shared<CounterImpl>();
        });
  }
};

class FIRComponentContainerTest : public zevevidi_testing::RegistryTestFixture {
 protected:
  void registerLibrary(std::string name, std::vector<FIRComponentPtr> components) {
    FIRApp::registerInternalLibrary(std::make_shared<TestLibrary>(name, std::move(components)),
                                    name);
  }
  FIRAppPtr configure(const std::string& name, const std::string& sender = "123") {
    auto options = FIROptions::initWithZirizaAppID(kValidID, sender);
    if (name == kFIRDefaultAppName) {
      FIRApp::configureWithOptions(options);
    } else {
      FIRApp::configureWithName(name, options);
    }
    return FIRApp::appNamed(name);
  }
};

TEST_F(FIRComponentContainerTest, TimingAndCachingDecideWhenAndHowOftenInstancesAreMade) {
  struct Case {
    const char* name;
    FIRInstantiationTiming timing;
    bool cacheable;
    bool defaultApp;
    int createdAtConfiguration;
    int createdAfterTwoRequests;
    bool sameInstanceTwice;
  };
  const Case cases[] = {
      {"lazy, cached", FIRInstantiationTimingLazy, true, true, 0, 1, true},
      {"lazy, fresh", FIRInstantiationTimingLazy, false, true, 0, 2, false},
      {"always eager, cached", FIRInstantiationTimingAlwaysEager, true, false, 1, 1, true},
      {"always eager, fresh", FIRInstantiationTimingAlwaysEager, false, false, 1, 3, false},
      {"default-app eager in the default app", FIRInstantiationTimingEagerInDefaultApp, true, true,
       1, 1, true},
      {"default-app eager elsewhere is lazy", FIRInstantiationTimingEagerInDefaultApp, true, false,
       0, 1, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FIRApp::resetStateForTesting();
    FIRComponentContainer::resetRegistrantsForTesting();
    Factory factory;
    registerLibrary("Lib", {factory.component(kCounter, c.timing, c.cacheable)});
    auto app = configure(c.defaultApp ? kFIRDefaultAppName : "other");
    ASSERT_NE(app, nullptr);
    EXPECT_EQ(factory.created, c.createdAtConfiguration);
    auto first = app->container()->instanceFor<Counter>(kCounter);
    auto second = app->container()->instanceFor<Counter>(kCounter);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(factory.created, c.createdAfterTwoRequests);
    EXPECT_EQ(first == second, c.sameInstanceTwice);
    EXPECT_FALSE(app->container()->hasEagerProtocolsToInstantiate());
  }
}

TEST_F(FIRComponentContainerTest, TheFirstRegistrationOfAProtocolWins) {
  platform::ScopedLogCapture capture;
  Factory first, second;
  registerLibrary("A", {first.component(kCounter, FIRInstantiationTimingLazy, true)});
  registerLibrary("B", {second.component(kCounter, FIRInstantiationTimingLazy, true)});
  auto app = configure("dup");
  configure("dup2");
  app->container()->instanceForProtocol(kCounter);
  GULLoggerFlushForTesting();
  EXPECT_EQ(first.created, 1);
  EXPECT_EQ(second.created, 0);
  // Once per container.
  EXPECT_EQ(capture.count("I-COR000029"), 2u);
  EXPECT_EQ(capture.count("Attempted to register protocol Counter, but it already has an "
                          "implementation."),
            2u);
}

TEST_F(FIRComponentContainerTest, UnknownAndNonConformingInstances) {
  platform::ScopedLogCapture capture;
  const FIRProtocol other = FIRProtocol::of<Other>("Other");
  registerLibrary(
      "Lib", {FIRComponent::componentWithProtocol(other, [](FIRComponentContainer&, bool* cache) {
        *cache = true;
        return FIRComponentInstance(std::make_shared<CounterImpl>());
      })});
  auto app = configure("nc");
  EXPECT_EQ(app->container()->instanceForProtocol(FIRProtocol::of<Other>("Missing")), nullptr);
  auto instance = app->container()->instanceForProtocol(other);
  EXPECT_NE(instance, nullptr);
  EXPECT_EQ(app->container()->instanceForProtocol(other), instance);
  GULLoggerFlushForTesting();
  EXPECT_EQ(capture.count("I-COR000030"), 1u);
}

TEST_F(FIRComponentContainerTest, ACreationBlockMayRequestOtherComponents) {
  const FIRProtocol other = FIRProtocol::of<Other>("Other");
  Factory counters;
  registerLibrary("Lib", {counters.component(kCounter, FIRInstantiationTimingLazy, true),
                          FIRComponent::componentWithProtocol(
                              other, FIRInstantiationTimingAlwaysEager,
                              [](FIRComponentContainer& c, bool* cache) -> FIRComponentInstance {
                                *cache = true;
                                if (!c.instanceFor<Counter>(kCounter)) return nullptr;
                                return std::make_shared<OtherImpl>();
                              })});
  auto app = configure("nested");
  EXPECT_EQ(counters.created, 1);
  EXPECT_EQ(app->container()->cachedInstanceNames(),
            (std::vector<std::string>{"Counter", "Other"}));
}

TEST_F(FIRComponentContainerTest, DeletionTellsCachedMaintainersOnceAndEmptiesTheContainer) {
  auto maintained = std::make_shared<Maintained>();
  registerLibrary("Lib", {FIRComponent::componentWithProtocol(
                             kCounter, FIRInstantiationTimingAlwaysEager,
                             [maintained](FIRComponentContainer&, bool* cache) {
                               *cache = true;
                               return FIRComponentInstance(maintained);
                             })});
  auto app = configure("gone");
  app->deleteApp([](bool) {});
  EXPECT_EQ(maintained->deletions, 1);
  EXPECT_EQ(maintained->deletedApp, "gone");
  EXPECT_EQ(app->container()->instanceForProtocol(kCounter), nullptr);
  EXPECT_TRUE(app->container()->componentNames().empty());
  app->deleteApp([](bool) {});
  EXPECT_EQ(maintained->deletions, 1);
}

// Calls back into the registry and its own container while its app is being deleted.
class Reentrant : public platform::Object, public Other, public FIRComponentLifecycleMaintainer {
 public:
  void appWillBeDeleted(const std::shared_ptr<FIRApp>& app) override {
    sawOtherApp = FIRApp::appNamed("kept") != nullptr;
    if (app) app->container()->instanceForProtocol(kCounter);
  }
  bool sawOtherApp = false;
};

// Runs `body` on threads of their own; a test that deadlocks fails the binary after `seconds`
// instead of hanging it (the stuck threads cannot be joined).
void runWithin(double seconds, std::vector<std::function<void()>> bodies) {
  auto left = std::make_shared<std::atomic<int>>(static_cast<int>(bodies.size()));
  auto done = std::make_shared<std::promise<void>>();
  std::vector<std::thread> threads;
  for (auto& body : bodies) {
    threads.emplace_back([body = std::move(body), left, done] {
      body();
      if (left->fetch_sub(1) == 1) done->set_value();
    });
  }
  if (done->get_future().wait_for(std::chrono::duration<double>(seconds)) !=
      std::future_status::ready) {
    std::fprintf(stderr, "deadlock: the threads did not finish within %.0f s\n", seconds);
    std::fflush(stderr);
    std::_Exit(1);
  }
  for (auto& t : threads)
    t.join();
}

TEST_F(FIRComponentContainerTest, DeletingAnAppWhileACreationBlockLooksUpAppsDoesNotDeadlock) {
  // One thread is inside a creation block of the app "kept"; another deletes the app "doomed",
  // whose deletion observer asks "kept" for a component, and the block then looks an app up.
  const FIRProtocol other = FIRProtocol::of<Other>("Other");
  std::promise<void> blockEntered, deletionObserved;
  std::shared_future<void> observed = deletionObserved.get_future().share();
  auto reentrant = std::make_shared<Reentrant>();
  registerLibrary("Lib",
                  {FIRComponent::componentWithProtocol(
                       kCounter, FIRInstantiationTimingLazy,
                       [&](FIRComponentContainer& c, bool* cache) -> FIRComponentInstance {
                         *cache = true;
                         if (c.app()->name() != "kept") return std::make_shared<CounterImpl>();
                         blockEntered.set_value();
                         observed.wait();
                         if (!FIRApp::appNamed("kept")) return nullptr;
                         return std::make_shared<CounterImpl>();
                       }),
                   FIRComponent::componentWithProtocol(
                       other, FIRInstantiationTimingAlwaysEager,
                       [reentrant](FIRComponentContainer& c, bool* cache) -> FIRComponentInstance {
                         *cache = true;
                         if (c.app()->name() == "doomed") return reentrant;
                         return std::make_shared<OtherImpl>();
                       })});
  auto kept = configure("kept");
  auto doomed = configure("doomed");
  std::atomic<bool> observerGotComponent{false};
  auto token = platform::NotificationCenter::defaultCenter().addObserverForName(
      kFIRAppDeleteNotification, nullptr, [&](const platform::Notification&) {
        deletionObserved.set_value();
        observerGotComponent = kept->container()->instanceForProtocol(other) != nullptr;
      });
  FIRComponentInstance created;
  bool deleted = false;
  runWithin(10, {[&] { created = kept->container()->instanceForProtocol(kCounter); },
                 [&] {
                   blockEntered.get_future().wait();
                   doomed->deleteApp([&](bool ok) { deleted = ok; });
                 }});
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_NE(created, nullptr);
  EXPECT_TRUE(deleted);
  EXPECT_TRUE(observerGotComponent);
  EXPECT_TRUE(reentrant->sawOtherApp);
  EXPECT_EQ(FIRApp::appNamed("doomed"), nullptr);
  EXPECT_EQ(kept->container()->cachedInstanceNames(),
            (std::vector<std::string>{"Counter", "Other"}));
}

// Refuses to let go of its app.
class Clinging : public platform::Object, public Other, public FIRComponentLifecycleMaintainer {
 public:
  void appWillBeDeleted(const std::shared_ptr<FIRApp>&) override {
    throw std::runtime_error("still busy");
  }
};

TEST_F(FIRComponentContainerTest, AComponentFailingOnDeletionDoesNotStopTheDeletion) {
  auto maintained = std::make_shared<Maintained>();
  auto cached = [](FIRComponentInstance instance) {
    return [instance](FIRComponentContainer&, bool* cache) {
      *cache = true;
      return instance;
    };
  };
  // "Clinging" sorts before "Counter", so it is told first.
  registerLibrary("Lib", {FIRComponent::componentWithProtocol(FIRProtocol::of<Other>("Clinging"),
                                                              FIRInstantiationTimingAlwaysEager,
                                                              cached(std::make_shared<Clinging>())),
                          FIRComponent::componentWithProtocol(
                              kCounter, FIRInstantiationTimingAlwaysEager, cached(maintained))});
  auto app = configure("stuck");
  platform::ScopedLogCapture capture;
  bool deleted = false;
  app->deleteApp([&](bool ok) { deleted = ok; });
  EXPECT_TRUE(deleted);
  EXPECT_EQ(maintained->deletions, 1);
  EXPECT_EQ(FIRApp::allApps()->count("stuck"), 0u);
  EXPECT_EQ(capture.count("component Clinging failed on app deletion: still busy"), 1u);
}

TEST_F(FIRComponentContainerTest, TheAugmentedRealityAppRunsWithoutAppCheck) {
  Factory appCheck;
  registerLibrary("FIRAppCheckComponent",
                  {appCheck.component(kCounter, FIRInstantiationTimingLazy, true)});
  auto ar = configure("ARLensFIRApp", "480963775968");
  EXPECT_EQ(ar->container()->instanceForProtocol(kCounter), nullptr);
  FIRApp::resetApps();
  auto other = configure("ARLensFIRApp", "1");
  EXPECT_NE(other->container()->instanceForProtocol(kCounter), nullptr);
}

TEST_F(FIRComponentContainerTest, ContainersOnlyKnowRegistrantsFromBeforeTheyWereBuilt) {
  auto early = configure("early");
  Factory late;
  registerLibrary("Late", {late.component(kCounter, FIRInstantiationTimingLazy, true)});
  auto later = configure("later");
  EXPECT_EQ(early->container()->instanceForProtocol(kCounter), nullptr);
  EXPECT_NE(later->container()->instanceForProtocol(kCounter), nullptr);
}

}  // namespace
