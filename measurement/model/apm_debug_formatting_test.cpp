#include "measurement/model/apm_debug_formatting.h"

#include <gtest/gtest.h>

#include "measurement/storage/storage_test_support.h"
#include "platform/foundation/class_registry.h"

namespace {

using platform::Value;
using platform::ValueList;
using platform::ValueMap;

class APMDebugFormattingTest : public apm_testing::StorageTest {
 protected:
  ~APMDebugFormattingTest() override {
    platform::ClassRegistry::shared().unregisterClass(APMAnalyticsInterfaceClassName);
  }
  void setDebug(bool debug, bool interface) {
    monitor()->setDebugModeEnabled(debug);
    auto& registry = platform::ClassRegistry::shared();
    registry.unregisterClass(APMAnalyticsInterfaceClassName);
    if (interface) registry.registerClass(APMAnalyticsInterfaceClassName, std::make_shared<int>(0));
  }
};

TEST_F(APMDebugFormattingTest, NamesShowTheirPublicFormInDebugModeOnly) {
  struct Case {
    bool debug;
    bool interface;
    std::string (*format)(std::string_view);
    const char* name;
    const char* expected;
  };
  const Case cases[] = {
      {true, true, APMFormattedEventName, "_s", "session_start (_s)"},
      {false, true, APMFormattedEventName, "_s", "_s"},
      {true, false, APMFormattedEventName, "_s", "_s"},
      {true, true, APMFormattedEventName, "level_up", "level_up"},
      {true, true, APMFormattedEventName, "_unknown", "_unknown"},
      // Both public forms are "zevevidi_" or "za_": the "za_" one is shown.
      {true, true, APMFormattedParameterName, "_sn", "za_screen (_sn)"},
      {true, true, APMFormattedEventName, "_cmp", "za_campaign (_cmp)"},
      {true, true, APMFormattedUserPropertyName, "_fot", "first_open_time (_fot)"},
      {false, false, APMFormattedUserPropertyName, "_exp_12", "experiment_id (_exp_12)"},
  };
  for (const auto& c : cases) {
    setDebug(c.debug, c.interface);
    EXPECT_EQ(c.format(c.name), c.expected) << c.name << " debug " << c.debug;
  }
}

TEST_F(APMDebugFormattingTest, ParameterBlocks) {
  setDebug(true, true);
  const Value parameters(
      ValueMap{{Value("_err"), Value(5)},
               {Value("b"), Value("x")},
               {Value("A"), Value(1.5)},
               {Value("items"), Value(ValueList{Value(ValueMap{{Value("k"), Value(1)}})})}});
  EXPECT_EQ(APMFormattedParametersDescription(parameters),
            "{\n"
            "    A = 1.5;\n"
            "    b = x;\n"
            "    items = [\n"
            "    {\n"
            "        k = 1;\n"
            "    }\n"
            "    ];\n"
            "    za_error (_err) = ParameterLimitReached (5);\n"
            "}");
  EXPECT_EQ(APMFormattedParametersDescriptionWithIndentation(
                Value(ValueMap{{Value("_err"), Value(25)}}), "  "),
            "  {\n      za_error (_err) = 25;\n  }");
  setDebug(false, true);
  EXPECT_EQ(APMFormattedParametersDescription(Value(ValueMap{{Value("_err"), Value(5)}})),
            Value(ValueMap{{Value("_err"), Value(5)}}).debugString());
}

}  // namespace
