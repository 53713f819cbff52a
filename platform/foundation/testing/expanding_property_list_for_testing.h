// Test helper: a small binary property list whose objects share references so heavily that
// reading it as copies would take gigabytes. Used to show that every reader of stored property
// lists (preferences, keychain, keyed archives) refuses it within bounded memory.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "platform/core/value.h"

namespace platform {

// `levels` nested arrays of `fanout` references each, all ending at one string of
// `stringLength` bytes: about stringLength + fanout * (levels * 2 + 5) bytes on disk (13 KB by
// default), fanout^levels * stringLength bytes when read as copies. With `rootKey` the root is a
// dictionary holding the outermost array under that key (what preferences and archives expect);
// else it is that array.
inline Bytes expandingPropertyListForTesting(const std::string& rootKey = {}, int levels = 8,
                                             std::uint16_t fanout = 500,
                                             std::uint16_t stringLength = 2500) {
  Bytes out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
  auto be16 = [&out](std::uint64_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
  };
  auto marker = [&](std::uint8_t type, std::uint64_t n) {
    out.push_back(static_cast<std::uint8_t>(type | 0x0F));
    out.push_back(0x11);
    be16(n);
  };
  // Object 0 is the string, 1..levels the arrays from the innermost out, then fillers, then the
  // key and the dictionary; the trailer names the dictionary or the outermost array as the root.
  std::vector<std::uint64_t> offsets;
  offsets.push_back(out.size());
  marker(0x50, stringLength);
  out.insert(out.end(), stringLength, 'x');
  for (int level = 1; level <= levels; ++level) {
    offsets.push_back(out.size());
    marker(0xA0, fanout);
    for (int i = 0; i < fanout; ++i)
      be16(static_cast<std::uint64_t>(level - 1));
  }
  // Enough unreferenced objects that no array holds more references than the list has objects.
  while (offsets.size() < fanout) {
    offsets.push_back(out.size());
    out.push_back(0x09);
  }
  const std::uint64_t outermost = static_cast<std::uint64_t>(levels);
  if (!rootKey.empty()) {
    offsets.push_back(out.size());
    marker(0x50, rootKey.size());
    out.insert(out.end(), rootKey.begin(), rootKey.end());
    offsets.push_back(out.size());
    out.push_back(0xD1);
    be16(offsets.size() - 2);
    be16(outermost);
  }
  const std::uint64_t table = out.size();
  for (std::uint64_t off : offsets) {
    for (int i = 3; i >= 0; --i)
      out.push_back(static_cast<std::uint8_t>(off >> (8 * i)));
  }
  for (int i = 0; i < 6; ++i)
    out.push_back(0);
  out.push_back(4);  // offset size
  out.push_back(2);  // reference size
  auto be64 = [&out](std::uint64_t v) {
    for (int i = 7; i >= 0; --i)
      out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  };
  be64(offsets.size());
  be64(rootKey.empty() ? outermost : offsets.size() - 1);
  be64(table);
  return out;
}

}  // namespace platform
