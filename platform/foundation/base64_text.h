// Standard base64 (RFC 4648, with padding) for the text forms of byte data in property lists and
// JSON. Decoding skips whitespace and refuses anything else outside the alphabet.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/core/value.h"

namespace platform {

std::string base64EncodeBytes(const Bytes& data);
std::optional<Bytes> base64DecodeText(std::string_view text);

} // namespace platform
