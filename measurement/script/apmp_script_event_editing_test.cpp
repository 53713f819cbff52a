#include "measurement/script/apmp_script_event_editing.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "measurement/script/apmp_event_native_functions.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_scope.h"
#include "measurement/script/apmp_test_support.h"
#include "platform/dispatch/test_environment.h"

namespace {

using apmp_test::num;
using apmp_test::op;
using apmp_test::str;
using platform::Value;

constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();

TEST(APMPEventParametersTest, IntegerFormsCutTowardZeroGiveZeroForNaNAndSaturate) {
  const struct {
    double in;
    std::int64_t out;
  } cases[] = {
      {3.9, 3},
      {-3.9, -3},
      {std::nan(""), 0},
      {INFINITY, kMax},
      {-INFINITY, kMin},
      {1e19, kMax},
      {-1e19, kMin},
      {9223372036854775808.0, kMax},
      {-9223372036854775808.0, kMin},
      {9.2e18, 9200000000000000000},
  };
  for (const auto& c : cases)
    EXPECT_EQ(APMPSaturatedInt64(c.in), c.out) << c.in;
}

TEST(APMPEventParametersTest, NormalisationKeepsTheKindOfTheValueReplaced) {
  const Value int5(5), double5(5.0), text("EUR"), list(platform::ValueList{});
  const struct {
    const char* name;
    const Value* existing;
    Value in;
    Value out;
  } cases[] = {
      {"value", &int5, Value(3.7), Value(3)},
      {"value", &int5, Value(-1e300), Value(kMin)},
      {"value", &double5, Value(3.7), Value(3.7)},
      {"currency", &text, Value(5.0), Value("5")},
      {"currency", &text, Value(3.7), Value("3.7")},
      {"currency", &text, Value(7), Value("7")},  // an integer in decimal
      {"_c", &int5, Value(0.0), Value(5)},        // the engine's own integer stays
      {"", &int5, Value(2.5), Value(2)},
      {"_err", nullptr, Value(3.9), Value(3)},
      {"_syn", &text, Value(std::nan("")), Value(0)},
      {"_el", &double5, Value(1e300), Value(kMax)},
      {"fresh", nullptr, Value(3.7), Value(3.7)},
      {"listed", &list, Value(1.0), Value(1.0)},
      {"value", &int5, Value("x"), Value("x")},  // not a number: unchanged
  };
  for (const auto& c : cases) {
    EXPECT_EQ(APMPNormalizedParameter(c.name, c.existing, c.in), c.out)
        << c.name << " " << c.in.debugString();
  }
}

TEST(APMPEventParametersTest, EqualityComparesBothParameterSetsAndTheKinds) {
  const APMPEvent base = APMPEvent::initWithName(
      "e", 10, {{Value("a"), Value(1)}, {Value("email"), Value("x@y")}, {Value("n"), Value(NAN)}});
  APMPEvent removed = base;
  removed.parameters.erase(Value("email"));
  APMPEvent added = base;
  added.parameters[Value("b")] = Value(2);
  APMPEvent kind = base;
  kind.parameters[Value("a")] = Value(1.0);
  APMPEvent close = base;
  close.timestamp = 10 + 1e-17;
  APMPEvent later = base;
  later.timestamp = 10.001;

  EXPECT_TRUE(APMPEventIsEqualToEvent(base, APMPEvent(base)));  // NaN matches NaN
  EXPECT_TRUE(APMPEventIsEqualToEvent(base, close));
  EXPECT_FALSE(APMPEventIsEqualToEvent(base, later));
  EXPECT_FALSE(APMPEventIsEqualToEvent(base, kind));
  // A removal is an edit from either side.
  EXPECT_FALSE(APMPEventIsEqualToEvent(removed, base));
  EXPECT_FALSE(APMPEventIsEqualToEvent(base, removed));
  EXPECT_FALSE(APMPEventIsEqualToEvent(base, added));
  EXPECT_FALSE(APMPEventIsEqualToEvent(added, base));
}

TEST(APMPEventParametersTest, CreatedEventsAreNormalisedAgainstTheInputEvent) {
  APMPEventContext context;
  APMPEventContextSetInputEvent(
      context,
      APMPEvent::initWithName("in", 1, {{Value("level"), Value(7)}, {Value("c"), Value("EUR")}}));
  context.outputEvent.parameters.clear();  // the output's changes play no part
  APMPEventContextLogEvent(
      context, "made", 2,
      {{Value("level"), Value(8.9)}, {Value("c"), Value(4.0)}, {Value("new"), Value(1.5)}});
  ASSERT_EQ(context.eventsToLog.size(), 1u);
  EXPECT_EQ(context.eventsToLog[0].parameters,
            (platform::ValueMap{
                {Value("level"), Value(8)}, {Value("c"), Value("4")}, {Value("new"), Value(1.5)}}));
}

class APMPScriptEventEditingTest : public ::testing::Test {
 protected:
  platform::TestEnvironment env;  // the mock clock
};

// The factory the host registers at start-up builds real editing objects.
TEST_F(APMPScriptEventEditingTest, TheRegisteredFactoryBuildsScriptEditingObjects) {
  APMPScriptEventEditingLoad();
  auto first = APMPEventEditing::init();
  auto second = APMPEventEditing::init();
  APMPEventEditing::registerFactory(nullptr);
  ASSERT_TRUE(std::dynamic_pointer_cast<APMPScriptEventEditing>(first));
  EXPECT_NE(first, second);
}

// What a program keeps in a module survives the collections after every event: the cache of
// "require" is reached from the global scope.
TEST_F(APMPScriptEventEditingTest, ModulesAndWhatTheyHoldSurviveCollections) {
  APMPScriptEventEditing editing;
  APMPRuntime& runtime = editing.runtime();
  const auto get = [](const char16_t* name) { return op(15, {str(name)}); };
  APMPContext ctx(&runtime);
  runtime.executeStatements(
      {op(41, {str(u"logger")}),
       op(3, {str(u"logger"), op(u"require", {str(u"internal.eventLogger")})}),
       // A map stored only on the module value.
       op(43, {get(u"logger"), str(u"kept"), op(8, {str(u"n"), num(42)})}),
       op(3, {str(u"logger"), op(44)})},
      ctx);
  ASSERT_FALSE(ctx.failed());
  for (int i = 0; i < 3; ++i) {
    platform::ErrorPtr error;
    EXPECT_FALSE(editing.handleEvent(APMPEvent::initWithName("e", 1, {}), &error));
    ASSERT_FALSE(error);
  }
  APMPContext read(&runtime);
  const APMPValueRef n = runtime.executeStatements(
      {op(17, {op(17, {op(u"require", {str(u"internal.eventLogger")}), str(u"kept")}), str(u"n")})},
      read);
  ASSERT_FALSE(read.failed());
  ASSERT_TRUE(n->isNumber());
  EXPECT_EQ(APMPAs<APMPNumberValue>(*n).value(), 42);
}

// Priorities are kept unique and sorted, whatever order and collisions they come in.
TEST_F(APMPScriptEventEditingTest, APriorityInUseNeverReplacesACallback) {
  APMPEditingCallbackHandler handler;
  APMPScope scope(nullptr);
  APMPContext ctx;
  const auto callback = [] {
    return APMPRef<APMPFunctionValue>(
        new APMPFunctionValue(u"f", {}, {}, APMPMake<APMPScope>(nullptr)));
  };
  constexpr std::int32_t kTop = std::numeric_limits<std::int32_t>::max();
  constexpr std::int32_t kBottom = std::numeric_limits<std::int32_t>::min();
  for (std::int32_t p : {kTop, kBottom, kTop, kTop, 0, kBottom + 1}) {
    handler.registerWithPriority(p, callback(), u"edit", ctx);
  }
  ASSERT_FALSE(ctx.failed());
  std::vector<std::int32_t> priorities;
  for (const auto& [p, f] : handler.editCallbacks())
    priorities.push_back(p);
  EXPECT_EQ(priorities,
            (std::vector<std::int32_t>{kBottom, kBottom + 1, kBottom + 2, kBottom + 3, 0, kTop}));
}

}  // namespace
