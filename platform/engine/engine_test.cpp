#include "platform/engine/engine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/core/assertion.h"
#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/queue.h"
#include "platform/dispatch/test_environment.h"
#include "platform/engine/channels.h"
#include "platform/engine/in_process_driver.h"

namespace flutter {
namespace {

using platform::Bytes;
using platform::MainLoop;
using platform::Value;

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    engine = Engine::create(DartProject(std::vector<std::string>{}));
    driver = InProcessDriver::attach(engine);
  }
  void TearDown() override {
    engine->shutDown();
    MainLoop::instance().drain();
  }

  EnginePtr engine;
  std::shared_ptr<InProcessDriver> driver;
};

TEST_F(EngineTest, ChannelWithoutHandlerGetsTheEmptyReply) {
  auto reply = driver->sendAndWait("nobody.listens", Bytes{1, 2, 3});
  ASSERT_TRUE(reply.has_value());
  EXPECT_TRUE(reply->empty());
}

TEST_F(EngineTest, HandlersRunOnTheMainThreadWhateverThreadSent) {
  std::atomic<int> onMain{0}, calls{0};
  BasicMessageChannel channel("echo", engine);
  channel.setMessageHandler([&](const Value& message, MessageReply reply) {
    ++calls;
    if (MainLoop::isMainThread()) ++onMain;
    reply(message);
  });
  std::atomic<int> replies{0};
  std::thread sender([&] {
    for (int i = 0; i < 5; ++i) {
      engine->dispatchFromApplication("echo", StandardMessageCodec::sharedInstance()->encode(i),
                                      [&](const Bytes&) { ++replies; });
    }
  });
  sender.join();
  auto last = driver->sendMessage("echo", Value("last"));
  ASSERT_TRUE(last.has_value());
  EXPECT_EQ(*last, Value("last"));
  EXPECT_EQ(calls.load(), 6);
  EXPECT_EQ(onMain.load(), 6);
  EXPECT_EQ(replies.load(), 5);
}

TEST_F(EngineTest, ReplyIsDeliveredExactlyOnce) {
  engine->setMessageHandlerOnChannel("twice", [](const Bytes&, BinaryReply reply) {
    reply(Bytes{1});
    reply(Bytes{2});
  });
  engine->setMessageHandlerOnChannel("never", [](const Bytes&, BinaryReply) {});
  int replies = 0;
  Bytes first;
  platform::ScopedAssertionCapture capture;
  driver->send("twice", {}, [&](const Bytes& r) {
    ++replies;
    first = r;
  });
  auto dropped = driver->sendAndWait("never", {});
  MainLoop::instance().drain();
  EXPECT_EQ(replies, 1);
  EXPECT_EQ(first, Bytes{1});
  EXPECT_EQ(capture.count(), 1u);
  // A handler that drops its reply still answers the sender, with the empty reply.
  ASSERT_TRUE(dropped.has_value());
  EXPECT_TRUE(dropped->empty());
}

TEST_F(EngineTest, ReplyMayComeLaterFromAnotherQueue) {
  auto worker = platform::makeSerialQueue("engine.test.worker");
  MethodChannel channel("later", engine);
  std::atomic<bool> repliedOnMain{true};
  channel.setMethodCallHandler([&](const MethodCall& call, MethodResult result) {
    worker->async([call, result, &repliedOnMain] {
      repliedOnMain = MainLoop::isMainThread();
      result(Value::list({call.method, call.arguments}));
    });
  });
  auto response = driver->invokeMethod("later", "work", Value(7));
  ASSERT_TRUE(response.has_value());
  EXPECT_EQ(*response, MethodResponse(Value::list({"work", 7})));
  EXPECT_FALSE(repliedOnMain.load());
}

