#include <gtest/gtest.h>

#include <thread>

#include "platform/core/assertion.h"
#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "plugins/pigeon/pigeon_channel.h"
#include "plugins/pigeon/pigeon_codec.h"

namespace pigeon {
namespace {

using platform::Value;
using platform::ValueList;

enum class Color { Red = 0, Green = 1 };

// A record with a required string, an optional integer and an optional enumeration.
class Tag : public PigeonRecord {
 public:
  Tag(std::string name, std::optional<std::int64_t> weight, std::optional<Color> color)
      : name(std::move(name)), weight(weight), color(color) {}
  ValueList toList() const override {
    return {name, weight ? Value(*weight) : Value(), color ? enumValue(*color) : Value()};
  }
  static std::shared_ptr<Tag> fromList(const ValueList& list) {
    if (list.size() < 3 || !list[0].isString()) return nullptr;
    auto weight = nilOrValue(list[1]);
    if (weight && !weight->isInt()) return nullptr;
    return std::make_shared<Tag>(list[0].asString(),
                                 weight ? std::optional(weight->asInt()) : std::nullopt,
                                 enumFromValue<Color>(list[2]));
  }
  std::string name;
  std::optional<std::int64_t> weight;
  std::optional<Color> color;
};

std::shared_ptr<const flutter::StandardMessageCodec> testCodec() {
  static auto codec =
      PigeonCodecBuilder()
          .addEnum<Color>(129, [](std::int64_t raw) { return raw == 0 || raw == 1; })
          .addRecord<Tag>(130)
          .build();
  return codec;
}

TEST(PigeonChannelNameTest, SuffixIsAppendedOnlyWhenNonEmpty) {
  EXPECT_EQ(channelName("url_launcher_macos", "UrlLauncherApi", "canLaunchUrl"),
            "dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi.canLaunchUrl");
  EXPECT_EQ(channelName("video_player_avfoundation", "VideoPlayerInstanceApi", "play", "7"),
            "dev.flutter.pigeon.video_player_avfoundation.VideoPlayerInstanceApi.play.7");
}

TEST(PigeonCodecTest, RecordsAndEnumerationsUseTheirTypeBytes) {
  auto codec = testCodec();
  Value tag(std::make_shared<Tag>("a", std::nullopt, Color::Green));
  platform::Bytes bytes = codec->encode(tag);
  // 130, then the field list ["a", null, <129, 1>].
  const platform::Bytes expected = {130, 12, 3, 7, 1, 'a', 0, 129, 3, 1, 0, 0, 0};
  EXPECT_EQ(bytes, expected);
  auto decoded = codec->decode(bytes);
  ASSERT_TRUE(decoded.has_value());
  // An absent optional field survives a write and a read unchanged.
  EXPECT_TRUE(deepEquals(*decoded, tag));
  EXPECT_EQ(decoded->asObjectOf<Tag>()->weight, std::nullopt);
}

TEST(PigeonCodecTest, UnknownEnumerationValuesReadAsAbsentAndBadRecordsAreRefused) {
  auto codec = testCodec();
  // Enumeration raw value 5 is not a Color.
  auto outOfRange = codec->decode({129, 3, 5, 0, 0, 0});
  ASSERT_TRUE(outOfRange.has_value());
  EXPECT_TRUE(outOfRange->isNull());
  // A record whose list is too short, or whose required field has another type.
  EXPECT_FALSE(codec->decode({130, 12, 1, 7, 1, 'a'}).has_value());
  EXPECT_FALSE(codec->decode({130, 12, 3, 1, 0, 0}).has_value());
  EXPECT_FALSE(codec->decode({130, 7, 1, 'a'}).has_value());
  // Type bytes the plugin does not define fall through to the standard refusal.
  EXPECT_FALSE(codec->decode({131, 0}).has_value());
}

TEST(PigeonValuesTest, DeepEqualityAndHash) {
  auto tag = [](const char* name) { return Value(std::make_shared<Tag>(name, 1, Color::Red)); };
  struct Case {
    const char* name;
    Value a, b;
    bool equal;
  };
  const Case cases[] = {
      {"two absent values", Value(), Value(), true},
      {"absent and present", Value(), Value(0), false},
      {"records by content", tag("x"), tag("x"), true},
      {"records differing in a field", tag("x"), tag("y"), false},
      {"lists position by position", Value::list({1, tag("x")}), Value::list({1, tag("x")}), true},
      {"lists of other length", Value::list({1}), Value::list({1, 2}), false},
      {"maps by key", Value::map({{"k", tag("x")}}), Value::map({{"k", tag("x")}}), true},
      {"maps with another key", Value::map({{"k", 1}}), Value::map({{"j", 1}}), false},
      {"integer is not a double", Value(1), Value(1.0), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(deepEquals(c.a, c.b), c.equal);
    EXPECT_EQ(deepEquals(c.b, c.a), c.equal);
    if (c.equal) {
      EXPECT_EQ(deepHash(c.a), deepHash(c.b));
    }
  }
}

TEST(PigeonWrapTest, WrapErrorTestsPigeonErrorThenEngineErrorThenAnythingElse) {
  auto wrapThrown = [](auto&& thrower) {
    try {
      thrower();
    } catch (...) {
      return wrapError(std::current_exception());
    }
    return Value();
  };
  EXPECT_EQ(wrapThrown([] { throw PigeonError("c", std::nullopt, Value(1)); }),
            Value::list({"c", Value(), 1}));
  EXPECT_EQ(wrapThrown([] {
              throw flutter::Error{"f", "m", {}};
            }),
            Value::list({"f", "m", Value()}));
  Value other = wrapThrown([] { throw std::invalid_argument("bad input"); });
  ASSERT_EQ(other.size(), 3u);
  EXPECT_EQ(other.asList()[0], Value("bad input"));
  EXPECT_EQ(other.asList()[1], Value("invalid_argument"));
  EXPECT_EQ(other.asList()[2].asString().rfind("Stacktrace: ", 0), 0u);

  EXPECT_EQ(wrapResult(Value(), std::nullopt), Value::list({Value()}));
  EXPECT_EQ(wrapResult(Value(5), flutter::Error{"e", std::nullopt, {}}),
            Value::list({"e", Value(), Value()}));
}

class PigeonHandlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = flutter::Engine::create(flutter::DartProject(std::vector<std::string>{}));
    driver = flutter::InProcessDriver::attach(engine);
  }
  void TearDown() override {
    engine->shutDown();
    platform::MainLoop::instance().drain();
  }
  std::optional<Value> call(const std::string& method, const Value& request) {
    return driver->sendMessage(channelName("test_pkg", "TestApi", method), request, testCodec());
  }
  void setUp(const std::string& method, MethodHandler handler) {
    setUpMethod(engine, testCodec(), channelName("test_pkg", "TestApi", method), method,
                std::move(handler));
  }

