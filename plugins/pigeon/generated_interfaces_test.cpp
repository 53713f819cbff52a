// The code generate_interfaces.py writes, exercised through the sample table in testdata/: records
// and enumerations on the wire, typed argument decoding with its refusals, replies of synchronous
// and asynchronous methods, and calls into the application's code.
#include <gtest/gtest.h>

#include <algorithm>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/engine/in_process_driver.h"
#include "plugins/pigeon/testdata/messages.h"

namespace sample {
namespace {

using platform::Value;
using platform::ValueList;

std::shared_ptr<Point> point(std::int64_t x, std::int64_t y,
                             std::optional<std::string> label = std::nullopt,
                             std::optional<Shade> shade = std::nullopt) {
  return Point::makeWithX(x, y, std::move(label), shade);
}

std::shared_ptr<Shape> square() {
  return Shape::makeWithName("square", {point(0, 0, "origin", Shade::dark), point(1, 1)},
                             Shade::light, nullptr, std::nullopt, {0.5, 2.0});
}

Value object(platform::ObjectPtr o) {
  return Value(std::move(o));
}

TEST(GeneratedRecordTest, RecordsTravelUnderTheirTypeBytesAndSurviveARoundTrip) {
  auto codec = SampleCodec::shared();
  // A point with an absent label and shade: 130, then the standard list [3, 4, null, null].
  EXPECT_EQ(codec->encode(object(point(3, 4))),
            (platform::Bytes{130, 12, 4, 3, 3, 0, 0, 0, 3, 4, 0, 0, 0, 0, 0}));
  // An enumeration: its type byte, then the raw value.
  EXPECT_EQ(codec->encode(pigeon::wireValue(Shade::dark)), (platform::Bytes{129, 3, 1, 0, 0, 0}));

  auto decoded = codec->decode(codec->encode(object(square())));
  ASSERT_TRUE(decoded.has_value());
  auto shape = decoded->asObjectOf<Shape>();
  ASSERT_NE(shape, nullptr);
  EXPECT_EQ(*decoded, object(square()));
  ASSERT_EQ(shape->corners.size(), 2u);
  EXPECT_EQ(shape->corners[0]->label, "origin");
  EXPECT_EQ(shape->corners[0]->shade, Shade::dark);
  EXPECT_EQ(shape->corners[1]->label, std::nullopt);
  EXPECT_EQ(shape->outline, nullptr);
  EXPECT_EQ(shape->fill, Shade::light);
  EXPECT_EQ(shape->weights, (std::vector<double>{0.5, 2.0}));
}

TEST(GeneratedRecordTest, FromListRefusesShortListsAndFieldsOfAnotherKind) {
  const ValueList good{1, 2, Value(), Value()};
  EXPECT_NE(Point::fromList(good), nullptr);
  const ValueList bad[] = {
      {1, 2, Value()},                 // short
      {1, "2", Value(), Value()},      // y not an integer
      {Value(), 2, Value(), Value()},  // x required
      {1, 2, 3, Value()},              // label not a string
      {1, 2, Value(), 5},              // shade not an enumeration value
  };
  for (const auto& list : bad) {
    EXPECT_EQ(Point::fromList(list), nullptr) << Value(list).debugString();
  }
  // A corner list with an element that is not a point refuses the whole shape.
  EXPECT_EQ(
      Shape::fromList({"s", Value::list({object(point(0, 0)), 1}), pigeon::wireValue(Shade::light),
                       Value(), Value(), Value(platform::Float64List{})}),
      nullptr);
  EXPECT_EQ(Point::nullableFromList(nullptr), nullptr);
}

// Keys equal by content are one map key, however the records were made; unequal ones stay
// apart, whatever their addresses.
TEST(GeneratedRecordTest, RecordsAndEnumerationValuesAsMapKeysCollapseByContent) {
  platform::ValueMap map;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 20; ++i) {
      map[object(point(i % 5, 0, "p"))] = Value(round);
      map[pigeon::wireValue(i % 2 ? Shade::dark : Shade::light)] = Value(round);
    }
  }
  EXPECT_EQ(map.size(), 5u + 2u);
  EXPECT_EQ(map.count(object(point(3, 0, "p"))), 1u);
  EXPECT_EQ(map.count(object(point(3, 0))), 0u);
  EXPECT_EQ(map.count(pigeon::wireValue(Shade::dark)), 1u);
  // The order agrees with equality: equal records compare equal both ways.
  auto a = object(point(1, 2, "x")), b = object(point(1, 2, "x")), c = object(point(1, 3));
  EXPECT_TRUE((a <=> b) == 0 && (b <=> a) == 0);
  EXPECT_TRUE(((a <=> c) < 0) == ((c <=> a) > 0));
}

