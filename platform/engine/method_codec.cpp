#include "platform/engine/method_codec.h"

namespace flutter {

std::string MethodResponse::debugString() const {
  switch (kind_) {
  case Kind::Success:
    return "success(" + value_.debugString() + ")";
  case Kind::Error:
    return "error(" + error_.code + ", " +
           (error_.message ? "\"" + *error_.message + "\"" : std::string("null")) + ", " +
           error_.details.debugString() + ")";
  case Kind::NotImplemented:
    return "notImplemented";
  }
  return "?";
}

StandardMethodCodec::StandardMethodCodec(std::shared_ptr<const StandardMessageCodec> messageCodec)
    : messageCodec_(messageCodec ? std::move(messageCodec)
                                 : StandardMessageCodec::sharedInstance()) {}

std::shared_ptr<const StandardMethodCodec> StandardMethodCodec::sharedInstance() {
  static const auto codec =
      std::make_shared<const StandardMethodCodec>(StandardMessageCodec::sharedInstance());
  return codec;
}

std::shared_ptr<const StandardMethodCodec> StandardMethodCodec::codecWithReaderWriter(
    std::shared_ptr<const StandardReaderWriter> readerWriter) {
  return std::make_shared<const StandardMethodCodec>(
      StandardMessageCodec::codecWithReaderWriter(std::move(readerWriter)));
}

platform::Bytes StandardMethodCodec::encodeMethodCall(const MethodCall& call) const {
  platform::Bytes data;
  auto writer = messageCodec_->readerWriter().writerWithData(data);
  writer->writeValue(platform::Value(call.method));
  writer->writeValue(call.arguments);
  return data;
}

std::optional<MethodCall> StandardMethodCodec::decodeMethodCall(const platform::Bytes& message,
                                                                std::string* error) const {
  try {
    auto reader = messageCodec_->readerWriter().readerWithData(message);
    platform::Value method = reader->readValue();
    if (!method.isString()) throw CodecError("method name is not a string");
    platform::Value arguments = reader->readValue();
    if (reader->hasMore()) throw CodecError("trailing bytes after the method call");
    return MethodCall{method.asString(), std::move(arguments)};
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

platform::Bytes StandardMethodCodec::encodeSuccessEnvelope(const platform::Value& result) const {
  platform::Bytes data;
  auto writer = messageCodec_->readerWriter().writerWithData(data);
  writer->writeByte(0);
  writer->writeValue(result);
  return data;
}

platform::Bytes StandardMethodCodec::encodeErrorEnvelope(const Error& error) const {
  platform::Bytes data;
  auto writer = messageCodec_->readerWriter().writerWithData(data);
  writer->writeByte(1);
  writer->writeValue(platform::Value(error.code));
  writer->writeValue(error.message ? platform::Value(*error.message) : platform::Value());
  writer->writeValue(error.details);
  return data;
}

std::optional<MethodResponse> StandardMethodCodec::decodeEnvelope(const platform::Bytes& envelope,
                                                                  std::string* error) const {
  if (envelope.empty()) return MethodResponse(MethodNotImplemented);
  try {
    auto reader = messageCodec_->readerWriter().readerWithData(envelope);
    std::uint8_t flag = reader->readByte();
    if (flag == 0) {
      platform::Value result = reader->readValue();
      if (reader->hasMore()) throw CodecError("trailing bytes after the result");
      return MethodResponse(std::move(result));
    }
    if (flag == 1) {
      platform::Value code = reader->readValue();
      platform::Value message = reader->readValue();
      platform::Value details = reader->readValue();
      if (reader->hasMore()) throw CodecError("trailing bytes after the error");
      if (!code.isString()) throw CodecError("error code is not a string");
      if (!message.isNull() && !message.isString())
        throw CodecError("error message is not a string");
      Error e{code.asString(), std::nullopt, std::move(details)};
      if (message.isString()) e.message = message.asString();
      return MethodResponse(std::move(e));
    }
    throw CodecError("unknown envelope flag " + std::to_string(flag));
  } catch (const std::exception& e) {
    if (error) *error = e.what();
    return std::nullopt;
  }
}

}  // namespace flutter
