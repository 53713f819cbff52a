#include "measurement/experiments/apme_snapshot.h"

#include <algorithm>
#include <functional>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/storage/storage_test_support.h"
#include "platform/dispatch/test_environment.h"

namespace {

using platform::Value;
namespace field = apmpb_field;

std::shared_ptr<APMPBFlag> flag(std::optional<std::string> name, std::int64_t value) {
  auto flag = APMPBFlag::initWithMessageInfo();
  if (name) NANOSetString(flag.get(), field::Flag::kName, *name);
  NANOSetInt64(flag.get(), field::Flag::kIntValue, value);
  return flag;
}

Value object(const platform::ObjectPtr& pointer) {
  return Value(pointer);
}

std::shared_ptr<APMPBExperiment>
experimentMessage(std::optional<std::int32_t> id,
                  const std::vector<std::shared_ptr<APMPBFlag>>& flags) {
  auto message = APMPBExperiment::initWithMessageInfo();
  if (id) NANOSetInt32(message.get(), field::Experiment::kExperimentId, *id);
  const auto list = NANOMessageValues(flags);
  NANOSetArray(message.get(), field::Experiment::kFlags, &list);
  return message;
}

std::shared_ptr<APMPBSnapshot>
snapshotMessage(std::optional<std::string> name,
                const std::vector<std::shared_ptr<APMPBExperiment>>& experiments) {
  auto message = APMPBSnapshot::initWithMessageInfo();
  if (name) NANOSetString(message.get(), field::Snapshot::kSdkName, *name);
  const auto list = NANOMessageValues(experiments);
  NANOSetArray(message.get(), field::Snapshot::kExperiments, &list);
  return message;
}

// "id:flag=value,flag=value;id:..." for a snapshot, so a case states all it holds in one line.
std::string contents(const APMESnapshot& snapshot) {
  std::string text;
  for (const auto& experiment : snapshot.experiments()) {
    if (!text.empty()) text += ";";
    text += std::to_string(experiment->experimentID()) + ":";
    bool first = true;
    for (const auto& f : experiment->flags()) {
      if (!first) text += ",";
      first = false;
      text += NANOGetString(f.get(), field::Flag::kName).value_or("?") + "=" +
              std::to_string(NANOGetInt64(f.get(), field::Flag::kIntValue));
    }
  }
  return text;
}

class APMESnapshotTest : public apm_testing::StorageTest {
 protected:
  ~APMESnapshotTest() override { env_.runUntilIdle(); }
  std::vector<std::int64_t> codesFrom(std::int64_t low) {
    std::vector<std::int64_t> codes;
    for (auto code : reportedCodes())
      if (code >= low) codes.push_back(code);
    return codes;
  }
  platform::TestEnvironment env_{1'700'000'000};
};

TEST_F(APMESnapshotTest, SnapshotMessagesAndTheirEdgeCases) {
  struct Case {
    const char* name;
    std::function<std::shared_ptr<APMPBSnapshot>()> message;
    bool gives;
    const char* contents;
    std::vector<std::int64_t> codes;
  };
  const Case cases[] = {
      {"an Experiment without ID parses as ID 0",
       [] { return snapshotMessage("app", {experimentMessage(std::nullopt, {flag("a", 1)})}); },
       true,
       "0:a=1",
       {}},
      {"a repeated ID keeps the later experiment",
       [] {
         return snapshotMessage("app", {experimentMessage(7, {flag("a", 1), flag("b", 2)}),
                                        experimentMessage(7, {flag("c", 3)})});
       },
       true,
       "7:c=3",
       {}},
      {"experiments come in ascending ID order, flags in name order",
       [] {
         return snapshotMessage("app", {experimentMessage(9, {flag("z", 1), flag("m", 2)}),
                                        experimentMessage(-3, {}), experimentMessage(0, {})});
       },
       true,
       "-3:;0:;9:m=2,z=1",
       {}},
      {"a nameless snapshot gives no snapshot",
       [] { return snapshotMessage(std::nullopt, {experimentMessage(1, {flag("a", 1)})}); },
       false,
       "",
       {840000}},
      {"an empty name gives no snapshot",
       [] { return snapshotMessage("", {}); },
       false,
       "",
       {840000}},
      {"a nameless flag is skipped, the named one kept",
       [] {
         return snapshotMessage("app",
                                {experimentMessage(4, {flag(std::nullopt, 1), flag("b", 2)})});
       },
       true,
       "4:b=2",
       {870006}},
      {"a repeated flag name keeps the later flag",
       [] {
         return snapshotMessage("app", {experimentMessage(4, {flag("b", 1), flag("b", 2)})});
       },
       true,
       "4:b=2",
       {}},
      {"no experiments at all", [] { return snapshotMessage("app", {}); }, true, "", {}},
      {"a null message", [] { return nullptr; }, false, "", {840000}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearReports();
    const auto message = c.message();
    const auto snapshot = APMESnapshot::initWithProtobuf(message.get());
    ASSERT_EQ(static_cast<bool>(snapshot), c.gives);
    EXPECT_EQ(codesFrom(800000), c.codes);
    if (!snapshot) continue;
    EXPECT_EQ(snapshot->SDKName(), "app");
    EXPECT_EQ(contents(*snapshot), c.contents);
    EXPECT_DOUBLE_EQ(snapshot->timestamp(), 1'700'000'000);
    EXPECT_FALSE(snapshot->manuallyActivated());
    // Back to bytes and in again: nothing lost or reordered.
    const auto bytes = snapshot->proto()->protoBuffer();
    ASSERT_TRUE(bytes);
    const auto again = APMESnapshot::initWithProtobuf(APMPBSnapshot::initWithBuffer(*bytes).get());
    ASSERT_TRUE(again);
    EXPECT_EQ(contents(*again), c.contents);
  }
}

TEST_F(APMESnapshotTest, CopyOfAStoredSnapshotIsTimestampedNowAndNotManuallyActivated) {
  const auto stored = APMESnapshot::initWithProtobuf(
      snapshotMessage("app", {experimentMessage(3, {flag("a", 1)})}).get());
  ASSERT_TRUE(stored);
  stored->setTimestamp(1'600'000'000);  // as the database sets a row's time
  stored->setManuallyActivated(true);
  env_.advance(42);

  const auto copy = stored->copy();
  ASSERT_TRUE(copy);
  EXPECT_DOUBLE_EQ(copy->timestamp(), 1'700'000'042);
  EXPECT_FALSE(copy->manuallyActivated());
  EXPECT_EQ(contents(*copy), "3:a=1");
  // The experiments are copies (a flag added to the copy stays there), the Flag messages shared.
  copy->addFlag(object(flag("b", 2)), Value(3));
  EXPECT_EQ(contents(*copy), "3:a=1,b=2");
  EXPECT_EQ(contents(*stored), "3:a=1");
  EXPECT_EQ(copy->flagByName("a"), stored->flagByName("a"));
  // The original keeps its own fields.
  EXPECT_DOUBLE_EQ(stored->timestamp(), 1'600'000'000);
  EXPECT_TRUE(stored->manuallyActivated());
}

TEST_F(APMESnapshotTest, FlagLookupAndAddingFlags) {
  const auto snapshot = APMESnapshot::initWithProtobuf(
      snapshotMessage("app", {experimentMessage(20, {flag("shared", 20), flag("only20", 1)}),
                              experimentMessage(10, {flag("shared", 10)})})
          .get());
  ASSERT_TRUE(snapshot);
  // The lowest experiment ID holding the flag answers.
  EXPECT_EQ(NANOGetInt64(snapshot->flagByName("shared").get(), field::Flag::kIntValue), 10);
  EXPECT_TRUE(snapshot->flagByName("only20"));
  EXPECT_FALSE(snapshot->flagByName("missing"));
  clearReports();
  EXPECT_FALSE(snapshot->flagByName(""));
  EXPECT_EQ(codesFrom(800000), (std::vector<std::int64_t>{870007, 870007}))
      << "once for each experiment";

  clearReports();
  snapshot->addFlag(object(flag("shared", 99)), Value(10));     // replaces within experiment 10
  snapshot->addFlags({flag("x", 5), flag("y", 6)}, Value(30));  // a new experiment
  snapshot->addFlag(Value(), Value(10));                        // 840004
  snapshot->addFlag(Value("not a flag"), Value(10));            // 840004
  snapshot->addFlag(object(flag("z", 1)), Value());             // 840003
  // 870006: the flag is skipped, the experiment is made all the same (as a pending experiment
  // whose only flag has no name would be).
  snapshot->addFlag(object(flag(std::nullopt, 1)), Value(40));
  snapshot->addFlag(object(flag("w", 1)), Value("5"));  // 870001: nothing stored
  EXPECT_EQ(contents(*snapshot), "10:shared=99;20:only20=1,shared=20;30:x=5,y=6;40:");
  EXPECT_EQ(codesFrom(800000), (std::vector<std::int64_t>{840004, 840004, 840003, 870006, 870001}));
}

TEST_F(APMESnapshotTest, RefusedConstructions) {
  const auto named = object(flag("a", 1));
  struct Case {
    const char* name;
    std::function<bool()> gives;
    std::vector<std::int64_t> codes;
  };
  const Case cases[] = {
      {"experiment without ID",
       [&] { return !!APMEExperiment::initWithExperimentID(Value(), Value::list({named})); },
       {870000}},
      {"experiment ID not an integer",
       [&] { return !!APMEExperiment::initWithExperimentID(Value(1.5), Value::list({named})); },
       {870001}},
      {"experiment ID beyond 32 bits",
       [&] {
         return !!APMEExperiment::initWithExperimentID(Value(std::int64_t{1} << 40),
                                                       Value::list({named}));
       },
       {870001}},
      {"experiment flags not a list",
       [&] { return !!APMEExperiment::initWithExperimentID(Value(1), Value()); },
       {870002}},
      {"experiment with an element that is not a flag",
       [&] {
         return !!APMEExperiment::initWithExperimentID(Value(1), Value::list({named, Value(3)}));
       },
       {870003}},
      {"snapshot without experiment list",
       [&] { return !!APMESnapshot::initWithSDKName(Value("app"), Value()); },
       {840001}},
      {"snapshot name not a string",
       [&] { return !!APMESnapshot::initWithSDKName(Value(5), Value::emptyList()); },
       {840000}},
      {"snapshot with an element that is not an experiment",
       [&] { return !!APMESnapshot::initWithSDKName(Value("app"), Value::list({named})); },
       {840002}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    clearReports();
    EXPECT_FALSE(c.gives());
    EXPECT_EQ(codesFrom(800000), c.codes);
  }

  // Level 2, as the other experiment diagnostics of these classes.
  clearReports();
  APMEExperiment::initWithExperimentID(Value(), Value());
  ASSERT_EQ(reports().size(), 1u);
  EXPECT_EQ(reports()[0].level, 2);
  EXPECT_EQ(reports()[0].message, "Cannot create an experiment without ID");

  clearReports();
  const auto experiment = APMEExperiment::initWithExperimentID(7, {flag("a", 1)});
  ASSERT_TRUE(experiment);
  experiment->addFlag(Value());
  experiment->addFlag(Value("text"));
  EXPECT_EQ(codesFrom(800000), (std::vector<std::int64_t>{870004, 870005}));
  EXPECT_EQ(experiment->flags().size(), 1u);
}

}  // namespace
