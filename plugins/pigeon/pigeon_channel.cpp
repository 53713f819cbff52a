#include "plugins/pigeon/pigeon_channel.h"

#include <atomic>

#include "platform/core/assertion.h"
#include "platform/log/log.h"
#include "plugins/pigeon/pigeon_codec.h"

namespace pigeon {

namespace {

const platform::Value& nullValue() {
  static const platform::Value v;
  return v;
}

platform::Value invalidArguments(const std::string& message) {
  return platform::Value::list({"invalid-arguments", message, platform::Value()});
}

}  // namespace

std::string channelName(std::string_view package, std::string_view api, std::string_view method,
                        std::string_view suffix) {
  std::string name = "dev.flutter.pigeon.";
  name.append(package).append(".").append(api).append(".").append(method);
  if (!suffix.empty()) name.append(".").append(suffix);
  return name;
}

// ---- Arguments ------------------------------------------------------------------------------

const platform::Value& Arguments::at(std::size_t i) const {
  return i < list_.size() ? list_[i] : nullValue();
}

std::string Arguments::describe(std::size_t i, const std::string& expected) const {
  if (i >= list_.size()) {
    return method_ + ": argument " + std::to_string(i) + " is missing (expected " + expected + ")";
  }
  return method_ + ": argument " + std::to_string(i) + " must be " + expected + ", not " +
         platform::valueKindName(list_[i].kind());
}

std::string Arguments::describeList(std::size_t i, const char* elements, bool nullable) const {
  std::string expected = std::string("a list of ") + elements + (nullable ? " or null" : "");
  if (!at(i).isList()) return describe(i, expected);
  return method_ + ": argument " + std::to_string(i) + " must be " + expected +
         "; an element is of another kind";
}

std::string Arguments::string(std::size_t i) const {
  return required<std::string>(i, "a string");
}
bool Arguments::boolean(std::size_t i) const {
  return required<bool>(i, "a boolean");
}
platform::Bytes Arguments::bytes(std::size_t i) const {
  return required<platform::Bytes>(i, "bytes");
}
std::int64_t Arguments::integer(std::size_t i) const {
  return required<std::int64_t>(i, "an integer");
}
double Arguments::number(std::size_t i) const {
  return required<double>(i, "a double");
}
bool Arguments::booleanOrFalse(std::size_t i) const {
  if (i < list_.size() && list_[i].isNull()) return false;
  return boolean(i);
}
std::int64_t Arguments::integerOrZero(std::size_t i) const {
  if (i < list_.size() && list_[i].isNull()) return 0;
  return integer(i);
}
double Arguments::numberOrZero(std::size_t i) const {
  if (i < list_.size() && list_[i].isNull()) return 0.0;
  return number(i);
}
platform::ValueList Arguments::list(std::size_t i) const {
  return required<platform::ValueList>(i, "a list");
}
platform::ValueMap Arguments::map(std::size_t i) const {
  return required<platform::ValueMap>(i, "a map");
}
platform::Value Arguments::value(std::size_t i) const {
  return required<platform::Value>(i, "a value");
}

std::optional<std::string> Arguments::optionalString(std::size_t i) const {
  return optionalOf<std::string>(i, &Arguments::string);
}
std::optional<platform::Bytes> Arguments::optionalBytes(std::size_t i) const {
  return optionalOf<platform::Bytes>(i, &Arguments::bytes);
}
std::optional<bool> Arguments::optionalBoolean(std::size_t i) const {
  return optionalOf<bool>(i, &Arguments::boolean);
}
std::optional<std::int64_t> Arguments::optionalInteger(std::size_t i) const {
  return optionalOf<std::int64_t>(i, &Arguments::integer);
}
std::optional<double> Arguments::optionalNumber(std::size_t i) const {
  return optionalOf<double>(i, &Arguments::number);
}
std::optional<platform::ValueList> Arguments::optionalList(std::size_t i) const {
  return optionalOf<platform::ValueList>(i, &Arguments::list);
}
std::optional<platform::ValueMap> Arguments::optionalMap(std::size_t i) const {
  return optionalOf<platform::ValueMap>(i, &Arguments::map);
}

// ---- Responder ------------------------------------------------------------------------------

struct Responder::State {
  std::function<void(const platform::Value&)> send;
  std::atomic<bool> answered{false};
};

Responder::Responder(std::function<void(const platform::Value&)> send)
    : state_(std::make_shared<State>()) {
  state_->send = std::move(send);
}

void Responder::send(const platform::Value& reply) const {
  if (state_->answered.exchange(true)) {
    platform::assertionFailure(__FILE__, __LINE__, "generated interface answered twice");
    return;
  }
  state_->send(reply);
}

void Responder::success(const platform::Value& result) const {
  send(platform::Value::list({result}));
}
void Responder::failure(const PigeonError& error) const {
  send(wrapError(error));
}
void Responder::failure(const flutter::Error& error) const {
  send(wrapError(error));
}
void Responder::failure(const std::exception_ptr& error) const {
  send(wrapError(error));
}
void Responder::complete(const platform::Value& result,
                         const std::optional<flutter::Error>& error) const {
  send(wrapResult(result, error));
}
bool Responder::hasAnswered() const {
  return state_->answered.load();
}

// ---- Set-up ---------------------------------------------------------------------------------

void setUpMethod(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                 const flutter::MessageCodecPtr& codec, const std::string& channel,
                 const std::string& method, MethodHandler handler) {
  if (!messenger) return;
  if (!handler) {
    messenger->setMessageHandlerOnChannel(channel, nullptr);
    return;
  }
  messenger->setMessageHandlerOnChannel(
      channel, [codec, method, handler = std::move(handler)](const platform::Bytes& message,
                                                             flutter::BinaryReply reply) {
        auto encodeAndSend = [codec, reply, method](const platform::Value& list) {
          platform::Bytes bytes;
          try {
            bytes = codec->encode(list);
          } catch (const EncodingRefusal& e) {
            bytes = codec->encode(wrapError(e.error));
          } catch (const std::exception& e) {
            // The implementation returned a value this codec cannot carry: answer with an
            // error the codec can carry, never with an invented success.
            platform::assertionFailure(__FILE__, __LINE__,
                                       method + ": reply cannot be encoded: " + e.what());
            bytes = codec->encode(platform::Value::list(
                {"encoding-error", method + ": the reply cannot be encoded", platform::Value()}));
          }
          reply(bytes);
        };
        Responder responder(encodeAndSend);
        std::string error;
        auto decoded = codec->decode(message, &error);
        if (!decoded) {
          responder.send(invalidArguments(method + ": the request cannot be decoded: " + error));
          return;
        }
        // A method without arguments ignores its message; any other gets a list.
        platform::ValueList list;
        if (auto l = decoded->ifList()) {
          list = std::move(*l);
        } else if (!decoded->isNull()) {
          responder.send(invalidArguments(method + ": the request must be a list of arguments"));
          return;
        }
        try {
          handler(Arguments(method, std::move(list)), responder);
        } catch (const ArgumentError& e) {
          if (!responder.hasAnswered()) responder.send(invalidArguments(e.what()));
        } catch (...) {
          if (!responder.hasAnswered()) {
            responder.failure(std::current_exception());
          } else {
            platform::Log::cached("com.lumora.pigeon", "channel")
                ->error(method + ": implementation failed after answering");
          }
        }
      });
}

// ---- Calls into the application's code ------------------------------------------------------

CallResult judgeReply(const std::optional<platform::Value>& reply, const std::string& channel,
                      bool resultRequired,
                      const std::function<bool(const platform::Value&)>& hasExpectedType) {
  auto invalid = [&](const std::string& what) {
    return CallResult{
        PigeonError("invalid-reply", what + " on channel: '" + channel + "'.", platform::Value("")),
        {}};
  };
  const platform::ValueList* list = reply ? reply->ifList() : nullptr;
  if (!list) {
    return CallResult{PigeonError("channel-error",
                                  "Unable to establish connection on channel: '" + channel + "'.",
                                  platform::Value("")),
                      {}};
  }
  if (list->size() >= 3) {
    const platform::Value& code = (*list)[0];
    const platform::Value& message = (*list)[1];
    if (!code.isString() || !(message.isNull() || message.isString())) {
      return invalid("Malformed error reply");
    }
    std::optional<std::string> text;
    if (message.isString()) text = message.asString();
    return CallResult{PigeonError(code.asString(), text, (*list)[2]), {}};
  }
  if (list->size() != 1) {
    return invalid("Reply of " + std::to_string(list->size()) + " elements");
  }
  const platform::Value& result = (*list)[0];
  if (result.isNull()) {
    if (resultRequired) {
      return CallResult{PigeonError("null-error",
                                    "Flutter api returned null value for non-null return value.",
                                    platform::Value("")),
                        {}};
    }
    return CallResult{std::nullopt, {}};
  }
  if (hasExpectedType && !hasExpectedType(result)) {
    return invalid("Result of unexpected type " +
                   std::string(platform::valueKindName(result.kind())));
  }
  return CallResult{std::nullopt, result};
}

void callApplication(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                     const flutter::MessageCodecPtr& codec, const std::string& channel,
                     platform::ValueList arguments, bool resultRequired,
                     std::function<void(const CallResult&)> completion,
                     std::function<bool(const platform::Value&)> hasExpectedType) {
  if (!messenger) {
    if (completion) completion(judgeReply(std::nullopt, channel, resultRequired));
    return;
  }
  platform::Bytes message;
  try {
    message = codec->encode(platform::Value(std::move(arguments)));
  } catch (const EncodingRefusal& e) {
    if (completion) completion(CallResult{e.error, {}});
    return;
  } catch (const std::exception& e) {
    platform::assertionFailure(__FILE__, __LINE__,
                               channel + ": arguments cannot be encoded: " + e.what());
    if (completion) {
      completion(CallResult{PigeonError("encoding-error", std::string(e.what()), {}), {}});
    }
    return;
  }
  messenger->sendOnChannel(
      channel, message,
      [codec, channel, resultRequired, completion = std::move(completion),
       hasExpectedType = std::move(hasExpectedType)](const platform::Bytes& bytes) {
        if (!completion) return;
        std::optional<platform::Value> reply;
        // The empty reply is "no reply"; an undecodable one is no usable reply either.
        if (!bytes.empty()) reply = codec->decode(bytes);
        completion(judgeReply(reply, channel, resultRequired, hasExpectedType));
      });
}

}  // namespace pigeon
