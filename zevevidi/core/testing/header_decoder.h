// Test helper: decodes a heartbeat header value without the code under test (its own base64url
// reading, zlib's gunzip, nlohmann's JSON), so a fault shared by encoder and decoder shows.
#pragma once

#include <optional>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/testing/gunzip.h"

namespace heartbeat_testing {

inline std::optional<std::string> base64UrlDecode(const std::string& text) {
  auto sextet = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '-') return 62;
    if (c == '_') return 63;
    return -1;
  };
  std::string out;
  unsigned buffer = 0;
  int bits = 0;
  for (char c : text) {
    int v = sextet(c);
    if (v < 0) return std::nullopt;
    buffer = (buffer << 6) | static_cast<unsigned>(v);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<char>((buffer >> bits) & 0xff));
    }
  }
  return out;
}

// The JSON text inside a header value, or none.
inline std::optional<std::string> headerJSONText(const std::string& header) {
  auto zipped = base64UrlDecode(header);
  if (!zipped) return std::nullopt;
  return platform::testing::gunzip(*zipped);
}

inline nlohmann::json headerJSON(const std::string& header) {
  auto text = headerJSONText(header);
  if (!text) return nlohmann::json();
  return nlohmann::json::parse(*text, nullptr, false);
}

}  // namespace heartbeat_testing
