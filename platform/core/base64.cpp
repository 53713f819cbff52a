#include "platform/core/base64.h"

#include <array>

namespace platform {
namespace {

const char kStandard[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
const char kUrlSafe[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

using DecodeTable = std::array<std::int8_t, 256>;

DecodeTable makeTable(const char* alphabet) {
  DecodeTable table;
  table.fill(-1);
  for (int i = 0; i < 64; ++i) {
    table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::int8_t>(i);
  }
  return table;
}

}  // namespace

std::string base64Encode(const std::uint8_t* data, std::size_t size, Base64Alphabet alphabet,
                         bool pad) {
  const char* chars = alphabet == Base64Alphabet::UrlSafe ? kUrlSafe : kStandard;
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= size; i += 3) {
    const std::uint32_t v = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
    out.push_back(chars[v >> 18 & 63]);
    out.push_back(chars[v >> 12 & 63]);
    out.push_back(chars[v >> 6 & 63]);
    out.push_back(chars[v & 63]);
  }
  const std::size_t rest = size - i;
  if (rest > 0) {
    std::uint32_t v = data[i] << 16;
    if (rest == 2) v |= data[i + 1] << 8;
    out.push_back(chars[v >> 18 & 63]);
    out.push_back(chars[v >> 12 & 63]);
    if (rest == 2) out.push_back(chars[v >> 6 & 63]);
    if (pad) out.append(rest == 1 ? "==" : "=");
  }
  return out;
}

std::optional<Bytes> base64Decode(std::string_view text, Base64Alphabet alphabet,
                                  bool ignoreUnknown) {
  static const DecodeTable standard = makeTable(kStandard);
  static const DecodeTable urlSafe = makeTable(kUrlSafe);
  const DecodeTable& table = alphabet == Base64Alphabet::UrlSafe ? urlSafe : standard;

  Bytes out;
  out.reserve(text.size() / 4 * 3 + 2);
  std::uint32_t acc = 0;
  int sextets = 0;  // in the current group of four
  std::size_t padding = 0;
  for (char c : text) {
    if (c == '=') {
      ++padding;
      continue;
    }
    const int v = table[static_cast<unsigned char>(c)];
    if (v < 0) {
      if (ignoreUnknown) continue;
      return std::nullopt;
    }
    if (padding > 0) return std::nullopt;  // data after padding
    acc = acc << 6 | static_cast<std::uint32_t>(v);
    if (++sextets == 4) {
      out.push_back(static_cast<std::uint8_t>(acc >> 16));
      out.push_back(static_cast<std::uint8_t>(acc >> 8));
      out.push_back(static_cast<std::uint8_t>(acc));
      acc = 0;
      sextets = 0;
    }
  }
  switch (sextets) {
  case 0:
    if (padding != 0) return std::nullopt;
    break;
  case 1:
    return std::nullopt;  // six bits cannot make a byte
  case 2:
    if (padding != 0 && padding != 2) return std::nullopt;
    if (acc & 0x0F) return std::nullopt;  // bits that no encoder would set
    out.push_back(static_cast<std::uint8_t>(acc >> 4));
    break;
  case 3:
    if (padding != 0 && padding != 1) return std::nullopt;
    if (acc & 0x03) return std::nullopt;
    out.push_back(static_cast<std::uint8_t>(acc >> 10));
    out.push_back(static_cast<std::uint8_t>(acc >> 2));
    break;
  }
  return out;
}

}  // namespace platform
