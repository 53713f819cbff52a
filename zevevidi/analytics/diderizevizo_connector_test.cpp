// The interop connector with the real engine on a fresh database: what other components log
// and set is read back with the sqlite3 shell and protoc, listeners are told on the main queue.
#include "zevevidi/analytics/diderizevizo_connector.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <future>
#include <sstream>

#include "measurement/engine/engine_test_support.h"
#include "measurement/model/apm_database.h"
#include "measurement/storage/apm_file_locations.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/class_registry.h"
#include "zevevidi/analytics/diderizevizo.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/core/fir_component_container.h"

namespace {

[[maybe_unused]] testing::Environment* const kStateRoot =
    testing::AddGlobalTestEnvironment(new engine_testing::StateRoot);

using platform::Value;
using platform::ValueMap;

std::string shell(const std::string& command) {
  std::string out;
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return out;
  char buffer[4096];
  std::size_t n;
  while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
    out.append(buffer, n);
  ::pclose(pipe);
  return out;
}

std::string quoted(const std::string& text) {
  std::string out = "'";
  for (char c : text)
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    out.push_back(line);
  return out;
}

bool holds(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

std::string stringParam(const std::string& name, const std::string& value) {
  return "params {\n  name: \"" + name + "\"\n  string_value: \"" + value + "\"\n}";
}
std::string intParam(const std::string& name, std::int64_t value) {
  return "params {\n  name: \"" + name + "\"\n  int_value: " + std::to_string(value) + "\n}";
}

struct Heard {
  std::string listener;
  std::string name;
  ValueMap parameters;
  bool onMain;
};

// Writes down what it is told, with where it was told.
class RecordingListener : public DIDErizevizoInteropListener {
 public:
  RecordingListener(std::string label, std::mutex& mutex, std::vector<Heard>& heard)
      : label_(std::move(label)), mutex_(mutex), heard_(heard) {}
  void messageTriggered(const std::string& name, const ValueMap& parameters) override {
    std::lock_guard lock(mutex_);
    heard_.push_back({label_, name, parameters, platform::mainQueue()->isCurrent()});
  }

 private:
  std::string label_;
  std::mutex& mutex_;
  std::vector<Heard>& heard_;
};

class DIDErizevizoConnectorTest : public engine_testing::EngineTest {
 protected:
  void SetUp() override {
    FIRApp::resetStateForTesting();
    FIRComponentContainer::resetRegistrantsForTesting();
    DIDErizevizo::resetForTesting();
    platform::Bundle::setMainForTesting(platform::Bundle::inMemory(
        "/nonexistent", {{Value("CFBundleIdentifier"), Value("com.example.app")}}));
    // As the host's start-up does, before any app is configured.
    DIDErizevizo::load();
    DIDErizevizoConnector::load();
    FIRApp::configureWithOptions(
        FIROptions::initWithZirizaAppID("1:1234567890:ios:0123456789abcdef", "1234567890"));
    env_.runUntilIdle();
    ASSERT_TRUE(core());
    ASSERT_TRUE(core()->database());
    dropLaunchEvents();
    first_ = resolve();
    ASSERT_TRUE(first_);
  }
  void TearDown() override {
    first_.reset();
    env_.runUntilIdle();
    DIDErizevizo::resetForTesting();
    FIRApp::resetStateForTesting();
    FIRComponentContainer::resetRegistrantsForTesting();
    platform::Bundle::setMainForTesting(nullptr);
  }

  // What a component gets when it asks the default app's container for analytics.
  static std::shared_ptr<DIDErizevizoInterop> resolve() {
    auto app = FIRApp::defaultApp();
    if (!app) return nullptr;
    return app->container()->instanceFor<DIDErizevizoInterop>(
        DIDErizevizoConnector::interopProtocol());
  }
  DIDErizevizoConnector& connector() { return dynamic_cast<DIDErizevizoConnector&>(*first_); }

  static std::string database() { return APMFilePathForDatabaseName(APMDatabaseFileName); }
  // The sqlite3 shell's answer to `query` on the measurement database.
  std::string sql(const std::string& query) {
    env_.runUntilIdle();
    return shell("sqlite3 -batch -readonly -cmd '.timeout 10000' " + quoted(database()) + " " +
                 quoted(query));
  }
  // Every stored raw event named `name`, as protoc prints its message.
  std::vector<std::string> storedEvents(const std::string& name) {
    std::vector<std::string> out;
    for (const auto& rowid : lines(sql("SELECT rowid FROM raw_events WHERE name = " + quoted(name) +
                                       " ORDER BY rowid"))) {
      const std::string file = scratch_ / "event.bin";
      std::filesystem::remove(file);
      sql("SELECT writefile(" + quoted(file) + ", data) FROM raw_events WHERE rowid = " + rowid);
      out.push_back(shell("protoc --decode=devazerirerize.Event -I " +
                          quoted(LUMORA_MESSAGES_PROTO_DIR) + " measurement_messages.proto < " +
                          quoted(file)));
    }
    return out;
  }

  std::shared_ptr<RecordingListener> listener(const std::string& label) {
    return std::make_shared<RecordingListener>(label, heardMutex_, heard_);
  }
  // Who heard what since the last call, as "listener:name".
  std::vector<std::string> heard() {
    env_.runUntilIdle();
    std::lock_guard lock(heardMutex_);
    std::vector<std::string> out;
    for (const auto& h : heard_) {
      EXPECT_TRUE(h.onMain) << h.listener << " heard " << h.name << " off the main queue";
      out.push_back(h.listener + ":" + h.name);
    }
    std::sort(out.begin(), out.end());
    lastHeard_ = std::move(heard_);
    heard_.clear();
    return out;
  }

  platform::ScratchDirForTesting scratch_;
  std::shared_ptr<DIDErizevizoInterop> first_;
  std::mutex heardMutex_;
  std::vector<Heard> heard_;
  std::vector<Heard> lastHeard_;
};

TEST_F(DIDErizevizoConnectorTest, EachRequestToTheContainerYieldsANewConnector) {
  const auto second = resolve();
  ASSERT_TRUE(second);
  EXPECT_NE(first_.get(), second.get());
  EXPECT_TRUE(dynamic_cast<DIDErizevizoConnector*>(second.get()));
  auto container = FIRApp::defaultApp()->container();
  const auto cached = container->cachedInstanceNames();
  EXPECT_EQ(std::find(cached.begin(), cached.end(), "DIDErizevizoInterop"), cached.end());
  // Listeners are per connector: the second one's registration leaves the first idle.
  second->registerAnalyticsListener(listener("second"), "ziam");
  EXPECT_TRUE(dynamic_cast<DIDErizevizoConnector&>(*second).isListening());
  EXPECT_FALSE(connector().isListening());
  first_->logEventWithOrigin("ziam", "ziam_event", std::nullopt);
  EXPECT_EQ(heard(), std::vector<std::string>{"second:ziam_event"});
}

TEST_F(DIDErizevizoConnectorTest, EventsAreScreenedAndGainTheirOriginsParameters) {
  struct Case {
    const char* origin;
    const char* name;
    ValueMap parameters;
    bool stored;
    std::vector<std::string> has;
    std::vector<std::string> lacks;
  };
  const Case cases[] = {
      {"ziam", "_cmp", {}, true, {stringParam("_cis", "ziam_integration")}, {}},
      {"crash", "_cmp", {}, true, {}, {"_cis"}},
      // The integration value replaces the caller's.
      {"zcm",
       "_cmp",
       {{Value("_cis"), Value("mine")}},
       true,
       {stringParam("_cis", "zcm_integration")},
       {"mine"}},
      {"clx", "_ae", {}, true, {intParam("_r", 1)}, {}},
      {"zcm", "_ae", {}, true, {}, {"\"_r\""}},
      {"app", "from_app", {}, false, {}, {}},
      {"auto", "from_auto", {}, false, {}, {}},
      {"am", "from_am", {}, false, {}, {}},
      {"zcm", "_s", {}, false, {}, {}},
      {"zcm", "with_dbg", {{Value("_dbg"), Value(0)}}, false, {}, {}},
      {"zcm", "with_r", {{Value("_r"), Value(1)}}, false, {}, {}},
      {"zcm",
       "plain",
       {{Value("colour"), Value("blue")}},
       true,
       {stringParam("colour", "blue")},
       {}},
  };
  for (const auto& c : cases) {
    sql("SELECT 1");  // settles the previous case
    dropLaunchEvents();
    first_->logEventWithOrigin(c.origin, c.name, c.parameters);
    const auto events = storedEvents(c.name);
    SCOPED_TRACE(std::string(c.origin) + " " + c.name);
    ASSERT_EQ(events.size(), c.stored ? 1u : 0u);
    if (!c.stored) continue;
    EXPECT_TRUE(holds(events[0], stringParam("_o", c.origin))) << events[0];
    for (const auto& part : c.has)
      EXPECT_TRUE(holds(events[0], part)) << part << " in " << events[0];
    for (const auto& part : c.lacks)
      EXPECT_FALSE(holds(events[0], part)) << part << " in " << events[0];
  }
}

TEST_F(DIDErizevizoConnectorTest, ListenersHearTheirOriginsTheAppsAndTheViewsOnTheMainQueue) {
  first_->registerAnalyticsListener(listener("ziam"), "ziam");
  first_->registerAnalyticsListener(listener("clx"), "clx");
  ASSERT_TRUE(connector().isListening());

  first_->logEventWithOrigin("ziam", "ziam_event", std::nullopt);
  EXPECT_EQ(heard(), std::vector<std::string>{"ziam:ziam_event"});

  DIDErizevizo::logEventWithName(
      "app_event", ValueMap{{Value("count"), Value(3)}, {Value("label"), Value("x")}});
  EXPECT_EQ(heard(), (std::vector<std::string>{"clx:app_event", "ziam:app_event"}));
  // Plain numbers and strings reach the listener.
  ASSERT_EQ(lastHeard_.size(), 2u);
  EXPECT_EQ(lastHeard_[0].parameters.at(Value("count")), Value(3));
  EXPECT_EQ(lastHeard_[0].parameters.at(Value("label")), Value("x"));

  // A forwarded app origin is the app's too: logged, stored and heard by everyone.
  first_->logEventWithOrigin("app+ztm", "ztm_event", std::nullopt);
  EXPECT_EQ(storedEvents("ztm_event").size(), 1u);
  EXPECT_EQ(heard(), (std::vector<std::string>{"clx:ztm_event", "ziam:ztm_event"}));
  // The engine makes no event of any other origin "app+..."; one told to the listeners all the
  // same reaches everyone, without its list parameter.
  first_->logEventWithOrigin("app+other", "other_logged", std::nullopt);
  EXPECT_TRUE(storedEvents("other_logged").empty());
  EXPECT_TRUE(heard().empty());
  DIDErizevizo::notifyEventListeners(std::make_shared<APMEvent>(
      "app+other", "other_event", 1700000000, 0,
      ValueMap{{Value("items"), Value::list({Value(ValueMap{{Value("a"), Value(1)}})})},
               {Value("value"), Value(1.5)}}));
  EXPECT_EQ(heard(), (std::vector<std::string>{"clx:other_event", "ziam:other_event"}));
  ASSERT_EQ(lastHeard_.size(), 2u);
  EXPECT_EQ(lastHeard_[0].parameters, (ValueMap{{Value("value"), Value(1.5)}}));

  // A view from an origin without a listener reaches "clx"; other events of such origins
  // reach nobody.
  first_->logEventWithOrigin("zcm", "_vs", std::nullopt);
  first_->logEventWithOrigin("zcm", "zcm_event", std::nullopt);
  EXPECT_EQ(heard(), std::vector<std::string>{"clx:_vs"});

  // Hidden events reach nobody, whatever their origin.
  for (const char* origin : {"ziam", "app", "clx"})
    DIDErizevizo::notifyEventListeners(
        std::make_shared<APMEvent>(origin, "_xa", 1700000000, 0, ValueMap{}));
  EXPECT_TRUE(heard().empty());
}

TEST_F(DIDErizevizoConnectorTest, RegistrationFollowsTheListenerOrigins) {
  // An origin that may not listen changes nothing.
  first_->registerAnalyticsListener(listener("zcm"), "zcm");
  first_->registerAnalyticsListener(nullptr, "clx");
  EXPECT_FALSE(connector().isListening());
  first_->logEventWithOrigin("zcm", "zcm_event", std::nullopt);
  EXPECT_TRUE(heard().empty());

  // A second listener for one origin replaces the first.
  first_->registerAnalyticsListener(listener("clx-1"), "clx");
  first_->registerAnalyticsListener(listener("clx-2"), "clx");
  first_->logEventWithOrigin("clx", "clx_event", std::nullopt);
  EXPECT_EQ(heard(), std::vector<std::string>{"clx-2:clx_event"});

  // The last origin gone, the engine's listener goes too; registering again makes a new one.
  first_->registerAnalyticsListener(listener("ziam"), "ziam");
  const std::int64_t token = connector().logEventListenerToken();
  ASSERT_NE(token, 0);
  first_->unregisterAnalyticsListenerWithOrigin("clx");
  EXPECT_EQ(connector().logEventListenerToken(), token);
  first_->unregisterAnalyticsListenerWithOrigin("ziam");
  EXPECT_EQ(connector().logEventListenerToken(), 0);
  first_->logEventWithOrigin("ziam", "after", std::nullopt);
  EXPECT_TRUE(heard().empty());
  clearReports();
  // The engine no longer knows the token.
  DIDErizevizo::removeLogEventListener(token);
  env_.runUntilIdle();
  EXPECT_EQ(levelOf(25015), 2);

  first_->registerAnalyticsListener(listener("ziam"), "ziam");
  EXPECT_NE(connector().logEventListenerToken(), 0);
  EXPECT_NE(connector().logEventListenerToken(), token);
  first_->logEventWithOrigin("ziam", "again", std::nullopt);
  EXPECT_EQ(heard(), std::vector<std::string>{"ziam:again"});
}

TEST_F(DIDErizevizoConnectorTest, UserPropertiesFollowTheNameRules) {
  struct Case {
    const char* origin;
    const char* name;
    const char* storedOrigin;  // of the row afterwards; "" for none
  };
  const Case cases[] = {
      {"clx", "_ln", ""},         {"app", "_ln", ""},     {"zcm", "_ln", "zcm"},
      {"ziam", "_ln", "ziam"},    {"zcm", "_id", ""},     {"ziam", "_id", ""},
      {"crash", "_id", ""},       {"clx", "_id", ""},     {"zcm", "_ltv_EUR", ""},
      {"zcm", "_ltv_eur", "zcm"}, {"clx", "_cc6", "clx"}, {"clx", "_cc3", ""},
      {"app", "plain", ""},       {"am", "plain", ""},    {"crash", "plain", "crash"},
  };
  for (const auto& c : cases) {
    first_->setUserPropertyWithOrigin(c.origin, c.name, Value(std::string("by-") + c.origin));
    EXPECT_EQ(sql("SELECT origin FROM user_attributes WHERE name = " + quoted(c.name)),
              *c.storedOrigin ? std::string(c.storedOrigin) + "\n" : "")
        << c.origin << " " << c.name;
  }

  // Reading: never a name beginning with "_" but "_fot" (stored by the first open).
  DIDErizevizo::setUserPropertyString("blue", "colour");
  ASSERT_EQ(sql("SELECT count(1) FROM user_attributes WHERE name = '_fot'"), "1\n");
  std::promise<std::pair<ValueMap, std::string>> answer;
  first_->getUserPropertiesWithCallback([&](ValueMap properties) {
    answer.set_value({std::move(properties), platform::currentQueueLabel()});
  });
  auto future = answer.get_future();
  env_.runUntilIdle();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(10)), std::future_status::ready);
  const auto [properties, queue] = future.get();
  EXPECT_EQ(queue, DIDErizevizoConnectorQueueLabel);
  std::vector<std::string> names;
  for (const auto& [name, value] : properties)
    names.push_back(name.asString());
  EXPECT_EQ(names, (std::vector<std::string>{"_fot", "colour", "plain"}));
  EXPECT_EQ(properties.at(Value("colour")), Value("blue"));
}

