// Method calls and their result envelopes on top of a message codec.
//
// Call = method name followed by the arguments, as two consecutive values. Success envelope =
// byte 0 + value; error envelope = byte 1 + code + message + details; "not implemented" is the
// empty reply. Immutable and shareable between threads.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>

#include "platform/core/value.h"
#include "platform/engine/error.h"
#include "platform/engine/standard_codec.h"

namespace flutter {

struct MethodCall {
  std::string method;
  platform::Value arguments;

  static MethodCall methodCallWithMethodName(std::string method, platform::Value arguments = {}) {
    return MethodCall{std::move(method), std::move(arguments)};
  }
  friend bool operator==(const MethodCall&, const MethodCall&) = default;
};

// The "method not implemented" marker: answering a call with it sends the empty reply.
struct MethodNotImplementedTag {
  friend bool operator==(MethodNotImplementedTag, MethodNotImplementedTag) { return true; }
};
inline constexpr MethodNotImplementedTag MethodNotImplemented{};

// What a method-call handler answers: a success value, an Error, or MethodNotImplemented.
class MethodResponse {
 public:
  enum class Kind { Success, Error, NotImplemented };

  MethodResponse() = default;  // success with null
  template <class T>
  requires std::is_constructible_v<platform::Value, T&&> MethodResponse(T&& value)
      : value_(std::forward<T>(value)) {}
  MethodResponse(Error error) : kind_(Kind::Error), error_(std::move(error)) {}
  MethodResponse(MethodNotImplementedTag) : kind_(Kind::NotImplemented) {}

  Kind kind() const { return kind_; }
  bool isSuccess() const { return kind_ == Kind::Success; }
  bool isError() const { return kind_ == Kind::Error; }
  bool isNotImplemented() const { return kind_ == Kind::NotImplemented; }
  // The success value (null unless isSuccess()).
  const platform::Value& value() const { return value_; }
  // The error (empty unless isError()).
  const Error& error() const { return error_; }

  std::string debugString() const;
  friend bool operator==(const MethodResponse&, const MethodResponse&) = default;

 private:
  Kind kind_ = Kind::Success;
  platform::Value value_;
  Error error_;
};

// The result callback of a method call. Must be called exactly once (a second call is a
// programming error reported to the assertion handler and otherwise ignored); may be called
// later and from any thread: the reply is always sent from the main loop.
using MethodResult = std::function<void(MethodResponse response)>;

class MethodCodec {
 public:
  virtual ~MethodCodec() = default;
  virtual platform::Bytes encodeMethodCall(const MethodCall& call) const = 0;
  virtual std::optional<MethodCall> decodeMethodCall(const platform::Bytes& message,
                                                     std::string* error = nullptr) const = 0;
  virtual platform::Bytes encodeSuccessEnvelope(const platform::Value& result) const = 0;
  virtual platform::Bytes encodeErrorEnvelope(const Error& error) const = 0;
  // Empty message -> NotImplemented; malformed -> nullopt.
  virtual std::optional<MethodResponse> decodeEnvelope(const platform::Bytes& envelope,
                                                       std::string* error = nullptr) const = 0;
};
using MethodCodecPtr = std::shared_ptr<const MethodCodec>;

class StandardMethodCodec : public MethodCodec {
 public:
  explicit StandardMethodCodec(std::shared_ptr<const StandardMessageCodec> messageCodec);

  static std::shared_ptr<const StandardMethodCodec> sharedInstance();
  static std::shared_ptr<const StandardMethodCodec>
  codecWithReaderWriter(std::shared_ptr<const StandardReaderWriter> readerWriter);

  platform::Bytes encodeMethodCall(const MethodCall& call) const override;
  std::optional<MethodCall> decodeMethodCall(const platform::Bytes& message,
                                             std::string* error = nullptr) const override;
  platform::Bytes encodeSuccessEnvelope(const platform::Value& result) const override;
  platform::Bytes encodeErrorEnvelope(const Error& error) const override;
  std::optional<MethodResponse> decodeEnvelope(const platform::Bytes& envelope,
                                               std::string* error = nullptr) const override;

 private:
  std::shared_ptr<const StandardMessageCodec> messageCodec_;
};

}  // namespace flutter
