#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/dispatch/queue.h"
#include "zevevidi/promises/fbl_promise.h"
#include "zevevidi/promises/promise_test_support.h"

namespace fbl_test {
namespace {

// An input of an aggregation test: a plain value or error, or a promise settled by the test.
struct Input {
  enum Kind { Plain, Pending, FulfillLater, RejectLater, Fulfilled, Rejected } kind;
  Value value;    // plain value, or what the promise is settled with
  int order = 0;  // for *Later inputs: settlement order (lower first)
};

struct AggregateCase {
  const char* name;
  std::vector<Input> inputs;
  Expect expected;
  bool settledBeforeLaterInputs = false;  // decided before any *Later input settles
};

// Builds the inputs, runs `aggregate` over them and settles the *Later ones in order.
class AggregationTest : public PromiseTest {
 protected:
  void run(const AggregateCase& c, const std::function<Promise::Ptr(ValueList)>& aggregate) {
    SCOPED_TRACE(c.name);
    ValueList items;
    std::vector<std::pair<int, std::function<void()>>> later;
    std::vector<Promise::Ptr> unsettled;
    for (const auto& input : c.inputs) {
      switch (input.kind) {
      case Input::Plain:
        items.push_back(input.value);
        break;
      case Input::Fulfilled:
      case Input::Rejected: {
        auto p = Promise::pendingPromise();
        if (input.kind == Input::Fulfilled) {
          p->fulfill(input.value);
        } else {
          p->reject(input.value.asError());
        }
        items.push_back(promiseValue(p));
        break;
      }
      default: {
        auto p = Promise::pendingPromise();
        items.push_back(promiseValue(p));
        unsettled.push_back(p);
        if (input.kind == Input::FulfillLater) {
          later.emplace_back(input.order, [p, v = input.value] { p->fulfill(v); });
        } else if (input.kind == Input::RejectLater) {
          later.emplace_back(input.order, [p, v = input.value] { p->reject(v.asError()); });
        }
      }
      }
    }
    auto made = aggregate(items);
    auto seen = observe(made);
    pump();
    if (c.settledBeforeLaterInputs) expectOutcome(*seen, c.expected);
    std::sort(later.begin(), later.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [order, settle] : later) {
      settle();
      pump();
    }
    expectOutcome(*seen, c.expected);
    // Inputs a test leaves pending are dropped here; they must not hold the group open.
  }
};

Value err(int code) {
  return Value(makeError(code));
}

TEST_F(AggregationTest, All) {
  const AggregateCase cases[] = {
      {"empty list", {}, {Value::emptyList()}},
      {"null value and plain value",
       {{Input::Fulfilled, Value()}, {Input::Plain, Value(5)}},
       {Value::list({Value(), Value(5)})}},
      {"values kept in input order whatever the settlement order",
       {{Input::FulfillLater, Value("a"), 3},
        {Input::FulfillLater, Value("b"), 1},
        {Input::FulfillLater, Value("c"), 2}},
       {Value::list({"a", "b", "c"})}},
      {"plain error rejects while others are pending",
       {{Input::Pending, Value()}, {Input::Plain, err(3)}, {Input::Pending, Value()}},
       {Value(), 3},
       true},
      {"first rejection delivered decides",
       {{Input::FulfillLater, Value(1), 1},
        {Input::RejectLater, err(4), 2},
        {Input::RejectLater, err(5), 3}},
       {Value(), 4}},
      {"already rejected input",
       {{Input::Pending, Value()}, {Input::Rejected, err(6)}},
       {Value(), 6},
       true},
  };
  for (const auto& c : cases)
    run(c, [](ValueList items) { return Promise::all(items); });
}

TEST_F(AggregationTest, AllWithAnEmptyListIsSettledWithoutTheQueue) {
  auto made = Promise::all({});
  EXPECT_TRUE(made->isFulfilled());
  EXPECT_EQ(made->value(), Value::emptyList());
}

TEST_F(AggregationTest, Any) {
  const AggregateCase cases[] = {
      {"empty list", {}, {Value::emptyList()}},
      {"mixed outcomes give values and errors in input order",
       {{Input::RejectLater, err(1), 1},
        {Input::FulfillLater, Value("ok"), 3},
        {Input::Plain, Value(2)},
        {Input::Plain, err(3)}},
       {Value::list({err(1), "ok", 2, err(3)})}},
      {"all rejected: the last rejection delivered",
       {{Input::RejectLater, err(1), 2},
        {Input::RejectLater, err(2), 3},
        {Input::RejectLater, err(3), 1}},
       {Value(), 2}},
      {"plain errors only", {{Input::Plain, err(7)}, {Input::Plain, err(8)}}, {Value(), 8}},
      {"null value", {{Input::Fulfilled, Value()}}, {Value::list({Value()})}},
  };
  for (const auto& c : cases)
    run(c, [](ValueList items) { return Promise::any(items); });
}

TEST_F(AggregationTest, Race) {
  const AggregateCase cases[] = {
      {"first plain value in list order wins",
       {{Input::FulfillLater, Value("p"), 1},
        {Input::Plain, Value("x")},
        {Input::Plain, Value("y")}},
       {Value("x")},
       true},
      {"plain error wins at once",
       {{Input::Pending, Value()}, {Input::Plain, err(2)}},
       {Value(), 2},
       true},
      {"first settlement delivered wins",
       {{Input::FulfillLater, Value("slow"), 2}, {Input::RejectLater, err(3), 1}},
       {Value(), 3}},
      {"already settled inputs: the first in list order",
       {{Input::Pending, Value()}, {Input::Fulfilled, Value("b")}, {Input::Rejected, err(4)}},
       {Value("b")},
       true},
  };
  for (const auto& c : cases)
    run(c, [](ValueList items) { return Promise::race(items); });
}

TEST_F(AggregationTest, TypedAllAndRaceKeepTheirTypes) {
  using StringPromise = FBLPromise<std::string>;
  auto iid = StringPromise::pendingPromise();
  auto token = StringPromise::pendingPromise();
  auto both = StringPromise::all({iid, token});
  static_assert(
      std::is_same_v<decltype(both), std::shared_ptr<FBLPromise<std::vector<std::string>>>>);
  auto first = StringPromise::race({iid, token});
  token->fulfill("token");
  pump();
  EXPECT_TRUE(both->isPending());
  EXPECT_EQ(first->value(), "token");
  iid->fulfill("iid");
  pump();
  EXPECT_EQ(both->value(), (std::vector<std::string>{"iid", "token"}));

  auto failing = StringPromise::pendingPromise();
  auto rejected = StringPromise::all({failing, StringPromise::resolvedWith("x")});
  failing->reject(makeError(3));
  pump();
  ASSERT_TRUE(rejected->isRejected());
  EXPECT_EQ(rejected->error()->code, 3);
}

TEST_F(AggregationTest, RacingNothingIsReported) {
  platform::ScopedAssertionCapture capture;
  auto made = Promise::race({});
  ASSERT_EQ(capture.count(), 1u);
  EXPECT_EQ(capture.failures()[0].message, "No promises to observe");
  EXPECT_TRUE(made->isRejected());
}

TEST_F(PromiseTest, ReduceFoldsThroughAChain) {
  auto sum = [](const Value& acc, const Value& item) -> FBLResolution<Value> {
    return Value(acc.asInt() + item.asInt());
  };
  auto start = Promise::resolvedWith(0);
  EXPECT_EQ(start->reduce<Value>({}, sum), start);

  auto total = start->reduce<Value>({1, 2, 3}, sum);
  int calls = 0;
  auto failing = start->reduce<Value>(
      {1, 2, 3}, [&](const Value& acc, const Value& item) -> FBLResolution<Value> {
        ++calls;
        if (item.asInt() == 2) return makeError(2);
        return Value(acc.asInt() + item.asInt());
      });
  auto later = Promise::pendingPromise();
  auto viaPromise = start->reduce<Value>(
      {10}, [&](const Value&, const Value&) -> FBLResolution<Value> { return later; });
  auto typed = FBLPromise<std::string>::resolvedWith("a")->reduce<int>(
      {1, 2}, [](const std::string& acc, const int& n) -> FBLResolution<std::string> {
        return acc + std::to_string(n);
      });
  pump();
  later->fulfill("from promise");
  pump();
  EXPECT_EQ(total->value(), Value(6));
  ASSERT_TRUE(failing->isRejected());
  EXPECT_EQ(failing->error()->code, 2);
  EXPECT_EQ(calls, 2);  // the third reducer is skipped
  EXPECT_EQ(viaPromise->value(), Value("from promise"));
  EXPECT_EQ(typed->value(), "a12");
}

TEST_F(PromiseTest, DelayCountsFromTheDeliveredFulfilment) {
  auto source = Promise::pendingPromise();
  auto delayed = source->delay(2.0);
  env_.advance(5);  // time before the fulfilment does not count
  source->fulfill("v");
  env_.advance(1.999);
  EXPECT_TRUE(delayed->isPending());
  env_.advance(0.001);
  EXPECT_EQ(delayed->value(), Value("v"));

  auto rejected = Promise::resolvedWith(Value(makeError(1)))->delay(100);
  pump();
  EXPECT_TRUE(rejected->isRejected());  // without waiting
}

TEST_F(PromiseTest, TimeoutDecidesByWhicheverComesFirst) {
  auto early = Promise::pendingPromise();
  auto earlyTimed = early->timeout(1.0);
  auto late = Promise::pendingPromise();
  auto lateTimed = late->timeout(1.0);
  env_.advance(0.5);
  early->fulfill("in time");
  env_.advance(0.5);
  late->fulfill("too late");
  pump();
  EXPECT_EQ(earlyTimed->value(), Value("in time"));
  ASSERT_TRUE(lateTimed->isRejected());
  EXPECT_EQ(lateTimed->error()->domain, "com.ziriza.FBLPromises.Error");
  EXPECT_EQ(lateTimed->error()->code, FBLPromiseErrorCodeTimedOut);
  EXPECT_TRUE(lateTimed->error()->userInfo.empty());

  // The timer does not keep alive a promise nobody holds any more.
  auto dropped = Promise::pendingPromise();
  std::weak_ptr<Promise> weak = dropped->timeout(3.0);
  dropped.reset();
  EXPECT_TRUE(weak.expired());
  env_.advance(3.0);
}

TEST_F(PromiseTest, TimerIntervalsAreTruncatedAndBounded) {
  EXPECT_EQ(*fbl_detail::timerDelay(1.0000000019), 1.000000001);
  EXPECT_EQ(*fbl_detail::timerDelay(-1), 0);
  EXPECT_EQ(*fbl_detail::timerDelay(std::nan("")), 0);
  EXPECT_FALSE(fbl_detail::timerDelay(std::numeric_limits<double>::infinity()));
  // An endless timeout never fires; the receiver's outcome still passes through.
  auto source = Promise::pendingPromise();
  auto timed = source->timeout(std::numeric_limits<double>::infinity());
  env_.advance(1e9);
  EXPECT_TRUE(timed->isPending());
  source->fulfill(1);
  pump();
  EXPECT_TRUE(timed->isFulfilled());
}

// Records when (mock time) each attempt of a retry ran.
struct Attempts {
  std::vector<double> times;
  std::vector<std::pair<std::int64_t, int>> conditionCalls;  // (remaining, error code)
};

TEST_F(PromiseTest, RetryRunsAtMostOnePlusAttemptsTimesWithAFixedDelay) {
  struct Case {
    const char* name;
    std::function<Promise::Ptr(const Promise::RetryWork&, Attempts*)> start;
    int succeedOnAttempt;               // 0: never
    std::vector<double> expectedTimes;  // relative to the start
    Expect expected;
    std::vector<std::pair<std::int64_t, int>> expectedConditionCalls;
  };
  auto always = [](Attempts* a) {
    return [a](std::int64_t remaining, const ErrorPtr& e) {
      a->conditionCalls.emplace_back(remaining, static_cast<int>(e->code));
      return true;
    };
  };
  const Case cases[] = {
      {"default form: twice, one second apart",
       [](auto& work, Attempts*) { return Promise::retry(work); },
       0,
       {0, 1},
       {Value(), 2},
       {}},
      {"attempts 0: one try",
       [](auto& work, Attempts*) { return Promise::attempts(0, work); },
       0,
       {0},
       {Value(), 1},
       {}},
      {"negative attempts: one try",
       [](auto& work, Attempts*) { return Promise::attempts(-3, work); },
       0,
       {0},
       {Value(), 1},
       {}},
      {"three attempts with delay and condition",
       [&](auto& work, Attempts* a) { return Promise::attempts(3, 0.5, always(a), work); },
       0,
       {0, 0.5, 1.0, 1.5},
       {Value(), 4},
       {{3, 1}, {2, 2}, {1, 3}}},
      {"success on the second try",
       [](auto& work, Attempts*) { return Promise::attempts(5, work); },
       2,
       {0, 1},
       {Value("ok")},
       {}},
      {"condition says no: first error, no waiting",
       [](auto& work, Attempts* a) {
         return Promise::attempts(
             5, 10,
             [a](std::int64_t remaining, const ErrorPtr& e) {
               a->conditionCalls.emplace_back(remaining, static_cast<int>(e->code));
               return false;
             },
             work);
       },
       0,
       {0},
       {Value(), 1},
       {{5, 1}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Attempts attempts;
    const double start = env_.now();
    Promise::RetryWork work = [&]() -> FBLResolution<Value> {
      attempts.times.push_back(env_.now() - start);
      int n = static_cast<int>(attempts.times.size());
      if (n == c.succeedOnAttempt) return Value("ok");
      return Value(makeError(n));  // an error carried as a dynamic value still counts as failure
    };
    auto made = c.start(work, &attempts);
    EXPECT_EQ(attempts.times.size(), 1u);  // the first attempt runs inside the call
    env_.advance(100);
    EXPECT_EQ(attempts.times, c.expectedTimes);
    EXPECT_EQ(attempts.conditionCalls, c.expectedConditionCalls);
    auto seen = observe(made);
    pump();
    expectOutcome(*seen, c.expected);
  }
}

TEST_F(PromiseTest, RetryFollowsAPromiseReturnedByItsWork) {
  auto queue = platform::makeSerialQueue("test.promise.retry");
  std::atomic<int> tries{0};
  std::atomic<int> laterTriesOnQueue{0};
  auto made = Promise::onQueueAttempts(queue, 1, 2.0, nullptr, [&]() -> FBLResolution<Value> {
    int n = ++tries;
    if (n > 1 && queue->isCurrent()) ++laterTriesOnQueue;
    if (n == 1) return Promise::resolvedWith(Value(makeError(500)));
    return Promise::resolvedWith("second");
  });
  env_.advance(1.9);
  EXPECT_EQ(tries.load(), 1);
  env_.advance(0.1);
  EXPECT_EQ(tries.load(), 2);
  EXPECT_EQ(laterTriesOnQueue.load(), 1);
  EXPECT_EQ(made->value(), Value("second"));

  // A plain value settles the promise before retry returns.
  auto direct = FBLPromise<int>::retry([] { return 7; });
  EXPECT_TRUE(direct->isFulfilled());
  EXPECT_EQ(direct->value(), 7);
}

}  // namespace
}  // namespace fbl_test