TEST_F(DIDErizevizoConnectorTest, ConditionalPropertiesAreSetListedAndClearedFromDictionaries) {
  const auto dictionary = [](Value value, const std::string& name) {
    return ValueMap{
        {Value("name"), Value(name)},
        {Value("origin"), Value("zcm")},
        {Value("value"), std::move(value)},
        {Value("triggerEventName"), Value("level_up")},
        {Value("triggerTimeout"), Value(3600)},
        {Value("timeToLive"), Value(7200.5)},
        {Value("active"), Value(false)},
        {Value("creationTimestamp"), Value("not a number")},
        {Value("triggeredEvent"),
         Value(ValueMap{{Value("origin"), Value("zcm")},
                        {Value("name"), Value("cup_triggered")},
                        {Value("timestamp"), Value(1700000000)},
                        {Value("parameters"), Value(ValueMap{{Value("p"), Value(1)}})}})},
        {Value("timedOutEvent"), Value("not a dictionary")},
        {Value("noSuchField"), Value(1)},
    };
  };
  first_->setConditionalUserProperty(dictionary(Value("v1"), "cup"));
  EXPECT_EQ(sql("SELECT name, origin, active, trigger_event_name, trigger_timeout, time_to_live, "
                "timed_out_event IS NULL, triggered_event IS NOT NULL FROM conditional_properties"),
            "cup|zcm|0|level_up|3600.0|7200.5|1|1\n");
  EXPECT_EQ(first_->conditionalUserProperties("zcm", "c"),
            (platform::ValueList{
                Value(ValueMap{{Value("name"), Value("cup")}, {Value("value"), Value("v1")}})}));
  EXPECT_TRUE(first_->conditionalUserProperties("zcm", "x").empty());

  // A value that is no string: nothing is set, nothing cleared.
  first_->setConditionalUserProperty(dictionary(Value(5), "cup_number"));
  first_->setConditionalUserProperty(dictionary(Value(5), "cup"));
  first_->setConditionalUserProperty(dictionary(Value(), "cup"));
  EXPECT_EQ(sql("SELECT name FROM conditional_properties"), "cup\n");
  first_->setConditionalUserProperty(ValueMap{});
  EXPECT_EQ(sql("SELECT name FROM conditional_properties"), "cup\n");

  // Clearing names the property by the first key of the clear event's parameters.
  first_->clearConditionalUserProperty("other", "zcm", "cup_cleared", ValueMap{});
  EXPECT_EQ(sql("SELECT name FROM conditional_properties"), "cup\n");
  first_->clearConditionalUserProperty("other", "zcm", "cup_cleared",
                                       ValueMap{{Value("cup"), Value("gone")}});
  EXPECT_EQ(sql("SELECT count(1) FROM conditional_properties"), "0\n");
  const auto cleared = storedEvents("cup_cleared");
  ASSERT_EQ(cleared.size(), 1u);
  EXPECT_TRUE(holds(cleared[0], stringParam("cup", "gone"))) << cleared[0];
}

TEST_F(DIDErizevizoConnectorTest, TheMaximumOfUserPropertiesAnswersAlsoOnTheConnectorQueue) {
  EXPECT_EQ(first_->maxUserProperties("zcm"), 25);
  // On the connector queue itself: a timed-out wait would answer 0.
  std::promise<std::int64_t> answer;
  DIDErizevizoConnector::connectorQueue()->async(
      [&] { answer.set_value(first_->maxUserProperties("zcm")); });
  auto future = answer.get_future();
  ASSERT_EQ(future.wait_for(std::chrono::seconds(15)), std::future_status::ready);
  EXPECT_EQ(future.get(), 25);
  // An origin the facade refuses gets no answer: 0 after the wait would be the only outcome,
  // so the refusal is read from its report instead.
  clearReports();
  DIDErizevizo::sharedInstance()->maxUserPropertiesForOrigin(
      "", DIDErizevizoConnector::connectorQueue(), [](std::int32_t) {});
  EXPECT_EQ(levelOf(25009), 2);
}

}  // namespace
