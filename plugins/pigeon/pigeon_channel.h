// Generated-interface plumbing: one basic message channel per method, named
// "dev.flutter.pigeon.<package>.<interface>.<method>[.<suffix>]"; the request is the list of the
// method's arguments; the reply is [result] on success or [code, message, details] on failure.
//
// A malformed request (not a list, too short, an argument of another type, a record that does
// not decode) is answered ["invalid-arguments", "<method>: ...argument <i>...", null] without
// calling the implementation. Anything the implementation throws becomes the wrapError reply.
// Handlers run on the main loop and answer exactly once, possibly later and from any thread.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/core/value.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/error.h"
#include "platform/engine/standard_codec.h"
#include "plugins/pigeon/pigeon_error.h"
#include "plugins/pigeon/pigeon_values.h"

namespace pigeon {

// "dev.flutter.pigeon." + package + "." + api + "." + method, then "." + suffix unless empty.
std::string channelName(std::string_view package, std::string_view api, std::string_view method,
                        std::string_view suffix = {});

// A malformed request; the handler plumbing answers it with "invalid-arguments".
class ArgumentError : public std::exception {
 public:
  explicit ArgumentError(std::string message) : message_(std::move(message)) {}
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

// Typed access to a request's arguments. Each accessor throws ArgumentError naming the method
// and the position when the argument is missing or of another type; the optional accessors
// read null (or a missing position) as no value.
class Arguments {
 public:
  Arguments(std::string method, platform::ValueList list)
      : method_(std::move(method)), list_(std::move(list)) {}

  std::size_t size() const { return list_.size(); }
  const std::string& method() const { return method_; }
  // "<method>: argument <i> must be <expected>, not <kind>" (or "... is missing ...").
  std::string describe(std::size_t i, const std::string& expected) const;
  // The raw argument (null when missing).
  const platform::Value& at(std::size_t i) const;

  std::string string(std::size_t i) const;
  bool boolean(std::size_t i) const;
  std::int64_t integer(std::size_t i) const;
  double number(std::size_t i) const;
  platform::ValueList list(std::size_t i) const;
  platform::ValueMap map(std::size_t i) const;
  platform::Bytes bytes(std::size_t i) const;
  // A non-null value of any type.
  platform::Value value(std::size_t i) const;
  // Null reads as false, 0 or 0.0 (a table marks such arguments with "!"); a missing position
  // or a value of another type is still malformed.
  bool booleanOrFalse(std::size_t i) const;
  std::int64_t integerOrZero(std::size_t i) const;
  double numberOrZero(std::size_t i) const;
  template <class T> std::shared_ptr<T> record(std::size_t i) const {
    auto r = at(i).asObjectOf<T>();
    if (!r) throw ArgumentError(describe(i, "a record"));
    return r;
  }
  template <class E> E enumeration(std::size_t i) const {
    auto e = enumFromValue<E>(at(i));
    if (!e) throw ArgumentError(describe(i, "an enumeration value"));
    return *e;
  }

  std::optional<std::string> optionalString(std::size_t i) const;
  std::optional<bool> optionalBoolean(std::size_t i) const;
  std::optional<std::int64_t> optionalInteger(std::size_t i) const;
  std::optional<double> optionalNumber(std::size_t i) const;
  std::optional<platform::ValueList> optionalList(std::size_t i) const;
  std::optional<platform::ValueMap> optionalMap(std::size_t i) const;
  std::optional<platform::Bytes> optionalBytes(std::size_t i) const;
  std::optional<platform::Value> optionalValue(std::size_t i) const { return nilOrValue(at(i)); }
  template <class T> std::shared_ptr<T> optionalRecord(std::size_t i) const {
    if (at(i).isNull()) return nullptr;
    return record<T>(i);
  }
  // Null reads as no value; any other value must be one of the enumeration's.
  template <class E> std::optional<E> optionalEnumeration(std::size_t i) const {
    if (at(i).isNull()) return std::nullopt;
    return enumeration<E>(i);
  }
  // A list whose every element reads as T (WireType); `elements` names them in the message
  // ("strings").
  template <class T> std::vector<T> listOf(std::size_t i, const char* elements) const {
    if (auto l = WireType<std::vector<T>>::from(at(i))) return std::move(*l);
    throw ArgumentError(describeList(i, elements, false));
  }
  template <class T>
  std::optional<std::vector<T>> optionalListOf(std::size_t i, const char* elements) const {
    if (at(i).isNull()) return std::nullopt;
    if (auto l = WireType<std::vector<T>>::from(at(i))) return std::move(*l);
    throw ArgumentError(describeList(i, elements, true));
  }

 private:
  template <class T> T required(std::size_t i, const char* expected) const {
    if (auto v = WireType<T>::from(at(i))) return std::move(*v);
    throw ArgumentError(describe(i, expected));
  }
  std::string describeList(std::size_t i, const char* elements, bool nullable) const;
  template <class T>
  std::optional<T> optionalOf(std::size_t i, T (Arguments::*get)(std::size_t) const) const {
    if (at(i).isNull()) return std::nullopt;
    return (this->*get)(i);
  }

  std::string method_;
  platform::ValueList list_;
};

// Answers one request exactly once. Copies share the one answer; answering twice is a
// programming error (reported, the second answer dropped). Thread-safe.
class Responder {
 public:
  explicit Responder(std::function<void(const platform::Value& reply)> send);

  // [result]; a method without result answers [null].
  void success(const platform::Value& result = {}) const;
  void failure(const PigeonError& error) const;
  void failure(const flutter::Error& error) const;
  void failure(const std::exception_ptr& error) const;
  // Completion-block form: the error when given, else the result.
  void complete(const platform::Value& result, const std::optional<flutter::Error>& error) const;
  bool hasAnswered() const;

  // The raw reply list (used for invalid-argument replies).
  void send(const platform::Value& reply) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// Implements one method: reads `arguments`, answers through `responder` (now or later).
using MethodHandler = std::function<void(const Arguments& arguments, Responder responder)>;

// Installs the handler of one method on `channel`; an empty handler detaches the channel.
// `method` names the method in invalid-argument messages.
void setUpMethod(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                 const flutter::MessageCodecPtr& codec, const std::string& channel,
                 const std::string& method, MethodHandler handler);

// Outcome of a call into the application's code.
struct CallResult {
  std::optional<PigeonError> error;
  platform::Value value;
  bool isSuccess() const { return !error.has_value(); }
};

// Judges a reply to a host-to-application call (`reply` is none for no reply):
// no reply or not a list -> "channel-error"; three or more elements -> the PigeonError they
// carry; [null] where a result is required -> "null-error"; other shapes, or a result that
// `hasExpectedType` refuses -> "invalid-reply"; otherwise success with element 0.
CallResult judgeReply(const std::optional<platform::Value>& reply, const std::string& channel,
                      bool resultRequired,
                      const std::function<bool(const platform::Value&)>& hasExpectedType = {});

// Sends `arguments` to the application's code on `channel` and judges the reply. `completion`
// runs on the main loop.
void callApplication(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                     const flutter::MessageCodecPtr& codec, const std::string& channel,
                     platform::ValueList arguments, bool resultRequired,
                     std::function<void(const CallResult&)> completion,
                     std::function<bool(const platform::Value&)> hasExpectedType = {});

}  // namespace pigeon