TEST_F(EngineTest, ThrowingHandlersAnswerAndKeepTheChannelUsable) {
  bool fail = true;
  BasicMessageChannel basic("basic", engine);
  basic.setMessageHandler([&](const Value&, MessageReply reply) {
    if (fail) throw std::runtime_error("boom");
    reply(Value("fine"));
  });
  MethodChannel method("method", engine);
  method.setMethodCallHandler([&](const MethodCall&, MethodResult result) {
    if (fail) throw std::runtime_error("boom");
    result(Value("fine"));
  });

  auto basicReply = driver->sendAndWait("basic", StandardMessageCodec::sharedInstance()->encode(1));
  ASSERT_TRUE(basicReply.has_value());
  EXPECT_TRUE(basicReply->empty());
  auto methodReply = driver->invokeMethod("method", "m");
  ASSERT_TRUE(methodReply.has_value());
  ASSERT_TRUE(methodReply->isError());
  EXPECT_EQ(methodReply->error().code, "exception");
  EXPECT_EQ(methodReply->error().message, "boom");

  fail = false;
  EXPECT_EQ(driver->sendMessage("basic", 1), Value("fine"));
  EXPECT_EQ(driver->invokeMethod("method", "m"), MethodResponse(Value("fine")));
}

TEST_F(EngineTest, MethodChannelAnswersNotImplementedAndUndecodableCalls) {
  MethodChannel channel("calls", engine);
  channel.setMethodCallHandler([](const MethodCall& call, MethodResult result) {
    if (call.method == "known") return result(Value(true));
    result(MethodNotImplemented);
  });
  auto notImplemented = driver->sendAndWait(
      "calls", StandardMethodCodec::sharedInstance()->encodeMethodCall({"unknown", {}}));
  ASSERT_TRUE(notImplemented.has_value());
  EXPECT_TRUE(notImplemented->empty());
  auto garbage = driver->sendAndWait("calls", Bytes{0x05});
  ASSERT_TRUE(garbage.has_value());
  auto envelope = StandardMethodCodec::sharedInstance()->decodeEnvelope(*garbage);
  ASSERT_TRUE(envelope && envelope->isError());
  EXPECT_EQ(envelope->error().code, "invalid-message");
  EXPECT_EQ(driver->invokeMethod("calls", "known"), MethodResponse(Value(true)));
}

// A handler that takes the call over sees exactly what was sent, may move it away before it
// fails, and is still answered once: with its result, or with the error of what it threw.
TEST_F(EngineTest, OwningHandlersTakeTheCallAndAnswerLikeOthers) {
  MethodChannel channel("owning", engine);
  Value kept;
  int calls = 0;
  channel.setOwningMethodCallHandler([&](MethodCall&& call, MethodResult result) {
    ++calls;
    MethodCall taken = std::move(call);
    kept = std::move(taken.arguments);
    if (taken.method == "throw") throw std::runtime_error("taken then failed");
    if (taken.method == "twice") result(Value(1));
    result(Value(taken.method));
  });
  const Value big =
      Value::list({Value::map({{"sql", "INSERT"}, {"arguments", Value::list({1, 2.5})}}),
                   Value::map({{"sql", "SELECT"}}), Value()});
  EXPECT_EQ(driver->invokeMethod("owning", "batch", big), MethodResponse(Value("batch")));
  EXPECT_EQ(kept, big);

  auto thrown = driver->invokeMethod("owning", "throw", Value(3));
  ASSERT_TRUE(thrown && thrown->isError());
  EXPECT_EQ(thrown->error().code, "exception");
  EXPECT_EQ(thrown->error().message, "taken then failed");
  EXPECT_EQ(kept, Value(3));

  platform::ScopedAssertionCapture capture;
  EXPECT_EQ(driver->invokeMethod("owning", "twice"), MethodResponse(Value(1)));
  MainLoop::instance().drain();
  EXPECT_EQ(capture.count(), 1u);
  EXPECT_EQ(calls, 3);

  // Undecodable calls never reach it; detaching leaves the channel unanswered.
  auto garbage = driver->sendAndWait("owning", Bytes{0x07, 0x01});
  ASSERT_TRUE(garbage.has_value());
  auto envelope = StandardMethodCodec::sharedInstance()->decodeEnvelope(*garbage);
  ASSERT_TRUE(envelope && envelope->isError());
  EXPECT_EQ(envelope->error().code, "invalid-message");
  EXPECT_EQ(calls, 3);
  channel.setOwningMethodCallHandler(nullptr);
  EXPECT_EQ(driver->sendAndWait("owning", {}), Bytes{});
}

