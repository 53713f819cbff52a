// Conditional user properties through the controller and the event road, on a real database
// under the mock clock: activation at once or by a trigger event, time-outs, expiry, clearing,
// the query, and the rollback when the record cannot be stored.
#include "measurement/engine/apm_conditional_user_property_controller.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/engine_test_support.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_user_attribute.h"
#include "platform/dispatch/clock.h"

namespace {

using platform::Value;
using platform::ValueMap;

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

constexpr const char* kAppID = "1:1:ios:abc";

struct Stored {
  std::string name;
  double timestamp;
  std::string origin;
};

class ConditionalUserPropertyTest : public engine_testing::EngineTest {
 protected:
  void SetUp() override {
    APMAnalytics::startWithAppID(kAppID, "fa", {});
    env_.runUntilIdle();
    ASSERT_TRUE(core());
    ASSERT_TRUE(core()->database());
    dropLaunchEvents();
  }

  static APMConditionalUserPropertyController& controller() {
    return *APMConditionalUserPropertyController::sharedInstance();
  }

  void onWorker(std::function<void()> body) {
    core()->scheduler()->scheduleOnWorkerQueueBlockID("test", std::move(body));
    env_.runUntilIdle();
  }

  static std::shared_ptr<APMEvent> event(const std::string& name, ValueMap parameters = {}) {
    return APMEvent::initWithOrigin("app", false, name, 0, 0, std::move(parameters));
  }

  // A valid property: origin "app", value 42, trigger timeout and time to live of one hour.
  static std::shared_ptr<APMConditionalUserProperty> property(const std::string& trigger = "") {
    auto made = std::make_shared<APMConditionalUserProperty>();
    made->setOrigin("app");
    made->setValue(APMValue::valueFromObject(Value(std::int64_t{42}), false));
    made->setTriggerEventName(trigger);
    made->setTriggerTimeout(3600);
    made->setTimeToLive(3600);
    return made;
  }

  void set(const std::shared_ptr<APMConditionalUserProperty>& made, const std::string& name) {
    controller().setConditionalUserProperty(made, name);
    env_.runUntilIdle();
  }

  void write(const std::string& name) {
    onWorker([&] { core()->writeEventOnWorkerQueue(event(name)); });
  }

  std::vector<Stored> stored() {
    std::vector<Stored> out;
    onWorker([&] {
      platform::ErrorPtr error;
      const auto rows = core()->database()->allRawEventsWithError(&error);
      ASSERT_TRUE(rows);
      for (const auto& raw : *rows) {
        auto made = APMEvent::initWithEventProto(*raw->rawEvent());
        ASSERT_TRUE(made);
        out.push_back({made->name(), made->timestamp(), made->origin()});
      }
    });
    return out;
  }
  std::vector<std::string> storedNames() {
    std::vector<std::string> names;
    for (const auto& e : stored())
      names.push_back(e.name);
    return names;
  }

  std::shared_ptr<APMUserAttribute> userProperty(const std::string& name) {
    std::shared_ptr<APMUserAttribute> found;
    onWorker([&] {
      platform::ErrorPtr error;
      found = core()->database()->userAttributeWithName(name, &error);
    });
    return found;
  }

  std::shared_ptr<APMConditionalUserProperty> record(const std::string& name) {
    std::shared_ptr<APMConditionalUserProperty> found;
    onWorker([&] {
      platform::ErrorPtr error;
      found = core()->database()->conditionalUserPropertyWithName(name, &error);
    });
    return found;
  }
};

TEST_F(ConditionalUserPropertyTest, BoundsOfTheTriggerTimeoutAndTimeToLive) {
  struct Case {
    double triggerTimeout;
    double timeToLive;
    bool valid;
    std::int64_t code;
  };
  const Case cases[] = {
      {0, 1, false, 11000},        {0.001, 1, true, 0},         {15552000, 1, true, 0},
      {15552001, 1, false, 11000}, {1, 0, false, 11001},        {1, 0.001, true, 0},
      {1, 15552000, true, 0},      {1, 15552001, false, 11001}, {std::nan(""), 1, false, 11000}};
  for (const auto& c : cases) {
    clearReports();
    auto made = property();
    made->setName("prop");
    made->setTriggerTimeout(c.triggerTimeout);
    made->setTimeToLive(c.timeToLive);
    EXPECT_EQ(APMIsValidConditionalUserProperty(*made), c.valid)
        << c.triggerTimeout << " " << c.timeToLive;
    if (!c.valid) {
      EXPECT_TRUE(reported(c.code)) << c.triggerTimeout << " " << c.timeToLive;
    }
  }
}

TEST_F(ConditionalUserPropertyTest, WithoutATriggerItIsActiveAtOnceAndLogsItsEventOnce) {
  env_.advance(100);
  const double created = platform::Clock::current().now();
  auto made = property();
  made->setTriggeredEvent(event("cup_set", {{Value("why"), Value("test")}}));
  set(made, "prop");

  const auto attribute = userProperty("prop");
  ASSERT_TRUE(attribute);
  EXPECT_EQ(attribute->lastSetTimestamp(), created);
  EXPECT_EQ(attribute->value().int64Value(), 42);
  const auto kept = record("prop");
  ASSERT_TRUE(kept);
  EXPECT_TRUE(kept->active());
  EXPECT_EQ(kept->triggeredTimestamp(), created);

  // Later events do not log the triggered event again.
  write("level_up");
  const auto events = stored();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].name, "cup_set");
  EXPECT_EQ(events[0].timestamp, created);
  EXPECT_EQ(events[0].origin, "app");
  EXPECT_EQ(events[1].name, "level_up");
}

