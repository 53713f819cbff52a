// Basic message, method and event channels: named conversations with the application's code
// over a BinaryMessenger, each with its codec.
//
// A channel object is a light handle: the messenger holds the installed handler (and whatever
// the handler captures), so the channel may be dropped after setting it up. Handlers run on the
// main loop. Nothing a handler throws leaves it: a method channel answers the call with an error
// envelope (code "exception"), a basic channel with the empty reply, and the failure is logged.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/core/value.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/error.h"
#include "platform/engine/method_codec.h"
#include "platform/engine/standard_codec.h"

namespace flutter {

using BinaryMessengerPtr = std::shared_ptr<BinaryMessenger>;

// ---- Basic message channel ----------------------------------------------------------------

using MessageReply = std::function<void(const platform::Value& reply)>;
using MessageHandler = std::function<void(const platform::Value& message, MessageReply reply)>;

class BasicMessageChannel {
 public:
  BasicMessageChannel(std::string name, BinaryMessengerPtr messenger,
                      MessageCodecPtr codec = StandardMessageCodec::sharedInstance());

  static BasicMessageChannel messageChannelWithName(std::string name, BinaryMessengerPtr messenger,
                                                    MessageCodecPtr codec) {
    return BasicMessageChannel(std::move(name), std::move(messenger), std::move(codec));
  }

  // Sends `message`; `callback` gets the decoded reply (null for the empty reply or a reply
  // that does not decode, which is also logged).
  void sendMessage(const platform::Value& message, MessageReply callback = nullptr) const;
  // Installs the handler; an empty handler detaches. A message that does not decode is answered
  // with the empty reply without calling the handler.
  void setMessageHandler(MessageHandler handler) const;

  const std::string& name() const { return name_; }
  const BinaryMessengerPtr& messenger() const { return messenger_; }
  const MessageCodecPtr& codec() const { return codec_; }

 private:
  std::string name_;
  BinaryMessengerPtr messenger_;
  MessageCodecPtr codec_;
};

// ---- Method channel -----------------------------------------------------------------------

using MethodCallHandler = std::function<void(const MethodCall& call, MethodResult result)>;
// A handler that takes the decoded call over and may move its arguments out: a call that
// carries thousands of values is then neither copied by the handler nor torn down on the main
// loop when the handler keeps it for later work.
using OwningMethodCallHandler = std::function<void(MethodCall&& call, MethodResult result)>;

class MethodChannel {
 public:
  MethodChannel(std::string name, BinaryMessengerPtr messenger,
                MethodCodecPtr codec = StandardMethodCodec::sharedInstance());

  static std::shared_ptr<MethodChannel>
  methodChannelWithName(std::string name, BinaryMessengerPtr messenger,
                        MethodCodecPtr codec = StandardMethodCodec::sharedInstance()) {
    return std::make_shared<MethodChannel>(std::move(name), std::move(messenger), std::move(codec));
  }

  // Calls `method` in the application's code; `callback` gets the result, the error, or
  // MethodNotImplemented (also for no application connected).
  void invokeMethod(const std::string& method, const platform::Value& arguments,
                    MethodResult callback = nullptr) const;
  // Installs the handler; an empty handler detaches. A call that does not decode is answered
  // with an error envelope (code "invalid-message").
  void setMethodCallHandler(MethodCallHandler handler) const;
  // The same, for a handler that takes the decoded call over (replies and errors as above).
  void setOwningMethodCallHandler(OwningMethodCallHandler handler) const;

  const std::string& name() const { return name_; }
  const BinaryMessengerPtr& messenger() const { return messenger_; }
  const MethodCodecPtr& codec() const { return codec_; }

 private:
  std::string name_;
  BinaryMessengerPtr messenger_;
  MethodCodecPtr codec_;
};

// ---- Event channel ------------------------------------------------------------------------

struct EndOfEventStreamTag {
  friend bool operator==(EndOfEventStreamTag, EndOfEventStreamTag) { return true; }
};
// Passing it to an EventSink ends the stream (the application receives the empty message).
inline constexpr EndOfEventStreamTag EndOfEventStream{};

// One item of an event stream: an event value, an error event or the end of the stream.
class StreamEvent {
 public:
  enum class Kind { Event, Error, End };

  template <class T>
  requires std::is_constructible_v<platform::Value, T&&> StreamEvent(T&& value)
      : value_(std::forward<T>(value)) {}
  StreamEvent(Error error) : kind_(Kind::Error), error_(std::move(error)) {}
  StreamEvent(EndOfEventStreamTag) : kind_(Kind::End) {}

  Kind kind() const { return kind_; }
  const platform::Value& value() const { return value_; }
  const Error& error() const { return error_; }

 private:
  Kind kind_ = Kind::Event;
  platform::Value value_;
  Error error_;
};

// Delivers events to the listener of the stream. Callable from any thread; events keep their
// order. After the stream was cancelled (or re-listened) the old sink silently drops events.
using EventSink = std::function<void(StreamEvent event)>;

// Implemented by whoever produces a stream. Runs on the main loop.
class StreamHandler {
 public:
  virtual ~StreamHandler() = default;
  // The application started listening. A returned error is sent as the reply to "listen".
  virtual std::optional<Error> onListenWithArguments(const platform::Value& arguments,
                                                     EventSink events) = 0;
  // The application stopped listening.
  virtual std::optional<Error> onCancelWithArguments(const platform::Value& arguments) = 0;
};

class EventChannel {
 public:
  EventChannel(std::string name, BinaryMessengerPtr messenger,
               MethodCodecPtr codec = StandardMethodCodec::sharedInstance());

  static std::shared_ptr<EventChannel>
  eventChannelWithName(std::string name, BinaryMessengerPtr messenger,
                       MethodCodecPtr codec = StandardMethodCodec::sharedInstance()) {
    return std::make_shared<EventChannel>(std::move(name), std::move(messenger), std::move(codec));
  }

  // Installs the stream handler (held by the messenger's channel handler); null detaches.
  // "listen" while a stream is active cancels it first; "cancel" without a stream answers the
  // error "error" / "No active stream to cancel".
  void setStreamHandler(std::shared_ptr<StreamHandler> handler) const;

  const std::string& name() const { return name_; }

 private:
  std::string name_;
  BinaryMessengerPtr messenger_;
  MethodCodecPtr codec_;
};

}  // namespace flutter
