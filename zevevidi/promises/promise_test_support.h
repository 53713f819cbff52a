// Shared fixture of the promise tests: a mock-time environment on the main thread, a recorder
// for outcomes, and the check that all promise activity is over once a test has finished.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/dispatch/group.h"
#include "platform/dispatch/test_environment.h"
#include "zevevidi/promises/fbl_promise.h"

namespace fbl_test {

using platform::ErrorPtr;
using platform::Value;
using platform::ValueList;
using Promise = FBLPromise<Value>;

inline ErrorPtr makeError(int code) {
  return platform::Error::make("test.domain", code);
}

inline Value promiseValue(const Promise::Ptr& promise) {
  return Value(platform::ObjectPtr(promise));
}

// What one observation saw, and how many times it was called.
struct Outcome {
  int fulfillCalls = 0;
  int rejectCalls = 0;
  Value value;
  ErrorPtr error;
  int calls() const { return fulfillCalls + rejectCalls; }
};

// Expected outcome: fulfilled with `value` when errorCode is 0, else rejected with that code.
struct Expect {
  Value value;
  int errorCode = 0;
};

inline void expectOutcome(const Outcome& seen, const Expect& expected) {
  ASSERT_EQ(seen.calls(), 1);
  if (expected.errorCode) {
    ASSERT_EQ(seen.rejectCalls, 1) << "fulfilled with " << seen.value.debugString();
    EXPECT_EQ(seen.error->code, expected.errorCode);
  } else {
    ASSERT_EQ(seen.fulfillCalls, 1) << "rejected with " << Value(seen.error).debugString();
    EXPECT_EQ(seen.value, expected.value);
  }
}

class PromiseTest : public ::testing::Test {
 protected:
  void TearDown() override {
    env_.runUntilIdle();
    // Every test leaves nothing pending and nothing queued behind.
    EXPECT_EQ(FBLPromiseBase::dispatchGroup()->count(), 0);
  }

  // Observes `promise` on the main queue into a recorder that outlives the test body.
  template <class T>
  std::shared_ptr<Outcome> observe(const std::shared_ptr<FBLPromise<T>>& promise) {
    auto outcome = std::make_shared<Outcome>();
    promise->observeOnQueue(
        platform::mainQueue(),
        [outcome](const T& value) {
          ++outcome->fulfillCalls;
          if constexpr (std::is_constructible_v<Value, const T&>) outcome->value = Value(value);
        },
        [outcome](const ErrorPtr& error) {
          ++outcome->rejectCalls;
          outcome->error = error;
        });
    return outcome;
  }

  void pump() { env_.runUntilIdle(); }

  platform::TestEnvironment env_;
};

}  // namespace fbl_test
