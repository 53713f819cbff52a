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

TEST(NativeObjectTest, FinalizersRunInTheOrderAttachedWhicheverAreDetached) {
  // Three finalizers 1, 2, 3 are attached, the listed ones detached, then a fourth attached.
  const std::vector<std::pair<std::vector<int>, std::vector<int>>> cases = {
      {{}, {1, 2, 3, 4}}, {{1}, {2, 3, 4}}, {{2}, {1, 3, 4}}, {{3}, {1, 2, 4}}, {{1, 2}, {3, 4}},
      {{2, 1}, {3, 4}},   {{1, 2, 3}, {4}}, {{3, 2, 1}, {4}}, {{1, 3}, {2, 4}},
  };
  for (const auto& [detach, expected] : cases) {
    std::vector<int> ran;
    auto object = std::make_shared<NativeObject>();
    std::vector<NativeObject::FinalizerToken> tokens;
    for (int i = 1; i <= 3; ++i)
      tokens.push_back(object->addFinalizer([&ran, i] { ran.push_back(i); }));
    for (int i : detach)
      EXPECT_TRUE(object->removeFinalizer(tokens[static_cast<std::size_t>(i - 1)]));
    object->addFinalizer([&ran] { ran.push_back(4); });
    EXPECT_EQ(object->finalizerCount(), expected.size());
    object.reset();
    EXPECT_EQ(ran, expected) << "detached " << ::testing::PrintToString(detach);
  }
}

TEST(NativeObjectTest, DescribesItselfAsAnObject) {
  NativeObject object;
  EXPECT_EQ(object.className(), "NSObject");
  EXPECT_EQ(object.debugDescription(), "<NSObject #" + std::to_string(object.identity()) + ">");
}

}  // namespace
}  // namespace platform::webkit