TEST_F(EngineTest, DetachingAHandlerLeavesTheChannelUnanswered) {
  BasicMessageChannel channel("detach", engine);
  channel.setMessageHandler([](const Value&, MessageReply reply) { reply(Value(1)); });
  EXPECT_EQ(driver->sendMessage("detach", Value()), Value(1));
  channel.setMessageHandler(nullptr);
  EXPECT_EQ(driver->sendAndWait("detach", {}), Bytes{});
}

TEST_F(EngineTest, HostToApplicationMessagesGetScriptedOrEmptyReplies) {
  driver->setAnswer("app.answers", [](const Bytes& message) {
    Bytes reply = message;
    reply.push_back(9);
    return reply;
  });
  std::vector<Bytes> replies;
  auto record = [&](const Bytes& r) {
    EXPECT_TRUE(MainLoop::isMainThread());
    replies.push_back(r);
  };
  engine->sendOnChannel("app.answers", Bytes{1}, record);
  engine->sendOnChannel("app.silent", Bytes{2}, record);
  MainLoop::instance().drain();
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(replies[0], (Bytes{1, 9}));
  EXPECT_TRUE(replies[1].empty());
  ASSERT_EQ(driver->received().size(), 2u);
  EXPECT_EQ(driver->received()[1].channel, "app.silent");

  // With no application attached the reply is empty, and still arrives.
  driver->detach();
  replies.clear();
  engine->sendOnChannel("app.answers", Bytes{1}, record);
  MainLoop::instance().drain();
  ASSERT_EQ(replies.size(), 1u);
  EXPECT_TRUE(replies[0].empty());
}

// Emits events when told; records listen/cancel arguments.
class TestStream : public StreamHandler {
 public:
  std::optional<Error> onListenWithArguments(const Value& arguments, EventSink events) override {
    listenArguments = arguments;
    if (arguments == Value("refuse")) return Error{"refused", "not now", {}};
    sink = std::move(events);
    return std::nullopt;
  }
  std::optional<Error> onCancelWithArguments(const Value&) override {
    ++cancels;
    return std::nullopt;
  }
  EventSink sink;
  Value listenArguments;
  int cancels = 0;
};

TEST_F(EngineTest, EventChannelDeliversEventsUntilCancel) {
  auto stream = std::make_shared<TestStream>();
  EventChannel("events", engine).setStreamHandler(stream);

  EXPECT_EQ(driver->listen("events", Value("args")), MethodResponse(Value()));
  EXPECT_EQ(stream->listenArguments, Value("args"));
  stream->sink(Value(1));
  stream->sink(Error{"bad", "frame", Value(2)});
  // Events may come from any thread and keep their order.
  std::thread([sink = stream->sink] { sink(Value(3)); }).join();
  auto staleSink = stream->sink;
  EXPECT_EQ(driver->cancel("events"), MethodResponse(Value()));
  EXPECT_EQ(stream->cancels, 1);
  staleSink(Value(4));
  MainLoop::instance().drain();

  auto events = driver->events("events");
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].value(), Value(1));
  EXPECT_EQ(events[1].kind(), StreamEvent::Kind::Error);
  EXPECT_EQ(events[1].error(), (Error{"bad", "frame", Value(2)}));
  EXPECT_EQ(events[2].value(), Value(3));
}

TEST_F(EngineTest, EventChannelProtocolEdges) {
  auto stream = std::make_shared<TestStream>();
  EventChannel("edges", engine).setStreamHandler(stream);

  auto noStream = driver->cancel("edges");
  ASSERT_TRUE(noStream && noStream->isError());
  EXPECT_EQ(noStream->error().message, "No active stream to cancel");

  auto refused = driver->listen("edges", Value("refuse"));
  ASSERT_TRUE(refused && refused->isError());
  EXPECT_EQ(refused->error().code, "refused");

  // Listening again replaces the stream: the old sink goes quiet.
  driver->listen("edges");
  auto firstSink = stream->sink;
  driver->listen("edges");
  EXPECT_EQ(stream->cancels, 1);
  firstSink(Value("old"));
  stream->sink(Value("new"));
  stream->sink(EndOfEventStream);
  stream->sink(Value("after end"));
  MainLoop::instance().drain();
  auto events = driver->events("edges");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].value(), Value("new"));
  EXPECT_EQ(events[1].kind(), StreamEvent::Kind::End);
}

