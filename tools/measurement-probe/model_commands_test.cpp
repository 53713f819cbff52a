// The event model seen through the real probe: events made from JSON, their normalised
// parameters, and their wire bytes read by protoc and read back by the model.
#include <gmock/gmock.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "tools/measurement-probe/probe_test_support.h"

namespace {

using nlohmann::json;
using testing::HasSubstr;
using testing::Not;

class ModelCommandsTest : public probe_testing::ProbeTest {
 protected:
  // The replies of one probe session, one per command.
  std::vector<json> results(const std::vector<json>& commands) {
    std::vector<std::string> lines;
    for (const auto& command : commands)
      lines.push_back(command.dump());
    run_ = run("", lines);
    std::vector<json> out;
    for (const auto& reply : run_.replies()) {
      EXPECT_FALSE(reply.contains("error")) << reply.dump();
      out.push_back(reply["result"]);
    }
    EXPECT_EQ(out.size(), commands.size());
    return out;
  }
  // protoc's text form of base64 Event bytes.
  std::string protocText(const std::string& base64) {
    const auto encoded = scratch_ / "event.b64";
    std::ofstream(encoded) << base64;
    const std::string line = "base64 -d '" + encoded +
                             "' | protoc --decode=devazerirerize.Event -I '" +
                             std::filesystem::path(LUMORA_MESSAGES_PROTO).parent_path().string() +
                             "' '" LUMORA_MESSAGES_PROTO "' > '" + (scratch_ / "event.txt") + "'";
    EXPECT_EQ(std::system(line.c_str()), 0);
    std::ifstream text(scratch_ / "event.txt");
    return std::string(std::istreambuf_iterator<char>(text), {});
  }

  probe_testing::ProbeRun run_;
};

json event(const char* name, bool isPublic, json parameters, double previous = 0) {
  return json{{"op", "event"},
              {"origin", "app"},
              {"public", isPublic},
              {"name", name},
              {"timestamp", 1700000000.25},
              {"previousTimestamp", previous},
              {"parameters", std::move(parameters)}};
}

json numbered(const char* prefix, int count) {
  json parameters = json::object();
  for (int i = 0; i < count; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "%s%03d", prefix, i);
    parameters[name] = i;
  }
  return parameters;
}

json kinded(const char* kind, json value) {
  return json{{"kind", kind}, {"value", value}};
}

TEST_F(ModelCommandsTest, EventsNormaliseTheirParameters) {
  json items = json::array();
  json crowded = numbered("c", 30);
  crowded["item_id"] = "first";
  items.push_back(crowded);
  for (int i = 1; i < 250; ++i)
    items.push_back(json{{"item_id", "sku"}});
  struct Case {
    const char* what;
    json command;
    // Expected parameters other than "_o"; a null entry means "absent".
    json expected;
  };
  const Case cases[] = {
      {"501 code points",
       event("level_up", true, {{"long", std::string(501, 'x')}, {"ok", 1}}),
       {{"long", nullptr},
        {"ok", kinded("int64", 1)},
        {"_err", kinded("int64", 4)},
        {"_ev", kinded("string", "long")},
        {"_el", kinded("int64", 501)}}},
      {"101 public parameters",
       event("level_up", true, numbered("p", 101)),
       {{"p099", kinded("int64", 99)}, {"p100", nullptr}, {"_err", kinded("int64", 5)}}},
      {"250 items",
       event("purchase", true, {{"items", items}}),
       {{"_err", kinded("int64", 17)}, {"_ev", kinded("string", "items")}}},
      {"string as first item",
       event("purchase", true, {{"items", {"x", {{"item_id", "a"}}}}}),
       {{"_err", kinded("int64", 4)}, {"_ev", kinded("string", "items[0]")}}},
      {"reserved parameter prefix",
       event("level_up", true, {{"zevevidi_x", 1}, {"a", true}}),
       {{"a", kinded("int64", 1)},
        {"zevevidi_x", nullptr},
        {"_err", kinded("int64", 14)},
        {"_ev", kinded("string", "zevevidi_x")}}},
      {"conversion without currency",
       event("level_up", false, {{"_c", 1}, {"value", 9.5}}),
       {{"_c", nullptr},
        {"value", nullptr},
        {"_err", kinded("int64", 19)},
        {"_ev", kinded("string", "currency")}}},
      {"public ad impression without currency",
       event("ad_impression", true, {{"value", 3}}),
       {{"value", nullptr}, {"_err", kinded("int64", 19)}, {"_ev", kinded("string", "currency")}}},
      {"screen view", event("screen_view", true, {{"a", "b"}}), {{"a", kinded("string", "b")}}},
  };
  std::vector<json> commands;
  for (const auto& c : cases)
    commands.push_back(c.command);
  const auto replies = results(commands);
  ASSERT_EQ(replies.size(), std::size(cases));
  for (std::size_t i = 0; i < std::size(cases); ++i) {
    const json& made = replies[i]["event"];
    ASSERT_TRUE(made.is_object()) << cases[i].what;
    const json& parameters = made["parameters"];
    EXPECT_EQ(parameters["_o"], kinded("string", "app")) << cases[i].what;
    for (const auto& [name, expected] : cases[i].expected.items()) {
      if (expected.is_null()) {
        EXPECT_FALSE(parameters.contains(name)) << cases[i].what << ": " << name;
      } else {
        EXPECT_EQ(parameters.value(name, json()), expected) << cases[i].what << ": " << name;
      }
    }
    EXPECT_EQ(replies[i]["errorEvents"], json::array()) << cases[i].what;
  }

  // The items: 200 kept, the first with 27 of its 30 custom parameters and its own "_err" 28.
  const json& kept = replies[2]["event"]["parameters"]["items"];
  EXPECT_EQ(kept["kind"], "array");
  ASSERT_EQ(kept["value"].size(), 200u);
  const json& first = kept["value"][0];
  EXPECT_EQ(first.size(), 27u + 2u);  // the custom ones, "item_id" and "_err"
  EXPECT_EQ(first["_err"], kinded("int64", 28));
  EXPECT_TRUE(first.contains("c026"));
  EXPECT_FALSE(first.contains("c027"));
}

