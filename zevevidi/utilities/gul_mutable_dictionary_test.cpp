#include "zevevidi/utilities/gul_mutable_dictionary.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/core/assertion.h"

namespace {

using platform::Value;

TEST(GULMutableDictionaryTest, ReadsSeeEarlierWritesOfTheSameThread) {
  GULMutableDictionary dict;
  for (int i = 0; i < 200; ++i) {
    dict.setObject(Value(i * 10), Value(i));
    ASSERT_EQ(dict.count(), static_cast<std::size_t>(i + 1));
    ASSERT_EQ(dict.objectForKey(Value(i)), Value(i * 10));
  }
  dict.removeObjectForKey(Value(5));
  EXPECT_TRUE(dict.objectForKey(Value(5)).isNull());
  dict.setObjectForKeyedSubscript(Value("v"), Value("k"));
  EXPECT_EQ(dict.objectForKeyedSubscript(Value("k")), Value("v"));
  dict.setObjectForKeyedSubscript(Value(), Value("k"));
  EXPECT_TRUE(dict.objectForKey(Value("k")).isNull());
  EXPECT_EQ(dict.count(), 199u);
  dict.removeAllObjects();
  EXPECT_EQ(dict.count(), 0u);
}

TEST(GULMutableDictionaryTest, DictionaryIsASnapshot) {
  GULMutableDictionary dict;
  dict.setObject(Value("one"), Value("a"));
  auto snapshot = dict.dictionary();
  dict.setObject(Value("two"), Value("a"));
  dict.setObject(Value("three"), Value("b"));
  ASSERT_EQ(snapshot.size(), 1u);
  EXPECT_EQ(snapshot.at(Value("a")), Value("one"));
  EXPECT_EQ(dict.objectForKey(Value("a")), Value("two"));
  EXPECT_NE(dict.description().find("three"), std::string::npos);
}

TEST(GULMutableDictionaryTest, NullObjectIsRefusedWithoutChangingTheEntry) {
  GULMutableDictionary dict;
  dict.setObject(Value(1), Value("k"));
  platform::ScopedAssertionCapture capture;
  dict.setObject(Value(), Value("k"));
  EXPECT_EQ(capture.count(), 1u);
  EXPECT_EQ(dict.objectForKey(Value("k")), Value(1));
}

TEST(GULMutableDictionaryTest, ConcurrentWritersAndReadersLoseNothing) {
  GULMutableDictionary dict;
  constexpr int kThreads = 8;
  constexpr int kPerThread = 250;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      while (!go.load())
        std::this_thread::yield();
      for (int i = 0; i < kPerThread; ++i) {
        const int key = t * kPerThread + i;
        dict.setObject(Value(key), Value(key));
        // Each thread reads back its own write; other threads' writes interleave freely.
        EXPECT_EQ(dict.objectForKey(Value(key)), Value(key));
        if (i % 50 == 0) (void)dict.dictionary();
        if (i % 2 == 1) dict.removeObjectForKey(Value(key - 1));
      }
    });
  }
  go = true;
  for (auto& th : threads)
    th.join();
  auto snapshot = dict.dictionary();
  ASSERT_EQ(snapshot.size(), static_cast<std::size_t>(kThreads * kPerThread / 2));
  for (const auto& [key, value] : snapshot) {
    EXPECT_EQ(key, value);
    EXPECT_EQ(key.asInt() % 2, 1);
  }
}

}  // namespace