class ShapeApi : public ShapeHostApi {
 public:
  std::string describe(const Shape& shape) override {
    ++calls;
    return shape.name + "/" + std::to_string(shape.corners.size());
  }
  std::shared_ptr<Shape> scale(const Shape& shape, double factor,
                               const std::optional<Shade>& shade) override {
    ++calls;
    auto out = std::make_shared<Shape>(shape);
    for (auto& w : out->weights)
      w *= factor;
    if (shade) out->fill = *shade;
    return out;
  }
  std::int64_t count(const std::optional<std::vector<std::shared_ptr<Point>>>& points,
                     const std::optional<std::int64_t>& limit) override {
    ++calls;
    std::int64_t n = points ? static_cast<std::int64_t>(points->size()) : -1;
    return limit ? std::min(n, *limit) : n;
  }
  std::optional<Value> echo(const std::optional<Value>& value, const std::optional<bool>& flag,
                            const std::optional<ValueList>& data) override {
    ++calls;
    if (flag.value_or(false)) return std::nullopt;
    return data ? Value(*data) : value;
  }
  void laterDone(
      std::int64_t delay,
      std::function<void(Shade, const std::optional<pigeon::PigeonError>&)> completion) override {
    ++calls;
    if (delay < 0) {
      completion(Shade::light, pigeon::PigeonError("negative", "no", Value(delay)));
      return;
    }
    pending = [completion] { completion(Shade::dark, std::nullopt); };
  }
  void fail() override {
    ++calls;
    throw pigeon::PigeonError("failed", std::nullopt, Value(7));
  }
  void paint(Shade) override { ++calls; }

  int calls = 0;
  std::function<void()> pending;
};

class GeneratedInterfaceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = flutter::Engine::create(flutter::DartProject(std::vector<std::string>{}));
    driver = flutter::InProcessDriver::attach(engine);
    ShapeHostApiSetup::setUp(engine, api);
  }
  void TearDown() override {
    engine->shutDown();
    platform::MainLoop::instance().drain();
  }
  static std::string channel(const std::string& api, const std::string& method) {
    return "dev.flutter.pigeon.sample_plugin." + api + "." + method;
  }
  Value call(const std::string& method, const Value& request) {
    auto reply =
        driver->sendMessage(channel("ShapeHostApi", method), request, SampleCodec::shared());
    EXPECT_TRUE(reply.has_value()) << method;
    return reply.value_or(Value());
  }

  flutter::EnginePtr engine;
  std::shared_ptr<flutter::InProcessDriver> driver;
  std::shared_ptr<ShapeApi> api = std::make_shared<ShapeApi>();
};

TEST_F(GeneratedInterfaceTest, WellFormedCallsReachTheImplementationAndReplyTheResult) {
  EXPECT_EQ(call("describe", Value::list({object(square())})), Value::list({"square/2"}));
  auto scaled = call("scale", Value::list({object(square()), 2.0, pigeon::wireValue(Shade::dark)}));
  ASSERT_EQ(scaled.size(), 1u);
  auto shape = scaled.asList()[0].asObjectOf<Shape>();
  ASSERT_NE(shape, nullptr);
  EXPECT_EQ(shape->weights, (std::vector<double>{1.0, 4.0}));
  EXPECT_EQ(shape->fill, Shade::dark);
  EXPECT_EQ(call("count", Value::list({Value(), Value()})), Value::list({-1}));
  EXPECT_EQ(
      call("count", Value::list({Value::list({object(point(0, 0)), object(point(1, 1))}), 1})),
      Value::list({1}));
  // Trailing optional arguments may be left out.
  EXPECT_EQ(call("echo", Value::list({"v"})), Value::list({"v"}));
  EXPECT_EQ(call("echo", Value::list({"v", true})), Value::list({Value()}));
  EXPECT_EQ(call("echo", Value::list({Value(), false, Value::list({1})})),
            Value::list({Value::list({1})}));
  EXPECT_EQ(call("fail", Value()), Value::list({"failed", Value(), 7}));
  EXPECT_EQ(call("later", Value::list({-1})), Value::list({"negative", "no", -1}));
}