TEST_F(ConditionalUserPropertyTest, ATriggerEventWithinTheTimeoutActivatesEveryWaitingProperty) {
  auto first = property("level_up");
  first->setTriggeredEvent(event("first_set"));
  set(first, "first");
  auto second = property("level_up");
  second->setTriggeredEvent(event("second_set"));
  set(second, "second");
  EXPECT_FALSE(userProperty("first"));

  env_.advance(10);
  const double triggeredAt = platform::Clock::current().now();
  write("other");
  EXPECT_FALSE(userProperty("first"));
  write("level_up");

  for (const char* name : {"first", "second"}) {
    const auto attribute = userProperty(name);
    ASSERT_TRUE(attribute) << name;
    EXPECT_EQ(attribute->lastSetTimestamp(), triggeredAt);
    const auto kept = record(name);
    ASSERT_TRUE(kept);
    EXPECT_TRUE(kept->active());
  }
  // The trigger event is written first, then the events it triggered.
  const auto names = storedNames();
  ASSERT_EQ(names.size(), 4u);
  EXPECT_EQ(names[0], "other");
  EXPECT_EQ(names[1], "level_up");
  EXPECT_EQ(std::vector<std::string>(names.begin() + 2, names.end()),
            (std::vector<std::string>{"first_set", "second_set"}));

  // Already active: a second trigger changes nothing.
  write("level_up");
  EXPECT_EQ(storedNames().size(), 5u);
}

TEST_F(ConditionalUserPropertyTest, ATriggerAfterTheTimeoutTimesThePropertyOutInstead) {
  auto made = property("level_up");
  made->setTriggerTimeout(10);
  made->setTriggeredEvent(event("cup_set"));
  made->setTimedOutEvent(event("cup_timed_out"));
  set(made, "prop");
  env_.advance(10.5);
  write("level_up");

  EXPECT_FALSE(userProperty("prop"));
  EXPECT_FALSE(record("prop"));
  EXPECT_TRUE(reported(10002));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"cup_timed_out", "level_up"}));
}

TEST_F(ConditionalUserPropertyTest, AnAdImpressionTriggersAPropertyWaitingForItsInternalName) {
  auto made = property("_ai");
  made->setTriggeredEvent(event("cup_set"));
  set(made, "prop");
  write("ad_impression");
  EXPECT_TRUE(userProperty("prop"));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"ad_impression", "cup_set"}));
}

TEST_F(ConditionalUserPropertyTest, AnExpiredPropertyLosesItsUserPropertyAndLogsItsEvent) {
  auto made = property();
  made->setTimeToLive(5);
  made->setExpiredEvent(event("cup_expired"));
  set(made, "prop");
  ASSERT_TRUE(userProperty("prop"));
  env_.advance(4);
  write("early");
  EXPECT_TRUE(userProperty("prop"));
  env_.advance(2);
  write("late");
  EXPECT_FALSE(userProperty("prop"));
  EXPECT_FALSE(record("prop"));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"early", "cup_expired", "late"}));
}

TEST_F(ConditionalUserPropertyTest, ClearingRemovesThePropertyAndLogsTheClearEvent) {
  set(property(), "prop");
  ASSERT_TRUE(userProperty("prop"));
  controller().clearConditionalUserPropertyWithClearEvent(event("cup_cleared"), "prop");
  env_.runUntilIdle();
  EXPECT_FALSE(userProperty("prop"));
  EXPECT_FALSE(record("prop"));
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"cup_cleared"}));

  // Nothing stored under the name: 11018 and no event.
  controller().clearConditionalUserPropertyWithClearEvent(event("cup_cleared"), "prop");
  env_.runUntilIdle();
  EXPECT_TRUE(reported(11018));
  EXPECT_EQ(storedNames().size(), 1u);

  // Setting without a value removes the stored one and logs its clear event.
  auto waiting = property("level_up");
  set(waiting, "other");
  ASSERT_TRUE(record("other"));
  auto removal = property();
  removal->setValue(std::nullopt);
  removal->setExpiredEvent(event("other_cleared"));
  set(removal, "other");
  EXPECT_FALSE(record("other"));
  EXPECT_EQ(storedNames().back(), "other_cleared");
}

