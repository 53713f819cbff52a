#include "zevevidi/promises/fbl_promise.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/core/exception.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/queue.h"
#include "zevevidi/promises/promise_test_support.h"

namespace fbl_test {
namespace {

using ::testing::HasSubstr;
using ::testing::MatchesRegex;

struct SettleCase {
  const char* name;
  std::function<void(const Promise::Ptr&)> settle;
  FBLPromiseState state;
  Value value;    // expected value when fulfilled
  int errorCode;  // expected error code when rejected
};

TEST_F(PromiseTest, SettlingDecidesOnceByTheRuntimeKindOfTheArgument) {
  auto other = Promise::pendingPromise();
  const SettleCase cases[] = {
      {"value", [](auto& p) { p->fulfill(5); }, FBLPromiseState::Fulfilled, Value(5), 0},
      {"null", [](auto& p) { p->fulfill(nullptr); }, FBLPromiseState::Fulfilled, Value(), 0},
      {"error as value", [](auto& p) { p->fulfill(Value(makeError(7))); },
       FBLPromiseState::Rejected, Value(), 7},
      {"reject", [](auto& p) { p->reject(makeError(8)); }, FBLPromiseState::Rejected, Value(), 8},
      {"fulfil then reject",
       [](auto& p) {
         p->fulfill("first");
         p->reject(makeError(1));
       },
       FBLPromiseState::Fulfilled, Value("first"), 0},
      {"reject then fulfil",
       [](auto& p) {
         p->reject(makeError(2));
         p->fulfill("late");
         p->fulfill(Value(makeError(3)));
       },
       FBLPromiseState::Rejected, Value(), 2},
      // Settling with a promise stores it; only chains follow a returned promise.
      {"promise object", [&](auto& p) { p->fulfill(promiseValue(other)); },
       FBLPromiseState::Fulfilled, promiseValue(other), 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto promise = Promise::pendingPromise();
    auto before = observe(promise);
    c.settle(promise);
    auto after = observe(promise);
    // Nothing is delivered inside the settling or observing call.
    EXPECT_EQ(before->calls(), 0);
    EXPECT_EQ(after->calls(), 0);
    pump();
    EXPECT_EQ(promise->isPending(), false);
    EXPECT_EQ(promise->isFulfilled(), c.state == FBLPromiseState::Fulfilled);
    EXPECT_EQ(promise->isRejected(), c.state == FBLPromiseState::Rejected);
    for (const auto& seen : {before, after}) {
      if (c.state == FBLPromiseState::Fulfilled) {
        EXPECT_EQ(seen->fulfillCalls, 1);
        EXPECT_EQ(seen->rejectCalls, 0);
        EXPECT_EQ(seen->value, c.value);
        EXPECT_EQ(promise->value(), c.value);
        EXPECT_EQ(promise->error(), nullptr);
      } else {
        EXPECT_EQ(seen->fulfillCalls, 0);
        EXPECT_EQ(seen->rejectCalls, 1);
        ASSERT_NE(seen->error, nullptr);
        EXPECT_EQ(seen->error->code, c.errorCode);
        EXPECT_EQ(promise->error(), seen->error);
        EXPECT_EQ(promise->value(), Value());
      }
    }
  }
  other->fulfill(nullptr);
}

TEST_F(PromiseTest, ResolvedPromisesStartSettledOutsideTheGroup) {
  auto inner = Promise::pendingPromise();
  struct Case {
    const char* name;
    Value argument;
    bool rejected;
  };
  const Case cases[] = {
      {"value", Value("x"), false},
      {"null", Value(), false},
      {"error", Value(makeError(4)), true},
      {"promise stored, not followed", promiseValue(inner), false},
  };
  const long groupBefore = FBLPromiseBase::dispatchGroup()->count();
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto promise = Promise::resolvedWith(c.argument);
    EXPECT_EQ(FBLPromiseBase::dispatchGroup()->count(), groupBefore);
    EXPECT_EQ(promise->isRejected(), c.rejected);
    EXPECT_EQ(promise->isFulfilled(), !c.rejected);
    if (c.rejected) {
      EXPECT_EQ(Value(promise->error()), c.argument);
    } else {
      EXPECT_EQ(promise->value(), c.argument);
    }
  }
  inner->reject(makeError(1));
}

TEST_F(PromiseTest, CallbacksRunInRegistrationOrderBeforeAndAfterSettlement) {
  std::vector<std::string> order;
  auto promise = Promise::pendingPromise();
  auto record = [&](std::string name) {
    return [&order, name](const Value&) {
      EXPECT_TRUE(platform::MainLoop::isMainThread());
      order.push_back(name);
    };
  };
  auto never = [](const ErrorPtr&) { ADD_FAILURE() << "rejected"; };
  promise->observeOnQueue(platform::mainQueue(), record("a"), never);
  promise->observeOnQueue(platform::mainQueue(), record("b"), never);
  promise->fulfill(1);
  promise->observeOnQueue(platform::mainQueue(), record("c"), never);
  promise->observeOnQueue(platform::mainQueue(), record("d"), never);
  EXPECT_TRUE(order.empty());
  pump();
  EXPECT_EQ(order, (std::vector<std::string>{"a", "b", "c", "d"}));
}

TEST_F(PromiseTest, CallbacksRunOnTheQueueTheyWereGiven) {
  auto queue = platform::makeSerialQueue("test.promise.observe");
  auto promise = Promise::pendingPromise();
  std::atomic<int> onQueue{0};
  std::atomic<int> elsewhere{0};
  auto check = [&] { (queue->isCurrent() ? onQueue : elsewhere).fetch_add(1); };
  promise->observeOnQueue(
      queue, [&](const Value&) { check(); }, [&](const ErrorPtr&) {});
  auto chained = promise->chainOnQueue<Value>(
      queue,
      [&](const Value& v) -> FBLResolution<Value> {
        check();
        return v;
      },
      nullptr);
  promise->fulfill(3);
  chained->observeOnQueue(
      queue, [&](const Value&) { check(); }, [&](const ErrorPtr&) {});
  pump();
  EXPECT_EQ(onQueue.load(), 3);
  EXPECT_EQ(elsewhere.load(), 0);
}

TEST_F(PromiseTest, ChainingResolvesTheCallbackResult) {
  using Fulfill = std::function<FBLResolution<Value>(const Value&)>;
  using Reject = std::function<FBLResolution<Value>(const ErrorPtr&)>;
  auto followed = Promise::pendingPromise();
  auto nested = Promise::resolvedWith(Value("nested"));
  auto outer = Promise::resolvedWith(promiseValue(nested));
  struct Case {
    const char* name;
    bool receiverRejects;
    Fulfill chainedFulfill;
    Reject chainedReject;
    Value expectedValue;
    int expectedError;  // 0: fulfilled
  };
  const Case cases[] = {
      {"no callbacks, fulfilled", false, nullptr, nullptr, Value(10), 0},
      {"no callbacks, rejected", true, nullptr, nullptr, Value(), 99},
      {"fulfil returns error", false, [](const Value&) { return Value(makeError(5)); }, nullptr,
       Value(), 5},
      {"fulfil returns null", false, [](const Value&) { return Value(); }, nullptr, Value(), 0},
      {"fulfil returns promise", false, [&](const Value&) { return followed; }, nullptr,
       Value("later"), 0},
      // One level only: the followed promise's value is itself a promise object, kept as is.
      {"adoption is one level", false, [&](const Value&) { return outer; }, nullptr,
       promiseValue(nested), 0},
      {"reject returns value", true, nullptr, [](const ErrorPtr&) { return Value("ok"); },
       Value("ok"), 0},
      {"reject returns other error", true, nullptr,
       [](const ErrorPtr&) { return Value(makeError(6)); }, Value(), 6},
  };
  std::vector<std::pair<const Case*, std::shared_ptr<Outcome>>> seen;
  for (const auto& c : cases) {
    auto receiver =
        c.receiverRejects ? Promise::resolvedWith(Value(makeError(99))) : Promise::resolvedWith(10);
    auto chained =
        receiver->chainOnQueue<Value>(platform::mainQueue(), c.chainedFulfill, c.chainedReject);
    EXPECT_TRUE(chained->isPending());
    seen.emplace_back(&c, observe(chained));
  }
  pump();
  followed->fulfill("later");
  pump();
  for (const auto& [c, outcome] : seen) {
    SCOPED_TRACE(c->name);
    ASSERT_EQ(outcome->calls(), 1);
    if (c->expectedError) {
      ASSERT_EQ(outcome->rejectCalls, 1);
      EXPECT_EQ(outcome->error->code, c->expectedError);
    } else {
      ASSERT_EQ(outcome->fulfillCalls, 1);
      EXPECT_EQ(outcome->value, c->expectedValue);
    }
  }
}

TEST_F(PromiseTest, TypedPromisesKeepTheirTypeThroughChains) {
  struct Record {
    std::string id;
  };
  auto source = FBLPromise<std::shared_ptr<Record>>::pendingPromise();
  auto length = source->then(
      [](const std::shared_ptr<Record>& r) { return static_cast<std::int64_t>(r->id.size()); });
  static_assert(std::is_same_v<decltype(length), std::shared_ptr<FBLPromise<std::int64_t>>>);
  auto follow = FBLPromise<std::int64_t>::pendingPromise();
  auto followed = length->then([&](std::int64_t n) -> FBLResolution<std::int64_t> {
    if (n == 0) return makeError(1);
    return follow;
  });
  auto failed =
      FBLPromise<std::string>::resolvedWith(makeError(12))->then([](const std::string& s) {
        return s + "!";
      });
  // A dynamic chain stays dynamic for anything a Value holds; naming a type leaves it.
  auto dynamic = Promise::resolvedWith(1)->then([](const Value& v) { return v.asInt() + 1; });
  static_assert(std::is_same_v<decltype(dynamic), Promise::Ptr>);
  auto named = Promise::resolvedWith(1)->then(
      [](const Value&) -> FBLResolution<std::string> { return std::string("named"); });
  static_assert(std::is_same_v<decltype(named), std::shared_ptr<FBLPromise<std::string>>>);
  auto text = FBLPromise<int>::resolvedWith(1)->then([](int) { return "text"; });
  static_assert(std::is_same_v<decltype(text), std::shared_ptr<FBLPromise<std::string>>>);
  source->fulfill(std::make_shared<Record>(Record{"abcd"}));
  pump();
  EXPECT_TRUE(length->isFulfilled());
  EXPECT_EQ(length->value(), 4);
  EXPECT_TRUE(followed->isPending());
  follow->fulfill(42);
  pump();
  EXPECT_EQ(followed->value(), 42);
  EXPECT_EQ(dynamic->value(), Value(2));
  EXPECT_EQ(named->value(), "named");
  EXPECT_EQ(text->value(), "text");
  ASSERT_TRUE(failed->isRejected());
  EXPECT_EQ(failed->error()->code, 12);
}

TEST_F(PromiseTest, GroupCountsPendingPromisesAndQueuedDeliveries) {
  auto& group = FBLPromiseBase::dispatchGroup();
  ASSERT_EQ(group->count(), 0);
  auto promise = Promise::pendingPromise();
  EXPECT_EQ(group->count(), 1);
  promise->observeOnQueue(
      platform::mainQueue(), [](const Value&) {}, [](const ErrorPtr&) {});
  promise->fulfill(1);
  // The settled promise left, its delivery joined before that and is still queued.
  EXPECT_EQ(group->count(), 1);
  pump();
  EXPECT_EQ(group->count(), 0);

  // A pending promise dropped without settling must not hold the group open.
  auto dropped = Promise::pendingPromise();
  EXPECT_EQ(group->count(), 1);
  dropped.reset();
  EXPECT_EQ(group->count(), 0);
}

TEST_F(PromiseTest, DroppedChainsAreFreedWithoutSettling) {
  auto root = Promise::pendingPromise();
  std::weak_ptr<Promise> weakRoot = root;
  std::vector<std::weak_ptr<Promise>> links;
  auto current = root;
  for (int i = 0; i < 5; ++i) {
    current = current->then([](const Value& v) { return v; });
    links.push_back(current);
  }
  auto followed = current->then([](const Value& v) { return v; });
  links.push_back(followed);
  auto all = Promise::all({promiseValue(root), promiseValue(followed), Value(1)});
  links.push_back(all);
  pump();  // lets all's work observe its inputs
  root.reset();
  current.reset();
  followed.reset();
  all.reset();
  EXPECT_TRUE(weakRoot.expired());
  for (const auto& link : links)
    EXPECT_TRUE(link.expired());
}

TEST_F(PromiseTest, PendingObjectsLiveUntilSettlement) {
  auto promise = Promise::pendingPromise();
  auto object = std::make_shared<int>(1);
  std::weak_ptr<int> weak = object;
  promise->addPendingObject(object);
  object.reset();
  EXPECT_FALSE(weak.expired());
  promise->fulfill(1);
  EXPECT_TRUE(weak.expired());
  auto late = std::make_shared<int>(2);
  promise->addPendingObject(late);
  EXPECT_EQ(promise->pendingObjectCountForTesting(), 0u);
}

TEST_F(PromiseTest, DescriptionNamesStateAndOutcome) {
  auto pending = Promise::pendingPromise();
  EXPECT_THAT(pending->description(), MatchesRegex("<FBLPromise 0x[0-9a-f]+> Pending"));
  auto fulfilled = Promise::resolvedWith("hi");
  EXPECT_THAT(fulfilled->description(), MatchesRegex("<FBLPromise 0x[0-9a-f]+> Fulfilled: \"hi\""));
  auto rejected = Promise::resolvedWith(Value(makeError(3)));
  EXPECT_THAT(rejected->description(), HasSubstr("> Rejected: error(\"test.domain\", 3)"));
  pending->fulfill(nullptr);
}

TEST_F(PromiseTest, MisuseIsReportedAndDoesNotSettle) {
  platform::ScopedAssertionCapture capture;
  auto promise = Promise::pendingPromise();
  promise->reject(nullptr);
  EXPECT_TRUE(promise->isPending());
  ASSERT_EQ(capture.count(), 1u);
  EXPECT_EQ(capture.failures()[0].message, "Invalid error type.");

  struct Case {
    const char* parameter;
    std::function<void()> misuse;
  };
  const Case cases[] = {
      {"queue",
       [&] {
         promise->observeOnQueue(
             nullptr, [](const Value&) {}, [](const ErrorPtr&) {});
       }},
      {"onFulfill",
       [&] { promise->observeOnQueue(platform::mainQueue(), nullptr, [](const ErrorPtr&) {}); }},
      {"onReject",
       [&] {
         promise->observeOnQueue(
             platform::mainQueue(), [](const Value&) {}, nullptr);
       }},
      {"queue", [] { Promise::setDefaultDispatchQueue(nullptr); }},
      {"object", [&] { promise->addPendingObject(nullptr); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameter);
    capture.clear();
    c.misuse();
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_EQ(capture.failures()[0].message,
              std::string("Invalid parameter not satisfying: ") + c.parameter);
  }
  EXPECT_EQ(Promise::defaultDispatchQueue(), platform::mainQueue());
  // Observations made despite a missing argument still deliver what they can, exactly once.
  promise->fulfill(1);
  pump();
}

TEST_F(PromiseTest, ThrowingCallbacksRejectTheChainInsteadOfEscaping) {
  auto promise = Promise::resolvedWith(1);
  auto byPlatform = promise->then([](const Value&) -> Value {
    throw platform::Exception("com.zevevidi.core", "bad configuration");
  });
  auto byStd = promise->then([](const Value&) -> Value { throw std::runtime_error("boom"); });
  pump();
  ASSERT_TRUE(byPlatform->isRejected());
  EXPECT_EQ(byPlatform->error()->domain, "com.zevevidi.core");
  EXPECT_EQ(byPlatform->error()->localizedDescription(), "bad configuration");
  ASSERT_TRUE(byStd->isRejected());
  EXPECT_EQ(byStd->error()->domain, platform::kInternalInconsistencyException);
  EXPECT_EQ(byStd->error()->localizedDescription(), "boom");

  // A bare observation has nobody to reject, so the fault is reported.
  platform::ScopedAssertionCapture capture;
  promise->observeOnQueue(
      platform::mainQueue(), [](const Value&) { throw std::runtime_error("observer"); },
      [](const ErrorPtr&) {});
  pump();
  ASSERT_EQ(capture.count(), 1u);
  EXPECT_THAT(capture.failures()[0].message, HasSubstr("observer"));
}

TEST_F(PromiseTest, DefaultQueueCanBeReplaced) {
  auto queue = platform::makeSerialQueue("test.promise.default");
  Promise::setDefaultDispatchQueue(queue);
  std::atomic<bool> ranOnQueue{false};
  auto chained = Promise::resolvedWith(1)->then([&](const Value& v) {
    ranOnQueue = queue->isCurrent();
    return v;
  });
  Promise::setDefaultDispatchQueue(platform::mainQueue());
  pump();
  EXPECT_TRUE(ranOnQueue.load());
  EXPECT_TRUE(chained->isFulfilled());
}

TEST_F(PromiseTest, ConcurrentSettlementAndObservationDeliverEachCallbackOnce) {
  constexpr int kThreads = 4;
  constexpr int kObserversPerThread = 50;
  for (int round = 0; round < 20; ++round) {
    auto promise = Promise::pendingPromise();
    auto queue = platform::globalQueue();
    std::atomic<int> fulfilled{0};
    std::atomic<int> rejected{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
      threads.emplace_back([&, t] {
        for (int i = 0; i < kObserversPerThread; ++i) {
          promise->observeOnQueue(
              queue, [&](const Value&) { fulfilled.fetch_add(1); },
              [&](const ErrorPtr&) { rejected.fetch_add(1); });
          if (i == kObserversPerThread / 2) {
            if (t % 2) {
              promise->fulfill(t);
            } else {
              promise->reject(makeError(t));
            }
          }
        }
      });
    }
    for (auto& thread : threads)
      thread.join();
    pump();
    EXPECT_EQ(fulfilled.load() + rejected.load(), kThreads * kObserversPerThread);
    EXPECT_TRUE(fulfilled.load() == 0 || rejected.load() == 0);
    EXPECT_EQ(fulfilled.load() > 0, promise->isFulfilled());
  }
}

}  // namespace
}  // namespace fbl_test
