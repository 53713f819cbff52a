#include "platform/webkit/native_object.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

namespace platform::webkit {
namespace {

TEST(NativeObjectTest, IdentitiesAreNeverReusedEvenAtTheSameAddress) {
  std::set<std::uint64_t> seen;
  for (int i = 0; i < 100; ++i) {
    auto object = std::make_shared<NativeObject>();
    EXPECT_TRUE(seen.insert(object->identity()).second);
  }
}

TEST(NativeObjectTest, FinalizersRunOnceAtDestructionUnlessDetached) {
  std::vector<int> ran;
  auto object = std::make_shared<NativeObject>();
  object->addFinalizer([&] { ran.push_back(1); });
  auto detached = object->addFinalizer([&] { ran.push_back(2); });
  object->addFinalizer([&] { ran.push_back(3); });
  EXPECT_TRUE(object->removeFinalizer(detached));
  EXPECT_FALSE(object->removeFinalizer(detached));
  EXPECT_EQ(object->finalizerCount(), 2u);
  std::weak_ptr<NativeObject> weak = object;
  object.reset();
  EXPECT_TRUE(weak.expired());
  EXPECT_EQ(ran, (std::vector<int>{1, 3}));
}

TEST(NativeObjectTest, DescribesItselfAsAnObject) {
  NativeObject object;
  EXPECT_EQ(object.className(), "NSObject");
  EXPECT_EQ(object.debugDescription(), "<NSObject #" + std::to_string(object.identity()) + ">");
}

}  // namespace
}  // namespace platform::webkit
