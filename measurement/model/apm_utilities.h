// Small shared utilities of the measurement side: a secure random 64-bit integer, MD5 digests
// and their low 64 bits (bundle checksums, event fingerprints), identifier hashing, consent
// bit strings, and query-string building, parsing and unescaping. Text is UTF-8; text that is
// not UTF-8 is never produced. Stateless functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/core/value.h"

class APMNumericUtil {
 public:
  // Eight bytes of the kernel's secure generator, read in machine byte order.
  static std::int64_t randomInt64();
};

// The 16-byte MD5 digest.
platform::Bytes apm_MD5Data(const platform::Bytes& data);
// The last min(length, 8) bytes read as a big-endian unsigned number; 0 for no bytes.
std::uint64_t apm_64LeastSignificantBits(const platform::Bytes& data);
// Bytes 8 to 15 of the MD5 digest, big-endian.
std::uint64_t apm_64LSBMD5(const platform::Bytes& data);
// The MD5 of the text as 32 lower-case hex digits; none when the text is not UTF-8.
std::optional<std::string> apm_MD5String(std::string_view text);

// True when 0 <= index < the number of UTF-16 units and the unit there is "1".
bool isBitEnabledAtIndex(std::string_view bits, std::int64_t index);

// "+" becomes a space, then percent-decoding; none for a malformed escape or a result that is
// not UTF-8.
std::optional<std::string> apm_stringByUnescapingFromURLArgument(std::string_view text);
// The value's text (a string as it is, numbers in decimal), percent-encoded for a URL query:
// RFC 3986's query characters stay, everything else is escaped from its UTF-8 bytes.
std::string APMNetworkURLEncode(const platform::Value& value);
// "key=value" pairs in the map's order, joined with "&".
std::string apm_queryString(const platform::ValueMap& dictionary);
// The pairs of a query string, unescaped; a piece without "=" has an empty value, a piece that
// cannot be unescaped gives empty text, and for a repeated key the first occurrence wins.
platform::ValueMap apm_dictionaryWithHttpArgumentsString(std::string_view query);

// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool APMIsValidUTF8(std::string_view text);