TEST_F(ConditionalUserPropertyTest, ResettingAnActivePropertyKeepsItsActivation) {
  auto made = property("level_up");
  made->setTriggeredEvent(event("cup_set"));
  set(made, "prop");
  env_.advance(5);
  write("level_up");
  const auto before = record("prop");
  ASSERT_TRUE(before && before->active());

  env_.advance(5);
  auto again = property("other_trigger");
  again->setOrigin("other");
  again->setValue(APMValue::valueFromObject(Value(std::int64_t{7}), false));
  again->setTimeToLive(99);
  set(again, "prop");
  const auto after = record("prop");
  ASSERT_TRUE(after);
  EXPECT_TRUE(after->active());
  EXPECT_EQ(after->triggeredTimestamp(), before->triggeredTimestamp());
  EXPECT_EQ(after->creationTimestamp(), before->creationTimestamp());
  EXPECT_EQ(after->triggerEventName(), "level_up");
  EXPECT_EQ(after->origin(), "app");
  EXPECT_EQ(after->timeToLive(), 99);
  EXPECT_TRUE(reported(11010));
  // Only the one activation event.
  EXPECT_EQ(storedNames(), (std::vector<std::string>{"level_up", "cup_set"}));
}

TEST_F(ConditionalUserPropertyTest, ARecordThatCannotBeStoredLeavesNoUserPropertyAndNoEvent) {
  onWorker([&] {
    core()->database()->performTransaction([&] {
      for (int i = 0; i < 1000; ++i) {
        auto filler = property("never");
        filler->setName("filler_" + std::to_string(i));
        platform::ErrorPtr error;
        if (!core()->database()->updateConditionalUserProperty(filler.get(), &error)) {
          ADD_FAILURE() << "filler " << i;
          return false;
        }
      }
      return true;
    });
  });
  auto made = property();
  made->setTriggeredEvent(event("cup_set"));
  set(made, "prop");
  EXPECT_TRUE(reported(11014));
  EXPECT_FALSE(userProperty("prop"));
  EXPECT_FALSE(record("prop"));
  EXPECT_TRUE(storedNames().empty());
}

TEST_F(ConditionalUserPropertyTest, TheQueryAnswersFromAnyThreadAndOnTheWorkerQueueItself) {
  set(property("a"), "user_a");
  set(property("b"), "user_b");
  set(property("c"), "other");

  const auto fromCaller =
      controller().conditionalUserPropertiesWithNamePrefix(Value("user_"), Value());
  ASSERT_TRUE(fromCaller);
  EXPECT_EQ(fromCaller->size(), 2u);

  // On the worker queue the query cannot wait for a block queued behind itself: it answers in
  // place, at once.
  std::optional<APMConditionalUserPropertyController::Properties> fromWorker;
  double waited = 0;
  onWorker([&] {
    const auto start = std::chrono::steady_clock::now();
    fromWorker = controller().conditionalUserPropertiesWithNamePrefix(Value(), Value("app"));
    waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  });
  ASSERT_TRUE(fromWorker);
  EXPECT_EQ(fromWorker->size(), 3u);
  EXPECT_LT(waited, 5.0);

  EXPECT_FALSE(
      controller().conditionalUserPropertiesWithNamePrefix(Value(std::int64_t{1}), Value()));
  EXPECT_TRUE(reported(11003));
  EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix(Value(), Value(true)));
  EXPECT_TRUE(reported(11004));
}

TEST_F(ConditionalUserPropertyTest, NothingChangesWhileMeasurementIsDisabled) {
  APMAnalytics::setAnalyticsEnabled(false);
  env_.runUntilIdle();
  ASSERT_FALSE(core()->isEnabled());
  set(property(), "prop");
  EXPECT_TRUE(reported(11007));
  EXPECT_FALSE(controller().conditionalUserPropertiesWithNamePrefix(Value(), Value()));
  EXPECT_TRUE(reported(11005));
  APMAnalytics::setAnalyticsEnabled(true);
  env_.runUntilIdle();
  EXPECT_FALSE(record("prop"));
}

}  // namespace
