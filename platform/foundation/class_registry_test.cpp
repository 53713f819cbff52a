#include "platform/foundation/class_registry.h"

#include <gtest/gtest.h>

#include "platform/core/assertion.h"

namespace platform {
namespace {

struct Component {
  virtual ~Component() = default;
  virtual std::string kind() const = 0;
};
struct Installations : Component {
  std::string kind() const override { return "installations"; }
};
struct Unrelated {};

TEST(ClassRegistryTest, LookupFindsWhatWasRegisteredAndAbsentIsAbsent) {
  ClassRegistry registry;
  auto cls = std::make_shared<Installations>();
  EXPECT_TRUE(registry.registerClass<Component>("FIRInstallations", cls));
  auto found = registry.lookup<Component>("FIRInstallations");
  ASSERT_EQ(found, cls);
  EXPECT_EQ(found->kind(), "installations");
  EXPECT_TRUE(registry.contains("FIRInstallations"));
  EXPECT_EQ(registry.lookup<Component>("FIRAnalyticsConnector"), nullptr);
  EXPECT_FALSE(registry.contains("FIRAnalyticsConnector"));
  // Same name, other type: no cast, no class.
  EXPECT_EQ(registry.lookup<Unrelated>("FIRInstallations"), nullptr);
  EXPECT_EQ(registry.names(), std::vector<std::string>{"FIRInstallations"});
}

TEST(ClassRegistryTest, SecondClassUnderATakenNameIsRefusedAndReported) {
  ClassRegistry registry;
  auto first = std::make_shared<Installations>();
  registry.registerClass<Component>("X", first);
  EXPECT_TRUE(registry.registerClass<Component>("X", first));  // the same again: fine
  ScopedAssertionCapture capture;
  EXPECT_FALSE(registry.registerClass<Component>("X", std::make_shared<Installations>()));
  EXPECT_FALSE(registry.registerClass<Component>("Y", std::shared_ptr<Component>()));
  EXPECT_EQ(capture.count(), 2u);
  EXPECT_EQ(registry.lookup<Component>("X"), first);
  EXPECT_FALSE(registry.contains("Y"));
}

TEST(ClassRegistryTest, UnregisterAndClearForgetClasses) {
  ClassRegistry registry;
  registry.registerClass("A", std::make_shared<Unrelated>());
  registry.registerClass("B", std::make_shared<Unrelated>());
  registry.unregisterClass("A");
  registry.unregisterClass("missing");
  EXPECT_EQ(registry.lookup<Unrelated>("A"), nullptr);
  EXPECT_NE(registry.lookup<Unrelated>("B"), nullptr);
  registry.clear();
  EXPECT_TRUE(registry.names().empty());
  EXPECT_EQ(&ClassRegistry::shared(), &ClassRegistry::shared());
}

}  // namespace
}  // namespace platform
