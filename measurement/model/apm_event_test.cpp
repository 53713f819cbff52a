#include "measurement/model/apm_event.h"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>
#include <map>

#include "measurement/messages/apm_message_values.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_info.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_event_normalization.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/storage_test_support.h"

namespace {

using platform::Value;
using platform::ValueList;
using platform::ValueMap;

class APMEventTest : public apm_testing::StorageTest {
 protected:
  // The records report through the process-wide monitor: the fixture drains its queue at the end.
  APMEventTest() { monitor(); }
};

ValueMap itemWith(const char* id) {
  return ValueMap{{Value("item_id"), Value(id)}};
}

TEST_F(APMEventTest, ValuesKeepTheirKind) {
  struct Case {
    Value object;
    bool allowArray;
    std::optional<APMValueType> type;
  };
  const Case cases[] = {
      {Value("text"), false, APMValueTypeString},
      {Value(std::int64_t{5}), false, APMValueTypeInt64},
      {Value(5.0), false, APMValueTypeDouble},
      {Value(true), false, APMValueTypeInt64},
      {Value::emptyList(), false, std::nullopt},
      {Value::emptyList(), true, APMValueTypeArray},
      {Value(), false, std::nullopt},
      {Value::emptyMap(), true, std::nullopt},
      {Value(std::string("\xFF")), false, std::nullopt},
  };
  for (const auto& c : cases) {
    const auto value = APMValue::valueFromObject(c.object, c.allowArray);
    EXPECT_EQ(value ? std::optional(value->valueType()) : std::nullopt, c.type)
        << c.object.debugString();
  }
  EXPECT_EQ(APMValue::valueFromObject(Value(true))->int64Value(), 1);
  // Accessors never convert; equality needs the same kind.
  const APMValue five(std::int64_t{5});
  EXPECT_EQ(five.doubleValue(), 0);
  EXPECT_EQ(five.stringValue(), nullptr);
  EXPECT_FALSE(five == APMValue(5.0));
  const FIRAValue alias(std::int64_t{5});
  EXPECT_TRUE(five == alias && alias == five);
  EXPECT_EQ(five.hash(), alias.hash());
  EXPECT_EQ(APMValue(0.5).description(), "0.5");
}

TEST_F(APMEventTest, OriginsAndNamesAreChecked) {
  struct Case {
    const char* origin;
    bool isPublic;
    const char* name;
    bool created;
  };
  const Case cases[] = {
      {"app", true, "level_up", true},       {"auto+ztm", false, "_s", true},
      {"+ztm", false, "_s", false},          {"", false, "_s", false},
      {"bad origin", false, "_s", false},    {"app", true, "screen_view", true},
      {"app", true, "ad_impression", true},  {"app", true, "app_update", false},
      {"app", true, "session_start", false}, {"app", false, "_s", true},
      {"app", false, "bad-name", false},
  };
  for (const auto& c : cases) {
    const auto event = APMEvent::initWithOrigin(c.origin, c.isPublic, c.name, 10, 0, {});
    EXPECT_EQ(event != nullptr, c.created) << c.origin << " " << c.name;
    if (event) {
      EXPECT_EQ(event->parameters().at(Value("_o")), Value(c.origin));
    }
  }
  // A previous timestamp after the timestamp is reported, and the event still made.
  EXPECT_NE(APMEvent::initWithOrigin("app", false, "_s", 10, 20, {}), nullptr);
  EXPECT_EQ(reportedCodes().back(), 16002);
}

TEST_F(APMEventTest, FlagsAndTheConversionRule) {
  auto event = APMEvent::initWithOrigin(
      "app", false, "purchase", 10, 0,
      {{Value("_c"), Value(1)}, {Value("value"), Value(3)}, {Value("_o"), Value("other")}});
  // A conversion without a currency loses "value" and the conversion flag.
  EXPECT_FALSE(event->isConversion());
  EXPECT_EQ(event->parameters(), (ValueMap{{Value("_o"), Value("app")},
                                           {Value("_err"), Value(19)},
                                           {Value("_ev"), Value("currency")}}));

  event = APMEvent::initWithOrigin("app", false, "purchase", 10, 0,
                                   {{Value("value"), Value(3)}, {Value("currency"), Value("EUR")}});
  event->setConversion(true);
  EXPECT_TRUE(event->isConversion());
  event->setConversion(false);
  EXPECT_FALSE(event->isConversion());
  EXPECT_EQ(event->parameters().at(Value("_err")), Value(10));
  event->setConversion(true);  // the limit error goes with the flag
  EXPECT_FALSE(event->parameters().contains(Value("_err")));

  auto plain = APMEvent::initWithOrigin("app", false, "level_up", 10, 0, {});
  const ValueMap before = plain->parameters();
  plain->setConversion(false);
  EXPECT_EQ(plain->parameters(), before);
  plain->setRealtime(true);
  plain->setDebug(true);
  EXPECT_TRUE(plain->isRealtime() && plain->isDebug());
  plain->setRealtime(false);
  EXPECT_FALSE(plain->isRealtime());

  auto text =
      APMEvent::initWithOrigin("app", false, "level_up", 10, 0, {{Value("_r"), Value("1")}});
  clearReports();
  EXPECT_FALSE(text->isRealtime());
  EXPECT_EQ(reportedCodes(), std::vector<std::int64_t>{16006});
}

TEST_F(APMEventTest, AppliedAndScreenParameters) {
  auto event = APMEvent::initWithOrigin("app", false, "level_up", 10, 0, {{Value("a"), Value(1)}});
  event->applyParameters({{Value("a"), Value(2)}, {Value("b"), Value(true)}}, true);
  EXPECT_EQ(event->parameters().at(Value("a")), Value(1));
  EXPECT_EQ(event->parameters().at(Value("b")), Value(1));

  struct Case {
    const char* what;
    ValueMap screen;
    bool added;
  };
  const Case cases[] = {
      {"empty", {}, false},
      {"no id", {{Value("_sn"), Value("Home")}}, false},
      {"id not a number", {{Value("_si"), Value("1")}}, false},
      {"class not a string", {{Value("_si"), Value(1)}, {Value("_sc"), Value(1)}}, false},
      {"empty name", {{Value("_si"), Value(1)}, {Value("_sn"), Value("")}}, false},
      {"complete",
       {{Value("_si"), Value(7)}, {Value("_sc"), Value("View")}, {Value("_sn"), Value("Home")}},
       true},
  };
  for (const auto& c : cases) {
    auto copy = event->copy();
    EXPECT_EQ(copy->addScreenParameters(c.screen), c.added) << c.what;
    EXPECT_EQ(APMHasScreenParameters(copy->parameters()), c.added) << c.what;
    if (c.added) {
      EXPECT_FALSE(copy->addScreenParameters(c.screen)) << "already has them";
    }
  }
}

TEST_F(APMEventTest, WireFormRoundTrip) {
  const ValueMap parameters{
      {Value("s"), Value("text")},
      {Value("i"), Value(std::int64_t{-3})},
      {Value("d"), Value(2.25)},
      {Value("items"), Value(ValueList{Value(itemWith("a")), Value(itemWith("b"))})}};
  auto event = APMEvent::initWithOrigin("app", true, "purchase", 1.5, 0, parameters);
  auto proto = event->protoEvent();
  EXPECT_FALSE(NANOHasField(proto.get(), apmpb_field::Event::kPreviousTimestampMillis));
  EXPECT_EQ(NANOGetInt64(proto.get(), apmpb_field::Event::kTimestampMillis), 1500);

  // "items" holds one unnamed parameter per item, each holding the item's parameters.
  const auto params =
      *NANOGetArray(proto.get(), apmpb_field::Event::kParams, APMPBEventParam::classObject());
  std::shared_ptr<APMPBEventParam> items;
  for (const auto& p : params) {
    auto param = p.asObjectOf<APMPBEventParam>();
    if (NANOGetString(param.get(), apmpb_field::EventParam::kName) == "items") items = param;
  }
  ASSERT_TRUE(items);
  const auto holders = *NANOGetArray(items.get(), apmpb_field::EventParam::kParamValue,
                                     APMPBEventParam::classObject());
  ASSERT_EQ(holders.size(), 2u);
  auto second = holders[1].asObjectOf<APMPBEventParam>();
  EXPECT_FALSE(NANOHasField(second.get(), apmpb_field::EventParam::kName));
  const auto inner = *NANOGetArray(second.get(), apmpb_field::EventParam::kParamValue,
                                   APMPBEventParam::classObject());
  ASSERT_EQ(inner.size(), 1u);
  EXPECT_EQ(NANOGetString(inner[0].asObjectOf<APMPBEventParam>().get(),
                          apmpb_field::EventParam::kStringValue),
            "b");

  auto decoded = APMPBEvent::initWithBuffer(*proto->protoBuffer());
  clearReports();
  auto back = APMEvent::initWithEventProto(*decoded);
  ASSERT_TRUE(back);
  ValueMap expected = event->parameters();
  expected.erase(Value("items"));
  EXPECT_EQ(back->parameters(), expected);
  EXPECT_EQ(back->origin(), "app");
  EXPECT_EQ(back->timestamp(), 1.5);
  EXPECT_EQ(reportedCodes(), std::vector<std::int64_t>{15002});

  auto withPrevious = event->copyWithPreviousTimestamp(1.25)->protoEvent();
  EXPECT_EQ(NANOGetInt64(withPrevious.get(), apmpb_field::Event::kPreviousTimestampMillis), 1250);

  // Without a string origin there is no event.
  NANOSetArray(decoded.get(), apmpb_field::Event::kParams, nullptr);
  EXPECT_EQ(APMEvent::initWithEventProto(*decoded), nullptr);
}

// A copy with a new previous time keeps the parameters it has when the initialiser made them:
// every map here must come out of it exactly as a fresh normalisation of the same map would,
// with the same reports.
TEST_F(APMEventTest, CopyWithPreviousTimestampMatchesAFreshNormalisation) {
  const std::string longText(600, 'x');
  ValueMap manyPublic;
  for (int i = 0; i < 100; ++i)
    manyPublic[Value("p" + std::to_string(1000 + i))] = Value(i);
  ValueList items;
  for (int i = 0; i < 3; ++i)
    items.emplace_back(ValueMap{{Value("item_id"), Value("sku" + std::to_string(i))},
                                {Value("quantity"), Value(true)},
                                {Value("price"), Value(1.5)}});
  struct Case {
    const char* what;
    const char* origin;
    bool isPublic;
    const char* name;
    ValueMap parameters;
    std::function<void(APMEvent&)> change;  // what happens to the event before it is copied
  };
  const auto none = [](APMEvent&) {};
  const Case cases[] = {
      {"plain",
       "app",
       false,
       "level_up",
       {{Value("level"), Value(7)}, {Value("on"), Value(true)}},
       none},
      {"public names and values",
       "app",
       true,
       "level_up",
       {{Value("level"), Value(7)}, {Value("zone"), Value(longText)}, {Value("9bad"), Value(1)}},
       none},
      {"internal event with a long value",
       "auto",
       false,
       "_e",
       {{Value("_et"), Value(longText)}},
       none},
      {"a long error value", "auto", false, "_err", {{Value("_ev"), Value(longText)}}, none},
      {"values of no kind", "app", false, "level_up", {{Value("m"), Value::emptyMap()}}, none},
      {"conversion without currency",
       "app",
       false,
       "purchase",
       {{Value("_c"), Value(1)}, {Value("value"), Value(3)}},
       none},
      {"conversion set, then real-time and debug",
       "app",
       false,
       "purchase",
       {{Value("value"), Value(3)}, {Value("currency"), Value("EUR")}},
       [](APMEvent& e) {
         e.setConversion(true);
         e.setRealtime(true);
         e.setDebug(true);
       }},
      {"conversion refused by its value",
       "app",
       false,
       "level_up",
       {{Value("value"), Value("many")}},
       [](APMEvent& e) { e.setConversion(true); }},
      {"conversion taken back",
       "app",
       false,
       "purchase",
       {},
       [](APMEvent& e) {
         e.setConversion(true);
         e.setConversion(false);
       }},
      {"items of an ecommerce event",
       "app",
       true,
       "add_to_cart",
       {{Value("items"), Value(items)}, {Value("currency"), Value("EUR")}},
       none},
      {"items of another event", "app", false, "level_up", {{Value("items"), Value(items)}}, none},
      {"forwarded origin", "app+ztm", false, "level_up", {{Value("level"), Value(7)}}, none},
      {"too many public parameters", "app", true, "level_up", manyPublic, none},
      {"parameters applied over the limit", "app", false, "level_up", manyPublic,
       [](APMEvent& e) {
         e.applyParameters({{Value("zz1"), Value(1)}, {Value("zz2"), Value(2)}}, true);
       }},
      {"screen parameters",
       "auto",
       false,
       "_vs",
       {{Value("_et"), Value(5)}},
       [&](APMEvent& e) {
         e.addScreenParameters(
             {{Value("_si"), Value(7)}, {Value("_sn"), Value(longText.substr(0, 90))}});
       }},
  };
  for (const auto& c : cases) {
    auto event = APMEvent::initWithOrigin(c.origin, c.isPublic, c.name, 100, 0, c.parameters);
    ASSERT_TRUE(event) << c.what;
    if (c.change) c.change(*event);
    for (const double previous : {50.0, 150.0}) {
      clearReports();
      const auto fresh = APMEvent::initWithOrigin(
          event->origin(), false, event->name(), event->timestamp(), previous, event->parameters());
      const auto freshCodes = reportedCodes();
      clearReports();
      const auto copy = event->copyWithPreviousTimestamp(previous);
      ASSERT_TRUE(fresh && copy) << c.what;
      EXPECT_EQ(copy->parameters(), fresh->parameters()) << c.what;
      EXPECT_EQ(reportedCodes(), freshCodes) << c.what << " " << previous;
      EXPECT_EQ(copy->previousTimestamp(), previous);
      EXPECT_EQ(copy->isRealtime(), event->isRealtime()) << c.what;
      // A copy of the copy takes the same road.
      EXPECT_EQ(copy->copyWithPreviousTimestamp(previous)->parameters(), fresh->parameters())
          << c.what;
    }
  }
  // A map changed past the limit after it was made is cut by the copy.
  auto over = APMEvent::initWithOrigin("app", false, "level_up", 100, 0, manyPublic);
  over->applyParameters({{Value("zz1"), Value(1)}}, true);
  ASSERT_TRUE(over->parameters().contains(Value("zz1")));
  const auto cut = over->copyWithPreviousTimestamp(1)->parameters();
  EXPECT_FALSE(cut.contains(Value("zz1")));
  EXPECT_EQ(cut.at(Value("_err")), Value(5));
}

// The Event message is built record by record; its bytes must be those of the same parameters
// set one by one through the message accessors.
// A bundle takes the contents of messages made for it alone and encodes as if it held copies;
// anything a copy would treat differently is left for the copy.
TEST_F(APMEventTest, EventMessagesMovedIntoABundleEncodeAsTheirCopiesWould) {
  namespace B = apmpb_field::MeasurementBundle;
  ValueList items{Value(ValueMap{{Value("item_id"), Value("sku")}, {Value("price"), Value(2.5)}})};
  const auto made = [&](const std::string& name, ValueMap parameters, double previous = 0) {
    const auto event = APMEvent::initWithOrigin("app", false, name, 1.5, previous, parameters);
    return event ? event->protoEvent() : nullptr;
  };
  const auto withMissingElement = [&] {
    auto message = made("level_up", {{Value("level"), Value(3)}});
    ArrayInfo* params = message->messageInfo()->array(apmpb_field::Event::kParams);
    params->messages.push_back(nullptr);
    params->count = static_cast<std::uint32_t>(params->size());
    return message;
  };
  const auto decoded = [&] {
    const auto bytes = made("_e", {{Value("_et"), Value(12)}})->protoBuffer();
    return APMPBEvent::initWithBuffer(*bytes);
  };
  std::shared_ptr<APMPBEvent> keptElsewhere;
  struct Case {
    const char* what;
    std::function<std::vector<std::shared_ptr<APMPBEvent>>()> messages;
    bool moved;
  };
  const Case cases[] = {
      {"scalars, items, a previous time and no parameters",
       [&] {
         return std::vector<std::shared_ptr<APMPBEvent>>{
             made("level_up", {{Value("level"), Value(-7)}, {Value("zone"), Value("north")}}, 1.25),
             made("purchase", {{Value("items"), Value(items)}, {Value("value"), Value(9.75)}}),
             made("_s", {})};
       },
       true},
      {"a decoded message", [&] { return std::vector{decoded()}; }, true},
      {"no messages", [] { return std::vector<std::shared_ptr<APMPBEvent>>{}; }, true},
      {"a message held elsewhere too",
       [&] {
         keptElsewhere = made("level_up", {{Value("level"), Value(1)}});
         return std::vector{made("_s", {}), keptElsewhere};
       },
       false},
      {"a missing message",
       [&] {
         return std::vector{made("_s", {}), std::shared_ptr<APMPBEvent>()};
       },
       false},
      {"a missing parameter element", [&] { return std::vector{withMissingElement()}; }, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    auto messages = c.messages();
    // Both bundles start with an event of their own, which either way is replaced.
    auto moved = APMPBMeasurementBundle::initWithMessageInfo();
    auto copied = APMPBMeasurementBundle::initWithMessageInfo();
    const auto old = made("old", {{Value("x"), Value(1)}});
    for (auto* bundle : {moved.get(), copied.get()}) {
      NANOSetString(bundle, B::kAppId, "com.example");
      const ValueList first{Value(platform::ObjectPtr(old))};
      NANOSetArray(bundle, B::kEvents, &first);
    }
    {
      const auto values = NANOMessageValues(messages);
      NANOSetArray(copied.get(), B::kEvents, &values);
    }
    std::vector<std::optional<platform::Bytes>> before;
    for (const auto& message : messages)
      before.push_back(message ? message->protoBuffer() : std::nullopt);
    const auto bundleBefore = moved->protoBuffer();
    const std::size_t count = messages.size();

    ASSERT_EQ(APMMoveEventMessagesIntoBundle(messages, *moved), c.moved);
    if (c.moved) {
      EXPECT_TRUE(messages.empty());
      EXPECT_EQ(NANOGetArrayCount(moved.get(), B::kEvents), count);
      EXPECT_EQ(moved->protoBuffer(), copied->protoBuffer());
      // What the bundle holds reads back through the accessors as the copies do.
      const auto events = NANOGetArray(moved.get(), B::kEvents, APMPBEvent::classObject());
      const auto copies = NANOGetArray(copied.get(), B::kEvents, APMPBEvent::classObject());
      ASSERT_TRUE(events && copies);
      ASSERT_EQ(events->size(), copies->size());
      for (std::size_t i = 0; i < events->size(); ++i) {
        EXPECT_EQ((*events)[i].asObjectOf<APMPBEvent>()->protoBuffer(),
                  (*copies)[i].asObjectOf<APMPBEvent>()->protoBuffer());
      }
    } else {
      EXPECT_EQ(moved->protoBuffer(), bundleBefore);
      ASSERT_EQ(messages.size(), count);
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(messages[i] ? messages[i]->protoBuffer() : std::nullopt, before[i]);
      }
    }
  }
}

TEST_F(APMEventTest, TheEventMessageHasTheBytesOfItsParametersSetOneByOne) {
  ValueList items;
  for (int i = 0; i < 2; ++i)
    items.emplace_back(ValueMap{{Value("item_id"), Value("sku" + std::to_string(i))},
                                {Value("price"), Value(1.5 + i)},
                                {Value("quantity"), Value(i)}});
  struct Case {
    const char* what;
    std::shared_ptr<APMEvent> event;
    std::vector<std::int64_t> reports;
  };
  const Case cases[] = {
      {"scalars and a previous time",
       APMEvent::initWithOrigin("app", false, "level_up", 1.5, 1.25,
                                {{Value("level"), Value(-7)},
                                 {Value("score"), Value(2.25)},
                                 {Value("zone"), Value("north")},
                                 {Value("empty"), Value("")}}),
       {}},
      {"items",
       APMEvent::initWithOrigin("app", true, "purchase", 3, 0, {{Value("items"), Value(items)}}),
       {}},
      {"no parameters at all", std::make_shared<APMEvent>("app", "level_up", 2, 0, ValueMap{}), {}},
      {"a value of no kind",
       std::make_shared<APMEvent>(
           "app", "level_up", 2, 0,
           ValueMap{{Value("m"), Value::emptyMap()}, {Value("n"), Value(1)}}),
       {16005}},
      {"a list inside an item",
       std::make_shared<APMEvent>(
           "app", "purchase", 2, 0,
           ValueMap{
               {Value("items"), Value(ValueList{Value(ValueMap{{Value("id"), Value("a")},
                                                               {Value("deep"), Value(items)}})})}}),
       {16007}},
  };
  for (const auto& c : cases) {
    ASSERT_TRUE(c.event) << c.what;
    clearReports();
    const auto proto = c.event->protoEvent();
    EXPECT_EQ(reportedCodes(), c.reports) << c.what;

    auto expected = APMPBEvent::initWithMessageInfo();
    NANOSetString(expected.get(), apmpb_field::Event::kName, c.event->name());
    if (c.event->previousTimestamp() > 0) {
      NANOSetInt64(expected.get(), apmpb_field::Event::kPreviousTimestampMillis,
                   APMMillisecondsFromSeconds(c.event->previousTimestamp()));
    }
    NANOSetInt64(expected.get(), apmpb_field::Event::kTimestampMillis,
                 APMMillisecondsFromSeconds(c.event->timestamp()));
    ValueList params;
    for (const auto& [name, value] : c.event->parameters()) {
      if (auto param = APMEventParamFromValue(name.asString(), value))
        params.emplace_back(platform::ObjectPtr(param));
    }
    NANOSetArray(expected.get(), apmpb_field::Event::kParams, &params);
    EXPECT_EQ(proto->protoBuffer(), expected->protoBuffer()) << c.what;
    // A copy of the message (what a bundle holds) encodes the same.
    auto copy = APMPBEvent::initWithMessageInfo(proto->messageInfo());
    EXPECT_EQ(copy->protoBuffer(), expected->protoBuffer()) << c.what;
  }
}

TEST_F(APMEventTest, MillisecondsSaturate) {
  const double inf = std::numeric_limits<double>::infinity();
  EXPECT_EQ(APMMillisecondsFromSeconds(1.9999), 1999);
  EXPECT_EQ(APMMillisecondsFromSeconds(-1.9999), -1999);
  EXPECT_EQ(APMMillisecondsFromSeconds(std::nan("")), 0);
  EXPECT_EQ(APMMillisecondsFromSeconds(inf), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(APMMillisecondsFromSeconds(-1e300), std::numeric_limits<std::int64_t>::min());
}

TEST_F(APMEventTest, ScriptFormRoundTrip) {
  auto event = APMEvent::initWithOrigin(
      "auto", false, "_vs", 4, 0,
      {{Value("n"), Value(1)}, {Value("items"), Value(ValueList{Value(itemWith("a"))})}});
  const APMPEvent edit = event->editEvent();
  EXPECT_EQ(edit.name, "screen_view");
  EXPECT_EQ(edit.parameters, event->parameters());
  auto back = APMEvent::eventFromEditEvent(edit);
  EXPECT_EQ(back->name(), "_vs");
  EXPECT_EQ(back->origin(), "auto");
  EXPECT_EQ(back->parameters(), event->parameters());
  // An edit event without an origin is the app's.
  EXPECT_EQ(APMEvent::eventFromEditEvent(APMPEvent::initWithName("custom", 1, {}))->origin(),
            "app");
}

// A scripted editing runtime: renames every event it handles and queues one created event.
class ScriptedEditing : public APMPEventEditing {
 public:
  void setModuleCreator(ModuleCreator creator, const std::string& name) override {
    modules[name] = std::move(creator);
  }
  void loadProgram(const APMPBProgram&, platform::ErrorPtr*) override {}
  bool handleEvent(const APMPEvent& event, platform::ErrorPtr*) override {
    context_.inputEvent = event;
    context_.outputEvent = event;
    context_.outputEvent.name = "renamed";
    context_.eventsToLog = {
        APMPEvent::initWithName("created", event.timestamp, {{Value("_o"), Value("auto")}})};
    return true;
  }
  bool hasEdits() const override { return true; }
  bool hasCreatedEvents() const override { return !context_.eventsToLog.empty(); }
  const APMPEventContext& eventContext() const override { return context_; }

  std::map<std::string, ModuleCreator> modules;

 private:
  APMPEventContext context_;
};

TEST_F(APMEventTest, EditingRuntimeComesFromTheRegisteredFactory) {
  EXPECT_EQ(APMPEventEditing::init(), nullptr);
  EXPECT_EQ(APMPEventEditing::runtimeVersion(), 0);
  APMPEventEditing::registerFactory([] { return std::make_shared<ScriptedEditing>(); });
  auto first = APMPEventEditing::init();
  auto second = APMPEventEditing::init();
  ASSERT_TRUE(first && second);
  EXPECT_NE(first, second);  // one instance per configuration

  first->setModuleCreator(
      [] {
        return std::make_shared<APMPKeyValueStoreModule>(
            "internal.remoteConfig",
            [](const std::string& key) { return std::optional<platform::Value>(key); });
      },
      "internal.remoteConfig");
  auto module = static_cast<ScriptedEditing&>(*first).modules.at("internal.remoteConfig")();
  auto store = std::dynamic_pointer_cast<APMPKeyValueStoreModule>(module);
  ASSERT_TRUE(store);
  EXPECT_EQ(store->getValueBlock("k"), Value("k"));

  auto event = APMEvent::initWithOrigin("app", false, "level_up", 3, 0, {{Value("a"), Value(1)}});
  first->handleEvent(event->editEvent(), nullptr);
  ASSERT_TRUE(first->hasEdits() && first->hasCreatedEvents());
  auto edited = APMEvent::eventFromEditEvent(first->eventContext().outputEvent);
  EXPECT_EQ(edited->name(), "renamed");
  EXPECT_EQ(edited->parameters(), event->parameters());
  auto created = APMEvent::eventFromEditEvent(first->eventContext().eventsToLog.at(0));
  EXPECT_EQ(created->origin(), "auto");
  APMPEventEditing::registerFactory(nullptr);
  EXPECT_EQ(APMPEventEditing::init(), nullptr);
}

TEST_F(APMEventTest, NameTablePredicates) {
  EXPECT_EQ(*APMInternalEventNames().find("screen_view"), "_vs");
  EXPECT_EQ(*APMInternalEventNames().find("za_campaign"), "_cmp");
  EXPECT_EQ(*APMExternalEventNames().find("_vs"), "screen_view");
  EXPECT_EQ(APMInternalEventNames().size(), 32u);
  EXPECT_EQ(APMInternalParameterNames().size(), 55u);
  EXPECT_EQ(APMInternalUserPropertyNames().size(), 10u);
  EXPECT_STREQ(APMErrorEventCodeName(28), "ItemScopedCustomParameterLimitReached");
  EXPECT_EQ(APMErrorEventCodeName(25), nullptr);
  EXPECT_FALSE(APMEventUtilIsPublicName("_s"));
  EXPECT_TRUE(APMEventUtilIsPublicName("s"));
  EXPECT_FALSE(APMEventUtilIsPublicName(""));
  EXPECT_EQ(reportedCodes(), std::vector<std::int64_t>{18003});

  auto iap = [](Value subscription) {
    return APMEvent::initWithOrigin("auto", false, "_iap", 1, 0,
                                    {{Value("subscription"), subscription}});
  };
  EXPECT_TRUE(APMEventUtilIsSubscriptionEvent(*iap(Value(1))));
  EXPECT_FALSE(APMEventUtilIsSubscriptionEvent(*iap(Value("1"))));
  EXPECT_FALSE(APMEventAllowsDefaultEventParameters("_err"));
  auto nested = APMEvent::initWithOrigin(
      "app", false, "purchase", 1, 0,
      {{Value("items"),
        Value(ValueList{Value(itemWith("a")), Value(itemWith("b")), Value(itemWith("c"))})}});
  EXPECT_EQ(APMEventUtilNestedParamCount(nested.get()), 3);
  EXPECT_EQ(APMEventUtilNestedParamCount(nullptr), 0);
}

TEST_F(APMEventTest, UserAttributesAndRawEvents) {
  auto attribute = APMUserAttribute::initWithOrigin("app", "level", APMValue(2.5), 3.5);
  ASSERT_TRUE(attribute);
  EXPECT_TRUE(attribute->isPublic());
  auto proto = attribute->protoUserAttribute();
  EXPECT_EQ(NANOGetDouble(proto.get(), apmpb_field::UserAttribute::kDoubleValue), 2.5);
  EXPECT_EQ(NANOGetInt64(proto.get(), apmpb_field::UserAttribute::kSetTimestampMillis), 3500);
  EXPECT_EQ(APMUserAttribute::initWithOrigin("app", "bad-name", APMValue(1.0), 0), nullptr);
  EXPECT_EQ(APMUserAttribute::initWithOrigin("app", "_id",
                                             *APMValue::initWithString(std::string(257, 'x')), 0),
            nullptr);

  EXPECT_TRUE(APMRawEventData::initWithRawEvent(APMPBEvent::initWithMessageInfo(), 0, 9));
  clearReports();
  EXPECT_EQ(APMRawEventData::initWithRawEvent(APMPBEvent::initWithMessageInfo(), -1, 9), nullptr);
  EXPECT_EQ(APMRawEventData::initWithRawEvent(nullptr, 1, 9), nullptr);
  EXPECT_EQ(reportedCodes(), (std::vector<std::int64_t>{28001, 28000}));
}

}  // namespace
