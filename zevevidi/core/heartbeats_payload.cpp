#include "zevevidi/core/heartbeats_payload.h"

#include <algorithm>

#include "platform/core/base64.h"
#include "platform/core/error.h"
#include "platform/core/exception.h"
#include "platform/foundation/date_format.h"
#include "platform/foundation/json.h"
#include "zevevidi/utilities/gul_gzip.h"

using platform::Bytes;
using platform::Value;
using platform::ValueList;
using platform::ValueMap;

const HeartbeatsPayload& HeartbeatsPayload::emptyPayload() {
  static const HeartbeatsPayload empty{};
  return empty;
}

std::optional<std::string> HeartbeatsPayload::jsonText() const {
  // The writer emits map keys in their order, which is also the order the format lists them
  // in ("agent" < "dates", "heartbeats" < "version").
  const auto& formatter = platform::DateFormatter::dayFormatter();
  ValueList heartbeats;
  for (const auto& entry : userAgentPayloads) {
    ValueList dates;
    for (const auto& date : entry.dates)
      dates.emplace_back(formatter.stringFromDate(date));
    ValueMap object;
    object[Value("agent")] = Value(entry.agent);
    object[Value("dates")] = Value(std::move(dates));
    heartbeats.emplace_back(std::move(object));
  }
  ValueMap root;
  root[Value("heartbeats")] = Value(std::move(heartbeats));
  root[Value("version")] = Value(version);
  platform::JSONWriteOptions options;
  options.escapeSlashes = true;
  return platform::dataWithJSONObject(Value(std::move(root)), nullptr, options);
}

std::string HeartbeatsPayload::headerValue() const {
  auto json = jsonText();
  if (!json) json = emptyPayload().jsonText();
  const std::string text = json.value_or("");
  Bytes bytes(text.begin(), text.end());
  try {
    bytes = heartbeat_bytes::zipped(bytes);
  } catch (const std::exception&) {
    // Without compression the header still carries the heartbeats.
  }
  return heartbeat_bytes::base64URLEncodedString(bytes);
}

namespace heartbeat_bytes {

namespace {
[[noreturn]] void raise(const platform::ErrorPtr& error) {
  throw platform::Exception(kGULNSDataZlibErrorDomain,
                            error ? "zlib error " + std::to_string(error->code) : "zlib error");
}
}  // namespace

Bytes zipped(const Bytes& data) {
  platform::ErrorPtr error;
  auto out = GULGzip::gul_dataByGzippingData(data, &error);
  if (error) raise(error);
  return out.value_or(Bytes{});
}

Bytes unzipped(const Bytes& data) {
  platform::ErrorPtr error;
  auto out = GULGzip::gul_dataByInflatingGzippedData(data, &error);
  if (error) raise(error);
  return out.value_or(Bytes{});
}

std::string base64URLEncodedString(const Bytes& data) {
  std::string text = platform::base64Encode(data, platform::Base64Alphabet::Standard, true);
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    if (c == '/') {
      out.push_back('_');
    } else if (c == '+') {
      out.push_back('-');
    } else if (c != '=') {
      out.push_back(c);
    }
  }
  return out;
}

std::optional<Bytes> base64URLDecoded(const std::string& text) {
  std::string standard;
  standard.reserve(text.size() + 3);
  for (char c : text)
    standard.push_back(c == '_' ? '/' : c == '-' ? '+' : c);
  while (standard.size() % 4 != 0)
    standard.push_back('=');
  return platform::base64Decode(standard, platform::Base64Alphabet::Standard);
}

}  // namespace heartbeat_bytes
