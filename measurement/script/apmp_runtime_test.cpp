#include "measurement/script/apmp_runtime.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>

#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_evaluator.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_test_support.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/test_environment.h"

namespace {

using apmp_test::num;
using apmp_test::op;
using apmp_test::str;

APMPValueRef get(const std::u16string& name) {
  return op(APMPCommandGet, {str(name)});
}
APMPValueRef quote(APMPValueList statements = {}) {
  return op(APMPCommandQuote, std::move(statements));
}

class APMPRuntimeTest : public ::testing::Test {
 protected:
  // Runs top-level statements in a fresh context; keeps the context's error code.
  APMPValueRef run(APMPValueList program) {
    APMPContext ctx(&runtime);
    APMPValueRef result = runtime.executeStatements(program, ctx);
    error = ctx.errorCode();
    return result;
  }
  double number(const APMPValueRef& v) {
    APMPContext ctx;
    return v->doubleValueOrError(ctx);
  }

  platform::TestEnvironment env;  // the mock clock: only the budget ends a long run
  APMPRuntime runtime;
  int error = 0;
};

TEST_F(APMPRuntimeTest, OpcodesAreExactDecimalTexts) {
  EXPECT_EQ(APMPOpcodeForName(u"7"), 7);
  EXPECT_EQ(APMPOpcodeForName(u"07"), -1);
  EXPECT_EQ(APMPOpcodeForName(u"+7"), -1);
  EXPECT_EQ(APMPOpcodeForName(u"11"), -1);  // unassigned: a function name
  EXPECT_EQ(APMPOpcodeForName(u"67"), -1);

  // "07" calls a script function of that name, none here: undefined, no error.
  EXPECT_TRUE(run({op(u"07", {num(1)})})->isUndefined());
  EXPECT_EQ(error, 0);
  EXPECT_TRUE(run({op(u"11")})->isUndefined());
  EXPECT_EQ(error, 0);
}

TEST_F(APMPRuntimeTest, ScopesShadowAndConstantsIgnoreWrites) {
  run({op(APMPCommandVar, {str(u"x")}), op(APMPCommandAssign, {str(u"x"), num(7)})});
  // A block declares its own x; the outer one stays 7.
  const APMPValueRef inner =
      run({op(APMPCommandBlock, {op(APMPCommandVar, {str(u"x")}),
                                 op(APMPCommandAssign, {str(u"x"), num(1)}), get(u"x")})});
  EXPECT_EQ(number(inner), 1);
  EXPECT_EQ(number(run({get(u"x")})), 7);
  // Var on a name this scope holds sets it back to undefined.
  EXPECT_TRUE(run({op(APMPCommandVar, {str(u"x")}), get(u"x")})->isUndefined());
  // Assigning an undeclared name fails with 2; Var with a non-text name fails with 10 after
  // declaring the names before it.
  run({op(APMPCommandAssign, {str(u"nope"), num(1)})});
  EXPECT_EQ(error, APMPErrorUndeclaredAssignment);
  run({op(APMPCommandVar, {str(u"a"), num(5)})});
  EXPECT_EQ(error, APMPErrorArgumentKind);
  EXPECT_TRUE(runtime.globalScope().hasName(u"a"));
  EXPECT_TRUE(runtime.getRunScope()->hasName(u"require"));
}

TEST_F(APMPRuntimeTest, RequireServesThePlatformModuleOncePerRuntime) {
  const APMPValueRef first = run({op(u"require", {str(u"internal.platform")})});
  const APMPValueRef second = run({op(u"require", {str(u"internal.platform")})});
  ASSERT_TRUE(first->isFunction());
  EXPECT_EQ(first, second);
  const APMPValueRef version =
      run({op(APMPCommandApply,
              {op(u"require", {str(u"internal.platform")}), str(u"getVersion"), quote()})});
  EXPECT_EQ(error, 0);
  EXPECT_EQ(number(version), 0);
  EXPECT_TRUE(run({op(u"require", {str(u"no.such.module")})})->isUndefined());
  EXPECT_EQ(error, 0);
  run({op(u"require")});
  EXPECT_EQ(error, APMPErrorArgumentCount);
}

// Measures a program's cost, then pads it with literals to exactly `total` evaluations.
APMPValueList padded(APMPValueList prefix, std::uint32_t total) {
  APMPValueList program = prefix;
  APMPRuntime probe;
  APMPContext ctx(&probe);
  probe.executeStatements(program, ctx);
  EXPECT_FALSE(ctx.failed());
  for (std::uint32_t n = probe.instructionCount(); n < total; ++n)
    program.push_back(num(0));
  return program;
}

// A program that spends most of its budget in calls: f has a body of 999 literals and is called
// 999 times inside one block.
APMPValueList expensive() {
  APMPValueList body = {str(u"f"), quote()};
  for (int i = 0; i < 999; ++i)
    body.push_back(num(i));
  APMPValueList calls;
  for (int i = 0; i < 999; ++i)
    calls.push_back(op(u"f"));
  return {op(APMPCommandDefineFunction, body), op(APMPCommandBlock, calls)};
}

TEST_F(APMPRuntimeTest, ExactlyAMillionEvaluationsWhateverTheProgramDoesToTheCounterName) {
  const APMPValueList prefixes[] = {
      {},
      {op(APMPCommandAssign, {str(u"runtime.counter"), num(0)})},
      {op(APMPCommandVar, {str(u"runtime.counter")}),
       op(APMPCommandAssign, {str(u"runtime.counter"), num(0)})},
      {op(APMPCommandConst, {str(u"runtime.counter"), num(-5)})},
      {op(APMPCommandDefineFunction, {str(u"runtime.counter"), quote()})},
  };
  for (const auto& prefix : prefixes) {
    APMPValueList program = prefix;
    for (auto& s : expensive())
      program.push_back(s);
    APMPValueList exact = padded(program, APMPInstructionCountHardLimit);
    {
      APMPRuntime fresh;
      APMPContext ctx(&fresh);
      fresh.executeStatements(exact, ctx);
      EXPECT_EQ(ctx.errorCode(), 0);
      EXPECT_EQ(fresh.instructionCount(), APMPInstructionCountHardLimit);
    }
    exact.push_back(num(0));
    {
      APMPRuntime fresh;
      APMPContext ctx(&fresh);
      fresh.executeStatements(exact, ctx);
      EXPECT_EQ(ctx.errorCode(), APMPErrorLimit);
      EXPECT_EQ(fresh.instructionCount(), APMPInstructionCountHardLimit);
      // A reset gives the next run its budget again.
      fresh.resetInstructionCount();
      APMPContext next(&fresh);
      fresh.executeStatements({num(1)}, next);
      EXPECT_EQ(next.errorCode(), 0);
    }
  }
}

TEST_F(APMPRuntimeTest, TheCounterNameReadsTheNativeCount) {
  // Assign to it yields its value without error and changes nothing.
  const APMPValueRef assigned = run({op(APMPCommandAssign, {str(u"runtime.counter"), num(0)})});
  EXPECT_EQ(error, 0);
  EXPECT_EQ(number(assigned), 0);
  EXPECT_EQ(runtime.instructionCount(), 3u);
  EXPECT_EQ(number(run({get(u"runtime.counter")})), 5);
  EXPECT_TRUE(runtime.initialScope().hasName(u"runtime.counter"));
}

TEST_F(APMPRuntimeTest, RecursionFailsWith18PastTheNestingBound) {
  // function f() { f(); } f();
  run({op(APMPCommandDefineFunction, {str(u"f"), quote(), op(u"f")}), op(u"f")});
  EXPECT_EQ(error, APMPErrorLimit);
  EXPECT_LT(runtime.instructionCount(), 2000u);
}

TEST_F(APMPRuntimeTest, ArrayLengthsPastTheBoundFailWith11BeforeAllocating) {
  run({op(APMPCommandVar, {str(u"a")}),
       op(APMPCommandAssign, {str(u"a"), op(APMPCommandCreateArray)})});
  run({op(APMPCommandSetProperty, {get(u"a"), str(u"length"), num(1099511627776.0)})});
  EXPECT_EQ(error, APMPErrorArrayLength);
  run({op(APMPCommandSetProperty, {get(u"a"), num(1e300), num(1)})});
  EXPECT_EQ(error, APMPErrorArrayLength);
  run({op(APMPCommandSetProperty, {get(u"a"), str(u"1048576"), num(1)})});
  EXPECT_EQ(error, APMPErrorArrayLength);
  // The largest allowed length works.
  run({op(APMPCommandSetProperty, {get(u"a"), str(u"length"), num(1048576)})});
  EXPECT_EQ(error, 0);
  EXPECT_EQ(number(run({op(APMPCommandGetProperty, {get(u"a"), str(u"length")})})), 1048576);
}

TEST_F(APMPRuntimeTest, TheDeadlineEndsARunOnTheMockClock) {
  APMPContext ctx(&runtime);
  EXPECT_TRUE(ctx.tick(APMPDeadlineCheckInterval));
  env.advance(APMPRunDeadlineSeconds + 0.5);
  EXPECT_FALSE(ctx.tick(APMPDeadlineCheckInterval));
  EXPECT_EQ(ctx.errorCode(), APMPErrorLimit);
}

TEST(APMPRuntimeDeadlineTest, TheDeadlineEndsARunOnTheRealClock) {
  APMPRuntime runtime;
  APMPContext ctx(&runtime);
  const double start = platform::Clock::current().uptime();
  std::uint64_t steps = 0;
  while (ctx.tick())
    ++steps;
  const double elapsed = platform::Clock::current().uptime() - start;
  EXPECT_EQ(ctx.errorCode(), APMPErrorLimit);
  EXPECT_GE(elapsed, APMPRunDeadlineSeconds);
  // Checked every few thousand steps, so it ends soon after; a loaded machine may add a little.
  EXPECT_LT(elapsed, APMPRunDeadlineSeconds + 5.0);
  EXPECT_GT(steps, 0u);
}

TEST_F(APMPRuntimeTest, AnUnreachableSelfContainingArrayIsFreedByTheNextCollection) {
  run({op(APMPCommandVar, {str(u"a")}),
       op(APMPCommandAssign, {str(u"a"), op(APMPCommandCreateArray)}),
       op(APMPCommandSetProperty, {get(u"a"), num(0), get(u"a")})});
  ASSERT_EQ(error, 0);
  runtime.collectGarbage();
  EXPECT_EQ(runtime.objectManager().trackedValueCount(), 1u);
  run({op(APMPCommandAssign, {str(u"a"), num(0)})});
  runtime.collectGarbage();
  EXPECT_EQ(runtime.objectManager().trackedValueCount(), 0u);
}

TEST_F(APMPRuntimeTest, ReachableValuesSurviveAnyNumberOfCollections) {
  // var m = {}; function make() { var n = 5; var k = [n]; return fn() { return k; }; }
  // m.f = make(); the closure's scope, and the scope around that, are reachable only from m.
  run({op(APMPCommandVar, {str(u"m")}),
       op(APMPCommandAssign, {str(u"m"), op(APMPCommandCreateObject)}),
       op(APMPCommandDefineFunction,
          {str(u"make"), quote(), op(APMPCommandVar, {str(u"k")}),
           op(APMPCommandAssign, {str(u"k"), op(APMPCommandCreateArray, {num(5)})}),
           op(APMPCommandReturn,
              {op(APMPCommandBlock,
                  {op(APMPCommandFn, {str(u""), quote(), op(APMPCommandReturn, {get(u"k")})})})})}),
       op(APMPCommandSetProperty, {get(u"m"), str(u"f"), op(u"make")})});
  ASSERT_EQ(error, 0);
  for (int i = 0; i < 100; ++i)
    runtime.collectGarbage();
  const APMPValueRef k =
      run({op(APMPCommandApply, {get(u"m"), str(u"f"), op(APMPCommandCreateArray)})});
  ASSERT_EQ(error, 0);
  ASSERT_TRUE(k->isArray());
  EXPECT_EQ(number(k), 5);
}

TEST_F(APMPRuntimeTest, ValuesMadeDuringARunAndReachableFromNothingAreEmptied) {
  const APMPValueRef array = run({op(APMPCommandCreateArray, {num(1), num(2)})});
  EXPECT_EQ(runtime.objectManager().trackedValueCount(), 1u);
  runtime.collectGarbage();
  // Held only natively: emptied, and it reads as an empty array.
  EXPECT_EQ(APMPAs<APMPArrayValue>(*array).count(), 0u);
}

TEST(APMPRuntimeLifetimeTest, DestroyingTheRuntimeFreesEveryCycle) {
  // A closure bound in the scope it closes over, and a map holding itself: both cycles go with
  // the runtime (the leak checker of the sanitizer build sees to the rest).
  auto runtime = std::make_unique<APMPRuntime>();
  APMPContext ctx(runtime.get());
  runtime->executeStatements({op(APMPCommandDefineFunction, {str(u"f"), quote(), op(u"f")}),
                              op(APMPCommandVar, {str(u"m")}),
                              op(APMPCommandAssign, {str(u"m"), op(APMPCommandCreateObject)}),
                              op(APMPCommandSetProperty, {get(u"m"), str(u"self"), get(u"m")})},
                             ctx);
  EXPECT_FALSE(ctx.failed());
  runtime.reset();
  SUCCEED();
}

}  // namespace
