#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/core/assertion.h"
#include "platform/core/exception.h"
#include "platform/dispatch/queue.h"
#include "zevevidi/promises/fbl_promise.h"
#include "zevevidi/promises/promise_test_support.h"

namespace fbl_test {
namespace {

TEST_F(PromiseTest, ContinuationsCallTheirCallbackOnlyForTheirOutcome) {
  struct Case {
    const char* name;
    bool receiverRejects;  // receiver: fulfilled with 2, or rejected with code 9
    // Attaches the continuation, counting callback calls.
    std::function<Promise::Ptr(const Promise::Ptr&, int*)> attach;
    int expectedCalls;
    Expect expected;
  };
  auto thenDouble = [](const Promise::Ptr& p, int* calls) {
    return p->then([calls](const Value& v) {
      ++*calls;
      return Value(v.asInt() * 2);
    });
  };
  auto catchIt = [](const Promise::Ptr& p, int* calls) {
    return p->catch_([calls](const ErrorPtr&) { ++*calls; });
  };
  auto alwaysIt = [](const Promise::Ptr& p, int* calls) {
    return p->always([calls] { ++*calls; });
  };
  auto recoverIt = [](const Promise::Ptr& p, int* calls) {
    return p->recover([calls](const ErrorPtr& e) {
      ++*calls;
      return Value(e->code * 100);
    });
  };
  auto validateEven = [](const Promise::Ptr& p, int* calls) {
    return p->validate([calls](const Value& v) {
      ++*calls;
      return v.asInt() % 2 == 0;
    });
  };
  auto validateOdd = [](const Promise::Ptr& p, int* calls) {
    return p->validate([calls](const Value& v) {
      ++*calls;
      return v.asInt() % 2 == 1;
    });
  };
  const Case cases[] = {
      {"then on fulfilled", false, thenDouble, 1, {Value(4)}},
      {"then on rejected", true, thenDouble, 0, {Value(), 9}},
      {"catch on fulfilled", false, catchIt, 0, {Value(2)}},
      {"catch on rejected", true, catchIt, 1, {Value(), 9}},
      {"always on fulfilled", false, alwaysIt, 1, {Value(2)}},
      {"always on rejected", true, alwaysIt, 1, {Value(), 9}},
      {"recover on fulfilled", false, recoverIt, 0, {Value(2)}},
      {"recover on rejected", true, recoverIt, 1, {Value(900)}},
      {"validate passes", false, validateEven, 1, {Value(2)}},
      {"validate fails", false, validateOdd, 1, {Value(), FBLPromiseErrorCodeValidationFailure}},
      {"validate on rejected", true, validateEven, 0, {Value(), 9}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto receiver = Promise::pendingPromise();
    int calls = 0;
    auto made = c.attach(receiver, &calls);
    auto seen = observe(made);
    if (c.receiverRejects) {
      receiver->reject(makeError(9));
    } else {
      receiver->fulfill(2);
    }
    EXPECT_EQ(calls, 0);  // never inside the settling call
    pump();
    EXPECT_EQ(calls, c.expectedCalls);
    expectOutcome(*seen, c.expected);
  }
}

TEST_F(PromiseTest, ValidationErrorIsFreshWithNoUserInfo) {
  auto a = Promise::resolvedWith(1)->validate([](const Value&) { return false; });
  auto b = Promise::resolvedWith(1)->validate([](const Value&) { return false; });
  pump();
  ASSERT_TRUE(a->isRejected());
  EXPECT_EQ(a->error()->domain, "com.ziriza.FBLPromises.Error");
  EXPECT_EQ(a->error()->code, 2);
  EXPECT_TRUE(a->error()->userInfo.empty());
  EXPECT_NE(a->error(), b->error());
}

TEST_F(PromiseTest, ThenResultIsResolvedByItsKind) {
  auto later = Promise::pendingPromise();
  struct Case {
    const char* name;
    std::function<Value(const Value&)> work;
    Expect expected;
  };
  const Case cases[] = {
      {"error rejects", [](const Value&) { return Value(makeError(3)); }, {Value(), 3}},
      {"null fulfils", [](const Value&) { return Value(); }, {Value()}},
      {"promise is followed", [&](const Value&) { return promiseValue(later); }, {Value(), 4}},
  };
  std::vector<std::shared_ptr<Outcome>> seen;
  for (const auto& c : cases)
    seen.push_back(observe(Promise::resolvedWith(1)->then(c.work)));
  pump();
  later->reject(makeError(4));
  pump();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    expectOutcome(*seen[i], cases[i].expected);
  }
}

TEST_F(PromiseTest, CreatorsSettleByTheFirstHandlerCall) {
  using Work = std::function<void(Promise::FulfillHandler, Promise::RejectHandler)>;
  auto later = Promise::pendingPromise();
  std::thread worker;
  struct Case {
    const char* name;
    Work work;
    Expect expected;
  };
  const Case cases[] = {
      {"fulfil then reject",
       [](auto fulfill, auto reject) {
         fulfill(1);
         reject(makeError(2));
       },
       {Value(1)}},
      {"reject then fulfil",
       [](auto fulfill, auto reject) {
         reject(makeError(2));
         fulfill(1);
       },
       {Value(), 2}},
      {"fulfil with error", [](auto fulfill, auto) { fulfill(makeError(5)); }, {Value(), 5}},
      {"fulfil with promise that rejects",
       [&](auto fulfill, auto) { fulfill(later); },
       {Value(), 6}},
      {"handler called from another thread",
       [&](auto fulfill, auto) { worker = std::thread([fulfill] { fulfill("threaded"); }); },
       {Value("threaded")}},
      {"work throws",
       [](auto, auto) { throw platform::Exception("test.raise", "raised"); },
       {Value(), 0}},
  };
  std::vector<std::shared_ptr<Outcome>> seen;
  for (const auto& c : cases) {
    auto made = Promise::async(c.work);
    EXPECT_TRUE(made->isPending());
    seen.push_back(observe(made));
  }
  pump();
  later->reject(makeError(6));
  if (worker.joinable()) worker.join();
  pump();
  for (std::size_t i = 0; i + 1 < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    expectOutcome(*seen[i], cases[i].expected);
  }
  ASSERT_EQ(seen.back()->rejectCalls, 1);
  EXPECT_EQ(seen.back()->error->domain, "test.raise");
}

TEST_F(PromiseTest, DoResolvesWhatItsWorkReturns) {
  auto later = Promise::pendingPromise();
  auto queue = platform::makeSerialQueue("test.promise.do");
  std::atomic<bool> onQueue{false};
  auto value = Promise::onQueueDo(queue, [&]() -> FBLResolution<Value> {
    onQueue = queue->isCurrent();
    return Value("done");
  });
  auto error = Promise::do_([] { return makeError(7); });
  auto followed = Promise::do_([&] { return later; });
  auto typed = FBLPromise<std::string>::do_([] { return std::string("typed"); });
  pump();
  later->reject(makeError(8));
  pump();
  EXPECT_TRUE(onQueue.load());
  EXPECT_EQ(value->value(), Value("done"));
  ASSERT_TRUE(error->isRejected());
  EXPECT_EQ(error->error()->code, 7);
  ASSERT_TRUE(followed->isRejected());
  EXPECT_EQ(followed->error()->code, 8);
  EXPECT_EQ(typed->value(), "typed");
}

TEST_F(PromiseTest, WrapAdaptersTurnCompletionArgumentsIntoOutcomes) {
  auto object = std::make_shared<platform::Object>();
  const Value objectValue{platform::ObjectPtr(object)};
  struct Case {
    const char* name;
    std::function<Promise::Ptr()> make;
    Expect expected;
  };
  const Case cases[] = {
      {"completion",
       [] { return Promise::wrapCompletion([](auto handler) { handler(); }); },
       {Value()}},
      {"object",
       [&] { return Promise::wrapObjectCompletion([&](auto handler) { handler(objectValue); }); },
       {objectValue}},
      {"object that is an error",
       [] {
         return Promise::wrapObjectCompletion([](auto handler) { handler(Value(makeError(3))); });
       },
       {Value(), 3}},
      {"error absent",
       [] { return Promise::wrapErrorCompletion([](auto handler) { handler(nullptr); }); },
       {Value()}},
      {"error present",
       [] { return Promise::wrapErrorCompletion([](auto handler) { handler(makeError(4)); }); },
       {Value(), 4}},
      {"object and error",
       [&] {
         return Promise::wrapObjectOrErrorCompletion(
             [&](auto handler) { handler(objectValue, makeError(5)); });
       },
       {Value(), 5}},
      {"object without error",
       [] {
         return Promise::wrapObjectOrErrorCompletion(
             [](auto handler) { handler(Value("x"), nullptr); });
       },
       {Value("x")}},
      {"error or object, error wins",
       [] {
         return Promise::wrapErrorOrObjectCompletion(
             [](auto handler) { handler(makeError(6), Value("x")); });
       },
       {Value(), 6}},
      {"error or object, object",
       [] {
         return Promise::wrapErrorOrObjectCompletion(
             [](auto handler) { handler(nullptr, Value(1.5)); });
       },
       {Value(1.5)}},
      {"two objects, first null",
       [] {
         return Promise::wrap2ObjectsOrErrorCompletion(
             [](auto handler) { handler(Value(), Value("x"), nullptr); });
       },
       {Value::list({Value(), Value("x")})}},
      {"two objects with error",
       [] {
         return Promise::wrap2ObjectsOrErrorCompletion(
             [](auto handler) { handler(Value(1), Value(2), makeError(7)); });
       },
       {Value(), 7}},
      {"bool",
       [] { return Promise::wrapBoolCompletion([](auto handler) { handler(true); }); },
       {Value(true)}},
      {"bool or error",
       [] {
         return Promise::wrapBoolOrErrorCompletion([](auto handler) { handler(false, nullptr); });
       },
       {Value(false)}},
      {"bool with error",
       [] {
         return Promise::wrapBoolOrErrorCompletion(
             [](auto handler) { handler(true, makeError(8)); });
       },
       {Value(), 8}},
      {"integer",
       [] { return Promise::wrapIntegerCompletion([](auto handler) { handler(-5); }); },
       {Value(-5)}},
      {"integer or error",
       [] {
         return Promise::wrapIntegerOrErrorCompletion(
             [](auto handler) { handler(INT64_MAX, nullptr); });
       },
       {Value(INT64_MAX)}},
      {"double",
       [] { return Promise::wrapDoubleCompletion([](auto handler) { handler(0.25); }); },
       {Value(0.25)}},
      {"double with error",
       [] {
         return Promise::wrapDoubleOrErrorCompletion(
             [](auto handler) { handler(1.0, makeError(9)); });
       },
       {Value(), 9}},
  };
  std::vector<std::shared_ptr<Outcome>> seen;
  for (const auto& c : cases)
    seen.push_back(observe(c.make()));
  pump();
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    SCOPED_TRACE(cases[i].name);
    expectOutcome(*seen[i], cases[i].expected);
  }
  // Numbers keep their kind: a boxed boolean is not an integer.
  EXPECT_TRUE(seen[11]->value.isBool());
  EXPECT_TRUE(seen[14]->value.isInt());
  EXPECT_TRUE(seen[16]->value.isDouble());
}

TEST_F(PromiseTest, TypedWrapAdaptersKeepTheirType) {
  struct Record {
    int id;
  };
  using RecordPromise = FBLPromise<std::shared_ptr<Record>>;
  platform::QueuePtr queue = platform::makeSerialQueue("test.promise.wrap");
  std::atomic<bool> workOnQueue{false};
  auto record = RecordPromise::onQueueWrapObjectOrErrorCompletion(queue, [&](auto handler) {
    workOnQueue = queue->isCurrent();
    // The handler may be called from anywhere and more than once; the first call counts.
    std::thread([handler] {
      handler(std::make_shared<Record>(Record{7}), nullptr);
      handler(nullptr, makeError(1));
    }).join();
  });
  auto flag = FBLPromise<bool>::wrapBoolCompletion([](auto handler) { handler(true); });
  auto failed = RecordPromise::wrapErrorCompletion([](auto handler) { handler(makeError(2)); });
  pump();
  EXPECT_TRUE(workOnQueue.load());
  ASSERT_TRUE(record->isFulfilled());
  EXPECT_EQ(record->value()->id, 7);
  EXPECT_TRUE(flag->value());
  ASSERT_TRUE(failed->isRejected());
  EXPECT_EQ(failed->error()->code, 2);
}

TEST_F(PromiseTest, MissingCallbacksAreReportedAndRejectTheMadePromise) {
  platform::ScopedAssertionCapture capture;
  auto receiver = Promise::resolvedWith(1);
  struct Case {
    const char* parameter;
    std::function<Promise::Ptr()> misuse;
  };
  const Case cases[] = {
      {"work", [&] { return receiver->then(std::function<Value(const Value&)>()); }},
      {"reject", [&] { return receiver->catch_(nullptr); }},
      {"work", [&] { return receiver->always(nullptr); }},
      {"recovery", [&] { return receiver->recover(nullptr); }},
      {"predicate", [&] { return receiver->validate(nullptr); }},
      {"work", [] { return Promise::async(nullptr); }},
      {"work", [] { return Promise::do_(nullptr); }},
      {"work", [] { return Promise::wrapObjectOrErrorCompletion(nullptr); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.parameter);
    capture.clear();
    auto made = c.misuse();
    ASSERT_EQ(capture.count(), 1u);
    EXPECT_EQ(capture.failures()[0].message,
              std::string("Invalid parameter not satisfying: ") + c.parameter);
    ASSERT_TRUE(made->isRejected());
    EXPECT_EQ(made->error()->domain, platform::kInvalidArgumentException);
  }
  // A missing queue falls back to the default queue, so the work still runs exactly once.
  capture.clear();
  int runs = 0;
  auto made = Promise::onQueueDo(nullptr, [&] {
    ++runs;
    return Value(1);
  });
  pump();
  EXPECT_EQ(capture.count(), 1u);
  EXPECT_EQ(runs, 1);
  EXPECT_TRUE(made->isFulfilled());
}

}  // namespace
}  // namespace fbl_test