class KeyedObject : public platform::Object {};

class EchoPlugin : public Plugin {
 public:
  void handleMethodCall(const MethodCall& call, MethodResult result) override {
    result(Value(call.method));
  }
};

// Takes the decoded call over, as a plugin with large arguments does.
class TakingPlugin : public Plugin {
 public:
  void handleMethodCall(const MethodCall& call, MethodResult result) override {
    result(Value::list({"copied", call.method}));
  }
  void handleMethodCallTakingCall(MethodCall&& call, MethodResult result) override {
    MethodCall taken = std::move(call);
    result(Value::list({"taken", taken.method, std::move(taken.arguments)}));
  }
};

TEST_F(EngineTest, DelegatesThatTakeTheCallGetItFromTheChannel) {
  auto registrar = engine->registrarForPlugin("TakingPlugin");
  auto channel = MethodChannel::methodChannelWithName("taking_plugin", registrar->messenger());
  registrar->addMethodCallDelegate(std::make_shared<TakingPlugin>(), channel);
  EXPECT_EQ(driver->invokeMethod("taking_plugin", "m", Value::list({1, "x"})),
            MethodResponse(Value::list({"taken", "m", Value::list({1, "x"})})));
}

TEST_F(EngineTest, RegistrarsPublishAndRouteDelegates) {
  auto registrar = engine->registrarForPlugin("EchoPlugin");
  ASSERT_TRUE(registrar);
  EXPECT_EQ(registrar->messenger(), engine);
  auto channel = MethodChannel::methodChannelWithName("echo_plugin", registrar->messenger());
  registrar->addMethodCallDelegate(std::make_shared<EchoPlugin>(), channel);
  EXPECT_EQ(driver->invokeMethod("echo_plugin", "ping"), MethodResponse(Value("ping")));

  auto published = std::make_shared<KeyedObject>();
  registrar->publish(published);
  EXPECT_EQ(engine->valuePublishedByPlugin("EchoPlugin"), published);
  EXPECT_EQ(engine->valuePublishedByPlugin("Other"), nullptr);

  platform::ScopedAssertionCapture capture;
  EXPECT_EQ(engine->registrarForPlugin("EchoPlugin"), registrar);
  EXPECT_EQ(capture.count(), 1u);

  EXPECT_EQ(registrar->lookupKeyForAsset("img/a.png"), "flutter_assets/img/a.png");
  EXPECT_EQ(registrar->lookupKeyForAsset("a.png", "pkg"), "flutter_assets/packages/pkg/a.png");
}

TEST_F(EngineTest, RegistryCallsOffTheMainThreadAreReported) {
  auto registrar = engine->registrarForPlugin("EchoPlugin");
  auto channel = MethodChannel::methodChannelWithName("echo_plugin", registrar->messenger());
  platform::ScopedAssertionCapture capture;
  std::thread([&] {
    registrar->addMethodCallDelegate(std::make_shared<EchoPlugin>(), channel);
    registrar->publish(std::make_shared<KeyedObject>());
    engine->valuePublishedByPlugin("EchoPlugin");
    engine->registrarForPlugin("Late");
  }).join();
  ASSERT_EQ(capture.count(), 4u);
  for (const auto& failure : capture.failures()) {
    EXPECT_NE(failure.message.find("the main thread"), std::string::npos) << failure.message;
  }
  // The calls still took effect, as before the check.
  EXPECT_EQ(driver->invokeMethod("echo_plugin", "ping"), MethodResponse(Value("ping")));
  EXPECT_NE(engine->valuePublishedByPlugin("EchoPlugin"), nullptr);
}

class Frame : public platform::Object {
 public:
  explicit Frame(int n) : n(n) {}
  int n;
};

