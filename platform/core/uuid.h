// A 128-bit universally unique identifier: random (version 4) ones, and the text form
// "E621E1F8-C36C-495A-93FC-0C247A3E6E5F" (upper-case hex; parsing takes either case). Plain
// value type.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

struct UUID {
  std::array<std::uint8_t, 16> bytes{};

  // A version-4 UUID from the process random source (see random.h).
  static UUID random();
  // Parses the 36-character hyphenated form; nullopt for anything else.
  static std::optional<UUID> fromString(std::string_view text);

  std::string string() const;

  friend bool operator==(const UUID&, const UUID&) = default;
  friend auto operator<=>(const UUID&, const UUID&) = default;
};

}  // namespace platform