  flutter::EnginePtr engine;
  std::shared_ptr<flutter::InProcessDriver> driver;
};

TEST_F(PigeonHandlerTest, RepliesFollowTheConvention) {
  setUp("voidMethod", [](const Arguments&, Responder r) { r.success(); });
  setUp("describe", [](const Arguments& a, Responder r) {
    auto tag = a.record<Tag>(0);
    r.success(tag->name + ":" + std::to_string(a.optionalInteger(1).value_or(-1)));
  });
  setUp("throwing", [](const Arguments&, Responder) -> void { throw std::runtime_error("nope"); });
  setUp("pigeonError",
        [](const Arguments&, Responder) -> void { throw PigeonError("", "empty code", {}); });

  EXPECT_EQ(call("voidMethod", Value()), Value::list({Value()}));
  EXPECT_EQ(
      call("describe", Value::list({Value(std::make_shared<Tag>("t", 2, std::nullopt)), Value()})),
      Value::list({"t:-1"}));
  auto thrown = call("throwing", Value::emptyList());
  ASSERT_TRUE(thrown && thrown->size() == 3);
  EXPECT_EQ(thrown->asList()[0], Value("nope"));
  EXPECT_EQ(thrown->asList()[1], Value("runtime_error"));
  EXPECT_EQ(thrown->asList()[2].asString().rfind("Stacktrace: ", 0), 0u);
  EXPECT_EQ(call("pigeonError", Value::emptyList()), Value::list({"", "empty code", Value()}));
  // The channel stays usable after a failure.
  EXPECT_EQ(call("voidMethod", Value()), Value::list({Value()}));
}

TEST_F(PigeonHandlerTest, MalformedRequestsGetInvalidArguments) {
  int calls = 0;
  setUp("describe", [&](const Arguments& a, Responder r) {
    ++calls;
    r.success(a.record<Tag>(0)->name + a.string(1));
  });
  struct Case {
    const char* name;
    platform::Bytes request;
    const char* mentions;
  };
  auto codec = testCodec();
  const Case cases[] = {
      {"not a list", codec->encode(Value("x")), "list of arguments"},
      {"too short",
       codec->encode(Value::list({Value(std::make_shared<Tag>("t", 1, std::nullopt))})),
       "argument 1 is missing"},
      {"wrong type", codec->encode(Value::list({1, "s"})), "argument 0 must be a record"},
      {"undecodable record", platform::Bytes{12, 2, 130, 12, 0, 7, 0}, "cannot be decoded"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    auto reply = driver->sendAndWait(channelName("test_pkg", "TestApi", "describe"), c.request);
    ASSERT_TRUE(reply.has_value());
    auto decoded = codec->decode(*reply);
    ASSERT_TRUE(decoded && decoded->size() == 3);
    EXPECT_EQ(decoded->asList()[0], Value("invalid-arguments"));
    const std::string& message = decoded->asList()[1].asString();
    EXPECT_NE(message.find("describe"), std::string::npos) << message;
    EXPECT_NE(message.find(c.mentions), std::string::npos) << message;
    EXPECT_TRUE(decoded->asList()[2].isNull());
  }
  EXPECT_EQ(calls, 2);  // the two requests that decoded reached the implementation
}

TEST_F(PigeonHandlerTest, AnswersLaterExactlyOnceAndDetaches) {
  std::optional<Responder> kept;
  setUp("later", [&](const Arguments&, Responder r) { kept = r; });
  std::optional<platform::Bytes> reply;
  driver->send(channelName("test_pkg", "TestApi", "later"), {},
               [&](const platform::Bytes& b) { reply = b; });
  platform::MainLoop::instance().drain();
  ASSERT_TRUE(kept.has_value());
  EXPECT_FALSE(reply.has_value());
  std::thread([&] { kept->success(Value(3)); }).join();
  platform::ScopedAssertionCapture capture;
  kept->success(Value(4));
  EXPECT_EQ(capture.count(), 1u);
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(testCodec()->decode(*reply), Value::list({3}));

  // Without an implementation the channel has no handler: the empty reply.
  setUp("later", nullptr);
  EXPECT_EQ(driver->sendAndWait(channelName("test_pkg", "TestApi", "later"), {}),
            platform::Bytes{});
}

TEST(PigeonJudgeReplyTest, RepliesOfTheApplicationAreJudgedInOrder) {
  const std::string channel = "dev.flutter.pigeon.p.Api.m";
  struct Case {
    const char* name;
    std::optional<Value> reply;
    bool required;
    const char* code;  // null for success
  };
  const Case cases[] = {
      {"no reply", std::nullopt, true, "channel-error"},
      {"not a list", Value(1), false, "channel-error"},
      {"three elements with an empty code", Value::list({"", Value(), Value()}), false, ""},
      {"four elements", Value::list({"c", "m", 1, 2}), false, "c"},
      {"null where required", Value::list({Value()}), true, "null-error"},
      {"null where optional", Value::list({Value()}), false, nullptr},
      {"value", Value::list({5}), true, nullptr},
      {"empty list", Value::emptyList(), false, "invalid-reply"},
      {"two elements", Value::list({1, 2}), false, "invalid-reply"},
      {"error code not a string", Value::list({1, 2, 3}), false, "invalid-reply"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    CallResult result = judgeReply(c.reply, channel, c.required);
    if (!c.code) {
      EXPECT_TRUE(result.isSuccess());
      continue;
    }
    ASSERT_FALSE(result.isSuccess());
    EXPECT_EQ(result.error->code, c.code);
  }
  auto channelError = judgeReply(std::nullopt, channel, false);
  EXPECT_EQ(channelError.error->message,
            "Unable to establish connection on channel: 'dev.flutter.pigeon.p.Api.m'.");
  EXPECT_EQ(channelError.error->details, Value(""));
  auto wrongType =
      judgeReply(Value::list({"s"}), channel, true, [](const Value& v) { return v.isInt(); });
  ASSERT_FALSE(wrongType.isSuccess());
  EXPECT_EQ(wrongType.error->code, "invalid-reply");
}

TEST_F(PigeonHandlerTest, CallsIntoTheApplicationAreJudged) {
  const std::string channel = channelName("test_pkg", "TestFlutterApi", "ask");
  driver->setAnswer(channel, [](const platform::Bytes& message) {
    auto args = testCodec()->decode(message);
    return testCodec()->encode(Value::list({args->asList()[0]}));
  });
  std::optional<CallResult> result;
  callApplication(engine, testCodec(), channel, {Value(std::make_shared<Tag>("q", 1, Color::Red))},
                  true, [&](CallResult r) { result = std::move(r); });
  platform::MainLoop::instance().drain();
  ASSERT_TRUE(result && result->isSuccess());
  EXPECT_EQ(result->value.asObjectOf<Tag>()->name, "q");

  driver->detach();
  result.reset();
  callApplication(engine, testCodec(), channel, {}, false, [&](CallResult r) { result = r; });
  platform::MainLoop::instance().drain();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->error->code, "channel-error");
}

}  // namespace
}  // namespace pigeon

TEST(PigeonArgumentsTest, NullAsZeroReadsNullButStillRefusesMissingAndOtherKinds) {
  using platform::Value;
  pigeon::Arguments args("m",
                         {Value(), Value(true), Value(std::int64_t{7}), Value(2.5), Value("text")});
  EXPECT_FALSE(args.booleanOrFalse(0));
  EXPECT_EQ(args.integerOrZero(0), 0);
  EXPECT_EQ(args.numberOrZero(0), 0.0);
  EXPECT_TRUE(args.booleanOrFalse(1));
  EXPECT_EQ(args.integerOrZero(2), 7);
  EXPECT_EQ(args.numberOrZero(3), 2.5);
  EXPECT_THROW(args.booleanOrFalse(4), pigeon::ArgumentError);
  EXPECT_THROW(args.integerOrZero(3), pigeon::ArgumentError);
  EXPECT_THROW(args.numberOrZero(4), pigeon::ArgumentError);
  try {
    args.booleanOrFalse(5);
    ADD_FAILURE() << "a missing position must be refused";
  } catch (const pigeon::ArgumentError& e) {
    EXPECT_STREQ(e.what(), "m: argument 5 is missing (expected a boolean)");
  }
}
