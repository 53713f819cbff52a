// Text helpers of the script runtime: UTF-8 <-> UTF-16, the white-space test, the canonical order
// of texts and the canonical search.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// None when `utf8` is not well-formed UTF-8.
std::optional<std::u16string> APMPUtf16FromUtf8(std::string_view utf8);
// Every lone surrogate becomes U+FFFD, so every text has a UTF-8 form.
std::string APMPUtf8FromUtf16(std::u16string_view utf16);

// Orders two texts by the code units of their canonical decompositions (NFD): canonically
// equivalent texts compare equal, plain ASCII compares code unit by code unit. Returns <0, 0, >0.
int APMPCompareCanonical(std::u16string_view a, std::u16string_view b);

// The white space of trim and of the text-to-number rule: tab, U+000A to U+000D, U+0085 and the
// categories Zs, Zl and Zp.
bool APMPIsWhiteSpace(char16_t c);
// `text` without its leading and trailing white space.
std::u16string_view APMPTrimWhiteSpace(std::u16string_view text);

// An occurrence of a text inside another, in the receiver's code units.
struct APMPTextMatch {
  std::size_t start = 0;
  std::size_t length = 0;
};

// The canonical search: `needle` is found where the receiver holds a canonically equivalent
// sequence (a precomposed letter matches the letter and its combining mark). Both texts are
// compared in NFD; a match counts only when it starts and ends on the receiver's character
// boundaries (never inside a letter and its marks). Plain texts are searched code unit by code
// unit. Every search is linear in the two texts whatever they hold (a delivered program may ask
// for a 2^19-unit needle that almost matches everywhere). The needle must not be empty.
class APMPCanonicalSearch {
 public:
  APMPCanonicalSearch(std::u16string_view haystack, std::u16string_view needle);
  // The first match starting at or after `from`.
  std::optional<APMPTextMatch> next(std::size_t from) const;
  // The last match starting at or before `from` and ending at or before `limit`.
  std::optional<APMPTextMatch> last(std::size_t from, std::size_t limit) const;

 private:
  // The match in the receiver's code units of an NFD occurrence at `at`; none when it does not
  // start and end on segment boundaries.
  std::optional<APMPTextMatch> onBoundaries(std::size_t at) const;

  std::u16string_view haystack_;
  std::u16string needle_;  // NFD unless plain
  bool plain_ = true;
  // The needle's failure table (longest proper border of each prefix), for needles that are not
  // searched with the library's find.
  std::vector<std::uint32_t> failure_;
  // The NFD form of the haystack in segments that normalize independently: segment k covers
  // nfd_[nfdStart_[k], nfdStart_[k + 1]) and haystack [start_[k], start_[k + 1]).
  std::u16string nfd_;
  std::vector<std::size_t> nfdStart_;
  std::vector<std::size_t> start_;
};