TEST_F(GeneratedInterfaceTest, AsynchronousMethodsReplyWhenTheirCompletionRuns) {
  std::optional<platform::Bytes> reply;
  driver->send(channel("ShapeHostApi", "later"), SampleCodec::shared()->encode(Value::list({5})),
               [&](const platform::Bytes& bytes) { reply = bytes; });
  platform::MainLoop::instance().drain();
  EXPECT_FALSE(reply.has_value());
  ASSERT_TRUE(api->pending);
  api->pending();
  platform::MainLoop::instance().drain();
  ASSERT_TRUE(reply.has_value());
  EXPECT_EQ(SampleCodec::shared()->decode(*reply), Value::list({pigeon::wireValue(Shade::dark)}));
}

// `bytes` with the one occurrence of `from` replaced by `to`.
platform::Bytes patched(platform::Bytes bytes, const platform::Bytes& from,
                        const platform::Bytes& to) {
  auto at = std::search(bytes.begin(), bytes.end(), from.begin(), from.end());
  EXPECT_NE(at, bytes.end());
  EXPECT_EQ(std::search(at + 1, bytes.end(), from.begin(), from.end()), bytes.end());
  if (at != bytes.end()) std::copy(to.begin(), to.end(), at);
  return bytes;
}

TEST_F(GeneratedInterfaceTest, MalformedRequestsAreRefusedNamingMethodAndPositionAndCallNothing) {
  auto codec = SampleCodec::shared();
  auto encode = [&](const Value& v) { return codec->encode(v); };
  const Value shape = object(square());
  // Shade values on the wire: 129, then the raw value as a standard int32.
  const platform::Bytes dark{129, 3, 1, 0, 0, 0}, unknown{129, 3, 5, 0, 0, 0};
  auto plain = Shape::makeWithName("plain", {point(0, 0)}, Shade::dark, nullptr, std::nullopt, {});
  struct Case {
    const char* method;
    platform::Bytes request;
    const char* mentions;
  };
  const Case cases[] = {
      {"describe", encode(Value::emptyList()), "argument 0 is missing"},
      {"describe", encode(Value::list({Value()})), "argument 0 must be a record, not null"},
      {"describe", encode(Value::list({"square"})), "argument 0 must be a record, not string"},
      {"describe", encode(Value("not a list")), "list of arguments"},
      {"scale", encode(Value::list({shape})), "argument 1 is missing"},
      {"scale", encode(Value::list({shape, 2})), "argument 1 must be a double"},
      {"scale", encode(Value::list({shape, 2.0, 1})), "argument 2 must be an enumeration"},
      {"scale", encode(Value::list({shape, Value(), Value()})), "argument 1 must be a double"},
      {"count", encode(Value::list({Value::list({1})})), "argument 0 must be a list of Point"},
      {"count", encode(Value::list({Value(), 1.5})), "argument 1 must be an integer"},
      {"echo", encode(Value::list({1, "yes"})), "argument 1 must be a boolean"},
      {"echo", encode(Value::list({1, true, Value::map({})})), "argument 2 must be a list"},
      {"later", encode(Value::list({"soon"})), "argument 0 must be an integer"},
      // An unknown raw value reads as no value: refused where a value is required.
      {"paint", patched(encode(Value::list({pigeon::wireValue(Shade::dark)})), dark, unknown),
       "argument 0 must be an enumeration value, not null"},
      {"describe", patched(encode(Value::list({object(plain)})), dark, unknown),
       "cannot be decoded"},
      // Type byte 140 belongs to nothing here.
      {"describe", platform::Bytes{12, 1, 140, 12, 0}, "cannot be decoded"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.mentions);
    auto bytes = driver->sendAndWait(channel("ShapeHostApi", c.method), c.request);
    ASSERT_TRUE(bytes.has_value());
    auto reply = codec->decode(*bytes);
    ASSERT_TRUE(reply && reply->size() == 3) << (reply ? reply->debugString() : "undecodable");
    EXPECT_EQ(reply->asList()[0], Value("invalid-arguments"));
    const std::string& message = reply->asList()[1].asString();
    EXPECT_EQ(message.rfind(std::string(c.method) + ": ", 0), 0u) << message;
    EXPECT_NE(message.find(c.mentions), std::string::npos) << message;
    EXPECT_TRUE(reply->asList()[2].isNull());
  }
  EXPECT_EQ(api->calls, 0);

  // Where the enumeration argument is nullable, the unknown value reads as absent.
  auto bytes = driver->sendAndWait(
      channel("ShapeHostApi", "scale"),
      patched(encode(Value::list({object(plain), 1.0, pigeon::wireValue(Shade::light)})),
              {129, 3, 0, 0, 0, 0}, {129, 3, 9, 0, 0, 0}));
  ASSERT_TRUE(bytes.has_value());
  auto reply = codec->decode(*bytes);
  ASSERT_TRUE(reply && reply->size() == 1) << (reply ? reply->debugString() : "undecodable");
  EXPECT_EQ(reply->asList()[0].asObjectOf<Shape>()->fill, Shade::dark);
  EXPECT_EQ(api->calls, 1);
}