class CountingTexture : public Texture {
 public:
  PixelBufferPtr copyPixelBuffer() override {
    if (MainLoop::isMainThread()) pulledOnMain = true;
    int n = ++pulls;
    return n == 1 ? nullptr : std::make_shared<Frame>(n);
  }
  void onTextureUnregistered(Texture& texture) override {
    unregisteredAfterPulls = pulls.load();
    sameTexture = &texture == this;
  }
  std::atomic<int> pulls{0};
  std::atomic<bool> pulledOnMain{false};
  std::atomic<int> unregisteredAfterPulls{-1};
  std::atomic<bool> sameTexture{false};
};

TEST_F(EngineTest, TexturesArePulledOffTheMainThreadUntilUnregistered) {
  platform::TestEnvironment env;
  auto textures = engine->textures();
  auto texture = std::make_shared<CountingTexture>();
  std::int64_t id = textures->registerTexture(texture);
  std::int64_t other = textures->registerTexture(std::make_shared<CountingTexture>());
  EXPECT_NE(id, other);

  textures->textureFrameAvailable(id);
  env.runUntilIdle();
  // No frame yet: the pull happened but nothing is kept.
  EXPECT_EQ(engine->framesPulledFromTexture(id), 1);
  EXPECT_EQ(engine->latestFrameOfTexture(id), nullptr);
  textures->textureFrameAvailable(id);
  env.runUntilIdle();
  auto frame = std::dynamic_pointer_cast<Frame>(engine->latestFrameOfTexture(id));
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->n, 2);
  EXPECT_FALSE(texture->pulledOnMain.load());

  textures->textureFrameAvailable(id);
  textures->unregisterTexture(id);
  textures->textureFrameAvailable(id);
  env.runUntilIdle();
  EXPECT_TRUE(texture->sameTexture.load());
  EXPECT_EQ(texture->unregisteredAfterPulls.load(), texture->pulls.load());
  EXPECT_LE(texture->pulls.load(), 3);
  textures->textureFrameAvailable(12345);  // unknown: ignored
  env.runUntilIdle();
}

class ParamsView : public platform::View {
 public:
  explicit ParamsView(Value params) : params(std::move(params)) {}
  Value params;
};

class ParamsFactory : public PlatformViewFactory {
 public:
  platform::ViewPtr createWithViewIdentifier(std::int64_t, const Value& arguments) override {
    return std::make_shared<ParamsView>(arguments);
  }
  MessageCodecPtr createArgsCodec() const override {
    return StandardMessageCodec::sharedInstance();
  }
};

TEST_F(EngineTest, PlatformViewsAreCreatedWithDecodedParameters) {
  engine->registerViewFactory(std::make_shared<ParamsFactory>(), "test/view");
  auto params = StandardMessageCodec::sharedInstance()->encode(Value::list({42}));
  auto created = driver->invokeMethod(
      "flutter/platform_views", "create",
      Value::map({{"id", 3}, {"viewType", "test/view"}, {"params", Value(params)}}));
  EXPECT_EQ(created, MethodResponse(Value()));
  auto view = std::dynamic_pointer_cast<ParamsView>(engine->platformViewWithId(3));
  ASSERT_TRUE(view);
  EXPECT_EQ(view->params, Value::list({42}));

  struct Case {
    const char* name;
    Value arguments;
    const char* code;
  };
  const Case failures[] = {
      {"unknown view type", Value::map({{"id", 4}, {"viewType", "nope"}}),
       "unregistered_view_type"},
      {"id in use", Value::map({{"id", 3}, {"viewType", "test/view"}}), "recreating_view"},
      {"missing id", Value::map({{"viewType", "test/view"}}), "invalid-arguments"},
      {"undecodable params",
       Value::map({{"id", 5}, {"viewType", "test/view"}, {"params", Value(Bytes{0x05})}}),
       "invalid-arguments"},
  };
  for (const auto& f : failures) {
    SCOPED_TRACE(f.name);
    auto response = driver->invokeMethod("flutter/platform_views", "create", f.arguments);
    ASSERT_TRUE(response && response->isError());
    EXPECT_EQ(response->error().code, f.code);
  }
  EXPECT_EQ(driver->invokeMethod("flutter/platform_views", "dispose", Value(3)),
            MethodResponse(Value()));
  EXPECT_EQ(engine->platformViewWithId(3), nullptr);
}

}  // namespace
}  // namespace flutter
