#include "platform/engine/channels.h"

#include <atomic>
#include <mutex>

#include "platform/core/assertion.h"
#include "platform/engine/engine_log.h"

namespace flutter {

namespace {

std::string describe(const std::exception_ptr& e) {
  try {
    std::rethrow_exception(e);
  } catch (const std::exception& ex) {
    return ex.what();
  } catch (...) {
    return "unknown exception";
  }
}

// Encodes for a reply; an unencodable value is a programming error of the handler.
bool encodeReply(const std::string& channel, const std::function<platform::Bytes()>& encode,
                 platform::Bytes& out) {
  try {
    out = encode();
    return true;
  } catch (const std::exception& e) {
    platform::assertionFailure(
        __FILE__, __LINE__, "cannot encode the reply on channel \"" + channel + "\": " + e.what());
    return false;
  }
}

}  // namespace

// ---- Basic message channel ------------------------------------------------------------------

BasicMessageChannel::BasicMessageChannel(std::string name, BinaryMessengerPtr messenger,
                                         MessageCodecPtr codec)
    : name_(std::move(name)), messenger_(std::move(messenger)),
      codec_(codec ? std::move(codec) : StandardMessageCodec::sharedInstance()) {}

void BasicMessageChannel::sendMessage(const platform::Value& message, MessageReply callback) const {
  if (!messenger_) return;
  platform::Bytes bytes;
  try {
    bytes = codec_->encode(message);
  } catch (const std::exception& e) {
    platform::assertionFailure(__FILE__, __LINE__,
                               "cannot encode a message on \"" + name_ + "\": " + e.what());
    if (callback) callback(platform::Value());
    return;
  }
  BinaryReply reply;
  if (callback) {
    reply = [callback, codec = codec_, name = name_](const platform::Bytes& data) {
      std::string error;
      auto value = codec->decode(data, &error);
      if (!value) engineLog("undecodable reply on \"" + name + "\": " + error);
      callback(value ? *value : platform::Value());
    };
  }
  messenger_->sendOnChannel(name_, bytes, std::move(reply));
}

void BasicMessageChannel::setMessageHandler(MessageHandler handler) const {
  if (!messenger_) return;
  if (!handler) {
    messenger_->setMessageHandlerOnChannel(name_, nullptr);
    return;
  }
  messenger_->setMessageHandlerOnChannel(
      name_, [handler = std::move(handler), codec = codec_,
              name = name_](const platform::Bytes& message, BinaryReply reply) {
        std::string error;
        auto value = codec->decode(message, &error);
        if (!value) {
          engineLog("undecodable message on \"" + name + "\": " + error);
          reply({});
          return;
        }
        auto replied = std::make_shared<std::atomic<bool>>(false);
        MessageReply valueReply = [reply, codec, name, replied](const platform::Value& v) {
          replied->store(true);
          platform::Bytes bytes;
          if (!encodeReply(
                  name, [&] { return codec->encode(v); }, bytes))
            bytes.clear();
          reply(bytes);
        };
        try {
          handler(*value, valueReply);
        } catch (...) {
          engineLog("handler on \"" + name + "\" threw: " + describe(std::current_exception()));
          if (!replied->load()) reply({});
        }
      });
}

// ---- Method channel -------------------------------------------------------------------------

MethodChannel::MethodChannel(std::string name, BinaryMessengerPtr messenger, MethodCodecPtr codec)
    : name_(std::move(name)), messenger_(std::move(messenger)),
      codec_(codec ? std::move(codec) : StandardMethodCodec::sharedInstance()) {}

void MethodChannel::invokeMethod(const std::string& method, const platform::Value& arguments,
                                 MethodResult callback) const {
  if (!messenger_) return;
  platform::Bytes bytes;
  try {
    bytes = codec_->encodeMethodCall(MethodCall{method, arguments});
  } catch (const std::exception& e) {
    platform::assertionFailure(__FILE__, __LINE__,
                               "cannot encode a call of \"" + method + "\" on \"" + name_ +
                                   "\": " + e.what());
    if (callback) callback(Error{"invalid-arguments", e.what(), {}});
    return;
  }
  BinaryReply reply;
  if (callback) {
    reply = [callback, codec = codec_, name = name_](const platform::Bytes& data) {
      std::string error;
      auto response = codec->decodeEnvelope(data, &error);
      if (!response) {
        engineLog("undecodable result on \"" + name + "\": " + error);
        callback(Error{"invalid-reply", "undecodable result: " + error, {}});
        return;
      }
      callback(std::move(*response));
    };
  }
  messenger_->sendOnChannel(name_, bytes, std::move(reply));
}

namespace {

// The message handler of a method channel: decodes the call and hands it over to `handler`
// (which receives it as an rvalue), answering exactly once whatever the handler does.
template <class Handler>
BinaryMessageHandler methodMessageHandler(Handler handler, MethodCodecPtr codec, std::string name) {
  return [handler = std::move(handler), codec = std::move(codec),
          name = std::move(name)](const platform::Bytes& message, BinaryReply reply) {
    std::string error;
    auto call = codec->decodeMethodCall(message, &error);
    if (!call) {
      reply(codec->encodeErrorEnvelope(
          Error{"invalid-message", "undecodable method call: " + error, {}}));
      return;
    }
    // Kept apart from the call: a handler that takes the call over may have moved it away by
    // the time a failure is logged.
    const std::string method = call->method;
    auto replied = std::make_shared<std::atomic<bool>>(false);
    MethodResult result = [reply, codec, name, replied, method](MethodResponse response) {
      if (replied->exchange(true)) {
        platform::assertionFailure(__FILE__, __LINE__,
                                   "result of \"" + method + "\" on \"" + name + "\" given twice");
        return;
      }
      platform::Bytes bytes;
      switch (response.kind()) {
      case MethodResponse::Kind::NotImplemented:
        break;
      case MethodResponse::Kind::Success:
        if (!encodeReply(
                name, [&] { return codec->encodeSuccessEnvelope(response.value()); }, bytes)) {
          bytes = codec->encodeErrorEnvelope(
              Error{"codec-error", "the result of \"" + method + "\" cannot be encoded", {}});
        }
        break;
      case MethodResponse::Kind::Error:
        if (!encodeReply(
                name, [&] { return codec->encodeErrorEnvelope(response.error()); }, bytes)) {
          bytes = codec->encodeErrorEnvelope(
              Error{response.error().code, response.error().message, {}});
        }
        break;
      }
      reply(bytes);
    };
    try {
      handler(std::move(*call), result);
    } catch (...) {
      std::string what = describe(std::current_exception());
      engineLog("handler of \"" + method + "\" on \"" + name + "\" threw: " + what);
      if (!replied->load()) result(Error{"exception", what, {}});
    }
  };
}

}  // namespace

void MethodChannel::setMethodCallHandler(MethodCallHandler handler) const {
  if (!messenger_) return;
  if (!handler) {
    messenger_->setMessageHandlerOnChannel(name_, nullptr);
    return;
  }
  messenger_->setMessageHandlerOnChannel(
      name_, methodMessageHandler(
                 [handler = std::move(handler)](MethodCall&& call, MethodResult result) {
                   handler(call, std::move(result));
                 },
                 codec_, name_));
}

void MethodChannel::setOwningMethodCallHandler(OwningMethodCallHandler handler) const {
  if (!messenger_) return;
  if (!handler) {
    messenger_->setMessageHandlerOnChannel(name_, nullptr);
    return;
  }
  messenger_->setMessageHandlerOnChannel(name_,
                                         methodMessageHandler(std::move(handler), codec_, name_));
}

// ---- Event channel --------------------------------------------------------------------------

namespace {

// The state of one event channel, shared by its message handler and the sinks it hands out.
struct EventStreamState {
  std::mutex mutex;
  // Bumped by every listen and cancel; a sink only delivers while its generation is current.
  std::uint64_t generation = 0;
  bool active = false;
};

}  // namespace

EventChannel::EventChannel(std::string name, BinaryMessengerPtr messenger, MethodCodecPtr codec)
    : name_(std::move(name)), messenger_(std::move(messenger)),
      codec_(codec ? std::move(codec) : StandardMethodCodec::sharedInstance()) {}

void EventChannel::setStreamHandler(std::shared_ptr<StreamHandler> streamHandler) const {
  if (!messenger_) return;
  if (!streamHandler) {
    messenger_->setMessageHandlerOnChannel(name_, nullptr);
    return;
  }
  auto state = std::make_shared<EventStreamState>();
  // The sink holds the messenger weakly: the messenger owns this handler.
  std::weak_ptr<BinaryMessenger> weakMessenger = messenger_;
  messenger_->setMessageHandlerOnChannel(name_, [streamHandler, state, weakMessenger,
                                                 codec = codec_,
                                                 name = name_](const platform::Bytes& message,
                                                               BinaryReply reply) {
    std::string error;
    auto call = codec->decodeMethodCall(message, &error);
    if (!call) {
      reply(codec->encodeErrorEnvelope(
          Error{"invalid-message", "undecodable method call: " + error, {}}));
      return;
    }
    auto callHandler = [&](auto&& fn) -> std::optional<Error> {
      try {
        return fn();
      } catch (...) {
        std::string what = describe(std::current_exception());
        engineLog("stream handler on \"" + name + "\" threw: " + what);
        return Error{"exception", what, {}};
      }
    };
    if (call->method == "listen") {
      std::uint64_t generation;
      bool wasActive;
      {
        std::lock_guard<std::mutex> guard(state->mutex);
        wasActive = state->active;
        generation = ++state->generation;
        state->active = true;
      }
      if (wasActive) {
        // A second listen replaces the first stream.
        auto e = callHandler([&] { return streamHandler->onCancelWithArguments({}); });
        if (e) engineLog("cancelling the previous stream on \"" + name + "\" failed");
      }
      EventSink sink = [state, generation, weakMessenger, codec, name](StreamEvent event) {
        std::lock_guard<std::mutex> guard(state->mutex);
        // Sent under the lock so events keep their order and none follows a cancel.
        if (state->generation != generation || !state->active) return;
        auto messenger = weakMessenger.lock();
        if (!messenger) return;
        platform::Bytes bytes;
        switch (event.kind()) {
        case StreamEvent::Kind::Event:
          if (!encodeReply(
                  name, [&] { return codec->encodeSuccessEnvelope(event.value()); }, bytes)) {
            return;
          }
          break;
        case StreamEvent::Kind::Error:
          if (!encodeReply(
                  name, [&] { return codec->encodeErrorEnvelope(event.error()); }, bytes)) {
            return;
          }
          break;
        case StreamEvent::Kind::End:
          state->active = false;
          break;
        }
        messenger->sendOnChannel(name, bytes, nullptr);
      };
      auto e =
          callHandler([&] { return streamHandler->onListenWithArguments(call->arguments, sink); });
      if (e) {
        {
          std::lock_guard<std::mutex> guard(state->mutex);
          if (state->generation == generation) state->active = false;
        }
        reply(codec->encodeErrorEnvelope(*e));
      } else {
        reply(codec->encodeSuccessEnvelope(platform::Value()));
      }
      return;
    }
    if (call->method == "cancel") {
      bool wasActive;
      {
        std::lock_guard<std::mutex> guard(state->mutex);
        wasActive = state->active;
        ++state->generation;
        state->active = false;
      }
      if (!wasActive) {
        reply(codec->encodeErrorEnvelope(Error{"error", "No active stream to cancel", {}}));
        return;
      }
      auto e = callHandler([&] { return streamHandler->onCancelWithArguments(call->arguments); });
      reply(e ? codec->encodeErrorEnvelope(*e) : codec->encodeSuccessEnvelope(platform::Value()));
      return;
    }
    reply({});
  });
}

}  // namespace flutter
