// Text helpers of the script runtime: UTF-8 <-> UTF-16 and the canonical order of texts.
#pragma once

#include <optional>
#include <string>
#include <string_view>

// None when `utf8` is not well-formed UTF-8.
std::optional<std::u16string> APMPUtf16FromUtf8(std::string_view utf8);
// Every lone surrogate becomes U+FFFD, so every text has a UTF-8 form.
std::string APMPUtf8FromUtf16(std::u16string_view utf16);

// Orders two texts by the code units of their canonical decompositions (NFD): canonically
// equivalent texts compare equal, plain ASCII compares code unit by code unit. Returns <0, 0, >0.
int APMPCompareCanonical(std::u16string_view a, std::u16string_view b);
