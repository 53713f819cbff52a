#include "platform/webkit/native_object.h"

#include <gtest/gtest.h>

#include <array>
#include <functional>
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

// Each callable shape a finalizer may hold: where it is kept, that it runs exactly when called
// after being moved around, and that its captures are released when it goes, whether it ran or
// not.
TEST(NativeObjectTest, FinalizersKeepSmallClosuresInlineAndReleaseTheirCaptures) {
  struct ThrowingMove {
    std::shared_ptr<int> counter;
    explicit ThrowingMove(std::shared_ptr<int> c) : counter(std::move(c)) {}
    ThrowingMove(const ThrowingMove&) = default;
    ThrowingMove(ThrowingMove&& other) noexcept(false) : counter(std::move(other.counter)) {}
    void operator()() const { ++*counter; }
  };
  struct Case {
    const char* name;
    std::function<Finalizer(const std::shared_ptr<int>&)> make;
    bool inlineExpected;
  };
  const std::vector<Case> cases = {
      {"one shared pointer", [](const auto& c) { return Finalizer([c] { ++*c; }); }, true},
      {"a registration's shape: a weak pointer and two numbers",
       [](const auto& c) {
         std::weak_ptr<int> weak = c;
         std::uint64_t generation = 7;
         std::int64_t identifier = 65536;
         return Finalizer([weak, generation, identifier] {
           if (auto target = weak.lock(); target && generation == 7 && identifier == 65536)
             ++*target;
         });
       },
       true},
      {"a shared pointer and 64 more bytes",
       [](const auto& c) {
         std::array<std::int64_t, 8> padding{};
         return Finalizer([c, padding] { *c += 1 + static_cast<int>(padding[7]); });
       },
       false},
      {"a move that may throw", [](const auto& c) { return Finalizer(ThrowingMove(c)); }, false},
      {"a std::function",
       [](const auto& c) { return Finalizer(std::function<void()>([c] { ++*c; })); }, true},
  };
  for (const auto& test : cases) {
    SCOPED_TRACE(test.name);
    auto counter = std::make_shared<int>(0);
    {
      Finalizer finalizer = test.make(counter);
      ASSERT_TRUE(finalizer);
      EXPECT_EQ(finalizer.isInline(), test.inlineExpected);
      Finalizer moved(std::move(finalizer));
      EXPECT_FALSE(finalizer);  // NOLINT(bugprone-use-after-move): moving empties it
      Finalizer assigned([] {});
      assigned = std::move(moved);
      EXPECT_EQ(*counter, 0);
      assigned();
      EXPECT_EQ(*counter, 1);
    }
    EXPECT_EQ(counter.use_count(), 1);
    // Dropped without running: it never runs, and what it held is released.
    auto unused = std::make_shared<int>(0);
    { Finalizer finalizer = test.make(unused); }
    EXPECT_EQ(*unused, 0);
    EXPECT_EQ(unused.use_count(), 1);
  }
}

TEST(NativeObjectTest, FinalizersMadeFromNothingAreEmpty) {
  void (*none)() = nullptr;
  std::vector<Finalizer> empty;
  empty.emplace_back();
  empty.emplace_back(nullptr);
  empty.emplace_back(none);
  empty.emplace_back(std::function<void()>());
  for (auto& finalizer : empty) {
    EXPECT_FALSE(finalizer);
    finalizer();  // does nothing
  }
  // Attaching an empty one is harmless: the object still dies quietly.
  auto object = std::make_shared<NativeObject>();
  object->addFinalizer(std::function<void()>());
  EXPECT_EQ(object->finalizerCount(), 1u);
  object.reset();
}

TEST(NativeObjectTest, DescribesItselfAsAnObject) {
  NativeObject object;
  EXPECT_EQ(object.className(), "NSObject");
  EXPECT_EQ(object.debugDescription(), "<NSObject #" + std::to_string(object.identity()) + ">");
}

}  // namespace
}  // namespace platform::webkit