TEST_F(ModelCommandsTest, ReservedPublicNamesAreRefused) {
  const auto replies = results({event("session_start", true, json::object()),
                                event("ad_impression", true, json::object()),
                                event("screen_view", true, json::object())});
  EXPECT_TRUE(replies[0]["event"].is_null());
  EXPECT_THAT(run_.reportedCodes(), testing::Contains(13006));
  EXPECT_TRUE(replies[1]["event"].is_object());
  EXPECT_TRUE(replies[2]["event"].is_object());
}

TEST_F(ModelCommandsTest, WireBytesReadByProtocAndReadBack) {
  const json parameters{{"s", "text"},
                        {"d", 2.5},
                        {"items", {{{"item_id", "a"}, {"price", 1.5}}, {{"item_id", "b"}}}}};
  const auto replies = results(
      {event("purchase", true, parameters), event("purchase", true, parameters, 1699999999.5)});
  const std::string bytes = replies[0]["event"]["bytes"];
  const std::string text = protocText(bytes);
  EXPECT_THAT(text, Not(HasSubstr("previous_timestamp_millis")));
  EXPECT_THAT(text, HasSubstr("timestamp_millis: 1700000000250"));
  // "items" holds one unnamed parameter per item, each holding its item in its own tag 6.
  EXPECT_THAT(text, HasSubstr("  name: \"items\"\n"
                              "  param_value {\n"
                              "    param_value {\n"
                              "      name: \"item_id\"\n"
                              "      string_value: \"a\"\n"
                              "    }\n"
                              "    param_value {\n"
                              "      name: \"price\"\n"
                              "      double_value: 1.5\n"
                              "    }\n"
                              "  }\n"
                              "  param_value {\n"
                              "    param_value {\n"
                              "      name: \"item_id\"\n"
                              "      string_value: \"b\"\n"));
  EXPECT_THAT(protocText(replies[1]["event"]["bytes"]),
              HasSubstr("previous_timestamp_millis: 1699999999500"));

  const auto back = results({json{{"op", "decodeEvent"}, {"bytes", bytes}}});
  json expected = replies[0]["event"];
  expected["parameters"].erase("items");
  expected.erase("bytes");
  json decoded = back[0];
  decoded.erase("bytes");
  EXPECT_EQ(decoded, expected);
  EXPECT_THAT(run_.reportedCodes(), testing::Contains(15002));
}

TEST_F(ModelCommandsTest, DebugNamesAndTheErrorEvent) {
  const auto replies = results({
      {{"op", "formatEventName"}, {"name", "_s"}},
      {{"op", "setDebugMode"}, {"enabled", true}},
      {{"op", "formatEventName"}, {"name", "_s"}},
      {{"op", "registerClass"}, {"name", "DIDErizevizo"}},
      {{"op", "formatEventName"}, {"name", "_s"}},
      {{"op", "formatParameters"}, {"parameters", {{"_err", 5}}}},
      {{"op", "errorEvent"}, {"code", 7}, {"value", "prop"}, {"maxLength", 24}, {"subject", "xyz"}},
      {{"op", "parseNumeric"}, {"text", "+.5"}},
      {{"op", "parseNumeric"}, {"text", "1e5"}},
      {{"op", "parseNumeric"}, {"text", std::string(39, '7')}},
  });
  EXPECT_EQ(replies[0], "_s");
  EXPECT_EQ(replies[2], "_s");  // without the analytics interface
  EXPECT_EQ(replies[4], "session_start (_s)");
  EXPECT_THAT(replies[5].get<std::string>(), HasSubstr("ParameterLimitReached (5)"));
  EXPECT_EQ(replies[6], json::parse(R"([{"origin":"auto","name":"_err",
                                        "parameters":{"_err":7,"_ev":"prop","_el":3}}])"));
  EXPECT_EQ(replies[7], json::parse(R"({"numericString":true,"value":"0.5"})"));
  EXPECT_EQ(replies[8], json::parse(R"({"numericString":false,"value":null})"));
  EXPECT_EQ(replies[9]["value"], nullptr);
}

}  // namespace
