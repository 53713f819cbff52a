// HeartbeatsPayload: what a heartbeat flush returns (the days on which each user agent was
// recorded) and how it becomes the value of the heartbeat request header: compact JSON, gzip,
// then URL-safe base64 without padding. FIRHeartbeatsPayload is its object-facing face.
//
// Plain value types; headerValue() touches no shared mutable state and may be called from any
// thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"

struct HeartbeatsPayload {
  struct UserAgentPayload {
    std::string agent;
    std::vector<platform::Date> dates;
    friend bool operator==(const UserAgentPayload&, const UserAgentPayload&) = default;
  };

  std::vector<UserAgentPayload> userAgentPayloads;
  int version = 2;

  // No entries, version 2.
  static const HeartbeatsPayload& emptyPayload();

  bool isEmpty() const { return userAgentPayloads.empty(); }
  // {"heartbeats":[{"agent":...,"dates":["yyyy-MM-dd",...]}],"version":2}; dates are GMT days
  // and "/" inside strings is written "\/". None only when a value cannot be written as JSON.
  std::optional<std::string> jsonText() const;
  // The header text; never fails (falls back to the empty payload, then to uncompressed JSON).
  std::string headerValue() const;

  friend bool operator==(const HeartbeatsPayload&, const HeartbeatsPayload&) = default;
};

// Byte helpers of the header value.
namespace heartbeat_bytes {
// Gzip; throws platform::Exception named after the zlib error domain on failure.
platform::Bytes zipped(const platform::Bytes& data);
platform::Bytes unzipped(const platform::Bytes& data);
// Standard base64 with "/" -> "_", "+" -> "-" and no "=".
std::string base64URLEncodedString(const platform::Bytes& data);
// The reverse; none when the text is not base64.
std::optional<platform::Bytes> base64URLDecoded(const std::string& text);
}  // namespace heartbeat_bytes

// The object-facing payload, created by FIRHeartbeatController around a flushed payload.
class FIRHeartbeatsPayload {
 public:
  explicit FIRHeartbeatsPayload(HeartbeatsPayload payload)
      : heartbeatsPayload_(std::move(payload)) {}
  std::string headerValue() const { return heartbeatsPayload_.headerValue(); }
  bool isEmpty() const { return heartbeatsPayload_.isEmpty(); }
  const HeartbeatsPayload& heartbeatsPayload() const { return heartbeatsPayload_; }

 private:
  HeartbeatsPayload heartbeatsPayload_;
};
using FIRHeartbeatsPayloadPtr = std::shared_ptr<const FIRHeartbeatsPayload>;
