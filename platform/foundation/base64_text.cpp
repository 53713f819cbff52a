#include "platform/foundation/base64_text.h"

namespace platform {

namespace {
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int sextet(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}
} // namespace

std::string base64EncodeBytes(const Bytes& data) {
  std::string out;
  out.reserve((data.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 2 < data.size(); i += 3) {
    unsigned v = (data[i] << 16) | (data[i + 1] << 8) | data[i + 2];
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += kAlphabet[(v >> 6) & 63];
    out += kAlphabet[v & 63];
  }
  if (i < data.size()) {
    unsigned v = data[i] << 16;
    if (i + 1 < data.size()) v |= data[i + 1] << 8;
    out += kAlphabet[(v >> 18) & 63];
    out += kAlphabet[(v >> 12) & 63];
    out += i + 1 < data.size() ? kAlphabet[(v >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

std::optional<Bytes> base64DecodeText(std::string_view text) {
  Bytes out;
  unsigned acc = 0;
  int bits = 0;
  int padding = 0;
  for (char c : text) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r') continue;
    if (c == '=') {
      ++padding;
      continue;
    }
    int s = sextet(c);
    if (s < 0 || padding > 0) return std::nullopt; // no data after padding
    acc = (acc << 6) | static_cast<unsigned>(s);
    bits += 6;
    if (bits >= 8) {
      bits -= 8;
      out.push_back(static_cast<std::uint8_t>((acc >> bits) & 0xFF));
    }
  }
  // Leftover bits must be the zero padding of a partial group, and at most two '='.
  if (padding > 2 || bits >= 6 || (acc & ((1u << bits) - 1)) != 0) return std::nullopt;
  return out;
}

} // namespace platform
