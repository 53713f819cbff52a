// Stands in for the platform's JSON serialisation, over platform::Value.
//
// Reading (nlohmann-json's event parser, building Values directly): objects become Maps,
// arrays Lists, integers Int (integers beyond the 64-bit range become Double), numbers with a
// fraction or exponent Double, true/false Bool, null Null. The input is untrusted: nesting past
// `maxDepth`, input past `maxBytes`, invalid UTF-8 and trailing content are refused with
// kPropertyListReadCorruptError (3840, the platform's code for unreadable JSON).
//
// Writing is our own, so the bytes are exact: keys in map order, no spaces unless pretty,
// integers in decimal, integral doubles below 2^53 without a fraction ("3", not "3.0"), other
// doubles in their shortest round-trip form, "/" written as "\/" only when asked. Values with
// no JSON form (bytes, dates, typed lists, non-string keys, NaN and infinities, text that is
// not UTF-8) are refused with kPropertyListWriteInvalidError. Stateless; any thread.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "platform/core/error.h"
#include "platform/core/value.h"

namespace platform {

struct JSONReadOptions {
  int maxDepth = 100;
  std::size_t maxBytes = 32u << 20;
  // Whether the top level may be something other than an object or an array.
  bool allowFragments = false;
};

struct JSONWriteOptions {
  bool prettyPrinted = false;  // two-space indent, " : " separators, one value per line
  bool escapeSlashes = false;  // "/" as "\/"
  bool allowFragments = false;
};

std::optional<Value> JSONObjectWithData(std::string_view text, ErrorPtr* error = nullptr,
                                        const JSONReadOptions& options = {});
std::optional<std::string> dataWithJSONObject(const Value& value, ErrorPtr* error = nullptr,
                                              const JSONWriteOptions& options = {});
// Whether dataWithJSONObject would accept the value (without fragments).
bool isValidJSONObject(const Value& value);

}  // namespace platform