TEST_F(GeneratedInterfaceTest, WithoutAnImplementationTheChannelsAreDetached) {
  ShapeHostApiSetup::setUp(engine, nullptr);
  EXPECT_EQ(driver->sendAndWait(channel("ShapeHostApi", "describe"), {}), platform::Bytes{});
  ShapeHostApiSetup::setUp(engine, api, "7");
  EXPECT_EQ(driver->sendMessage(channel("ShapeHostApi", "describe") + ".7",
                                Value::list({object(square())}), SampleCodec::shared()),
            Value::list({"square/2"}));
}

TEST_F(GeneratedInterfaceTest, CallsIntoTheApplicationSendArgumentListsAndJudgeTheReply) {
  std::vector<Value> received;
  auto answerWith = [&](const std::string& method, Value reply) {
    driver->setAnswer(channel("ShapeFlutterApi", method) + ".s",
                      [&received, reply](const platform::Bytes& message) {
                        received.push_back(*SampleCodec::shared()->decode(message));
                        return SampleCodec::shared()->encode(reply);
                      });
  };
  ShapeFlutterApi flutterApi(engine, "s");
  std::vector<pigeon::CallResult> results;
  auto keep = [&](const pigeon::CallResult& r) { results.push_back(r); };

  answerWith("shapeChanged", Value::list({Value()}));
  flutterApi.shapeChanged(*square(), 3, keep);
  answerWith("pickShade", Value::list({"dark"}));  // not a shade
  flutterApi.pickShade({Shade::light, Shade::dark}, keep);
  answerWith("nameOf", Value::list({Value()}));
  flutterApi.nameOf(nullptr, keep);
  platform::MainLoop::instance().drain();

  ASSERT_EQ(received.size(), 3u);
  EXPECT_EQ(received[0], Value::list({object(square()), 3}));
  EXPECT_EQ(received[1], Value::list({Value::list(
                             {pigeon::wireValue(Shade::light), pigeon::wireValue(Shade::dark)})}));
  EXPECT_EQ(received[2], Value::list({Value()}));
  ASSERT_EQ(results.size(), 3u);
  EXPECT_TRUE(results[0].isSuccess());
  ASSERT_FALSE(results[1].isSuccess());
  EXPECT_EQ(results[1].error->code, "invalid-reply");
  EXPECT_TRUE(results[2].isSuccess());

  // A required result that comes back null is the null error.
  answerWith("pickShade", Value::list({Value()}));
  results.clear();
  flutterApi.pickShade({}, keep);
  platform::MainLoop::instance().drain();
  ASSERT_EQ(results.size(), 1u);
  EXPECT_EQ(results[0].error->code, "null-error");
}

}  // namespace
}  // namespace sample
