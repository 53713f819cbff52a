// Base64 in the standard alphabet ('+', '/') and the URL-safe one ('-', '_'). Decoding is
// strict: an unknown character, misplaced or wrong padding, or a dangling sextet gives nullopt,
// never a partial result. Padding may be left off on input. Stateless and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "platform/core/value.h"

namespace platform {

enum class Base64Alphabet { Standard, UrlSafe };

std::string base64Encode(const std::uint8_t* data, std::size_t size,
                         Base64Alphabet alphabet = Base64Alphabet::Standard, bool pad = true);
inline std::string base64Encode(const Bytes& data,
                                Base64Alphabet alphabet = Base64Alphabet::Standard,
                                bool pad = true) {
  return base64Encode(data.data(), data.size(), alphabet, pad);
}
inline std::string base64Encode(std::string_view data,
                                Base64Alphabet alphabet = Base64Alphabet::Standard,
                                bool pad = true) {
  return base64Encode(reinterpret_cast<const std::uint8_t*>(data.data()), data.size(), alphabet,
                      pad);
}

// With `ignoreUnknown`, characters outside the alphabet (line breaks, spaces) are skipped
// instead of failing the decode.
std::optional<Bytes> base64Decode(std::string_view text,
                                  Base64Alphabet alphabet = Base64Alphabet::Standard,
                                  bool ignoreUnknown = false);

}  // namespace platform
