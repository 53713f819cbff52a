#include "measurement/model/apm_utilities.h"

#include <charconv>
#include <cstring>

#include "platform/core/digest.h"
#include "platform/core/random.h"
#include "platform/foundation/url.h"

std::int64_t APMNumericUtil::randomInt64() {
  std::uint8_t bytes[8] = {};
  platform::secureRandomFill(bytes, sizeof bytes);
  std::int64_t value = 0;
  std::memcpy(&value, bytes, sizeof value);
  return value;
}

platform::Bytes apm_MD5Data(const platform::Bytes& data) {
  return platform::digest(platform::DigestAlgorithm::MD5, data);
}

std::uint64_t apm_64LeastSignificantBits(const platform::Bytes& data) {
  const std::size_t start = data.size() > 8 ? data.size() - 8 : 0;
  std::uint64_t value = 0;
  for (std::size_t i = start; i < data.size(); ++i)
    value = (value << 8) | data[i];
  return value;
}

std::uint64_t apm_64LSBMD5(const platform::Bytes& data) {
  return apm_64LeastSignificantBits(apm_MD5Data(data));
}

std::optional<std::string> apm_MD5String(std::string_view text) {
  if (!APMIsValidUTF8(text)) return std::nullopt;
  return platform::hexString(platform::digest(platform::DigestAlgorithm::MD5, text));
}

bool APMIsValidUTF8(std::string_view text) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t size = text.size();
  for (std::size_t i = 0; i < size;) {
    const unsigned char lead = bytes[i];
    std::size_t length;
    std::uint32_t codePoint;
    if (lead < 0x80) {
      ++i;
      continue;
    } else if ((lead & 0xE0) == 0xC0) {
      length = 2;
      codePoint = lead & 0x1F;
    } else if ((lead & 0xF0) == 0xE0) {
      length = 3;
      codePoint = lead & 0x0F;
    } else if ((lead & 0xF8) == 0xF0) {
      length = 4;
      codePoint = lead & 0x07;
    } else {
      return false;
    }
    if (i + length > size) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((bytes[i + k] & 0xC0) != 0x80) return false;
      codePoint = (codePoint << 6) | (bytes[i + k] & 0x3F);
    }
    static constexpr std::uint32_t kSmallest[5] = {0, 0, 0x80, 0x800, 0x10000};
    if (codePoint < kSmallest[length] || codePoint > 0x10FFFF ||
        (codePoint >= 0xD800 && codePoint <= 0xDFFF)) {
      return false;
    }
    i += length;
  }
  return true;
}

bool isBitEnabledAtIndex(std::string_view bits, std::int64_t index) {
  if (index < 0 || !APMIsValidUTF8(bits)) return false;
  // Walk UTF-16 units: a code point past U+FFFF takes two, and neither of them is "1".
  std::int64_t unit = 0;
  for (std::size_t i = 0; i < bits.size();) {
    const auto lead = static_cast<unsigned char>(bits[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    if (unit == index) return lead == '1';
    unit += length == 4 ? 2 : 1;
    if (unit > index) return false;
    i += length;
  }
  return false;
}

std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view text) {
  std::string plus(text);
  for (char& c : plus) {
    if (c == '+') c = ' ';
  }
  auto decoded = platform::URL::percentDecode(plus);
  if (!decoded || !APMIsValidUTF8(*decoded)) return std::nullopt;
  return decoded;
}

std::string APMNetworkURLEncode(const platform::Value& value) {
  std::string text;
  if (const auto* s = value.ifString()) {
    text = *s;
  } else if (const auto* i = value.ifInt()) {
    text = std::to_string(*i);
  } else if (const auto* d = value.ifDouble()) {
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, *d);
    text.assign(buffer, result.ptr);
  } else if (const auto* b = value.ifBool()) {
    text = *b ? "1" : "0";
  } else {
    text = value.debugString();
  }
  // RFC 3986 query: unreserved (kept by the encoder), sub-delims, ":", "@", "/" and "?".
  return platform::URL::percentEncode(text, "!$&'()*+,;=:@/?");
}

std::string apm_queryString(const platform::ValueMap& dictionary) {
  std::string query;
  for (const auto& [key, value] : dictionary) {
    if (!query.empty()) query += '&';
    query += APMNetworkURLEncode(key);
    query += '=';
    query += APMNetworkURLEncode(value);
  }
  return query;
}

platform::ValueMap apm_dictionaryWithHttpArgumentsString(std::string_view query) {
  std::vector<std::string_view> pieces;
  for (std::size_t start = 0;;) {
    const std::size_t amp = query.find('&', start);
    pieces.push_back(query.substr(start, amp == std::string_view::npos ? query.npos : amp - start));
    if (amp == std::string_view::npos) break;
    start = amp + 1;
  }
  platform::ValueMap dictionary;
  // From last to first, each pair replacing an earlier one: the first occurrence wins.
  for (auto piece = pieces.rbegin(); piece != pieces.rend(); ++piece) {
    if (piece->empty()) continue;
    const std::size_t equals = piece->find('=');
    const std::string_view key = piece->substr(0, equals);
    const std::string_view value =
        equals == std::string_view::npos ? std::string_view() : piece->substr(equals + 1);
    dictionary[platform::Value(apm_stringByUnescapingFromURLArgument(key).value_or(""))] =
        platform::Value(apm_stringByUnescapingFromURLArgument(value).value_or(""));
  }
  return dictionary;
}
