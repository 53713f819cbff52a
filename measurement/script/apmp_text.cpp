#include "measurement/script/apmp_text.h"

#include <unicode/normalizer2.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utf16.h>

#include <algorithm>
#include <cstdint>

std::optional<std::u16string> APMPUtf16FromUtf8(std::string_view s) {
  std::u16string out;
  out.reserve(s.size());
  std::size_t i = 0;
  while (i < s.size()) {
    const auto b0 = static_cast<unsigned char>(s[i]);
    if (b0 < 0x80) {
      out.push_back(b0);
      ++i;
      continue;
    }
    int extra;
    std::uint32_t cp;
    std::uint32_t min;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      extra = 1, cp = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      extra = 2, cp = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      extra = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
      return std::nullopt;
    }
    if (i + static_cast<std::size_t>(extra) >= s.size()) return std::nullopt;
    for (int k = 1; k <= extra; ++k) {
      const auto b = static_cast<unsigned char>(s[i + k]);
      if ((b & 0xC0) != 0x80) return std::nullopt;
      cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return std::nullopt;
    if (cp >= 0x10000) {
      cp -= 0x10000;
      out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
      out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    } else {
      out.push_back(static_cast<char16_t>(cp));
    }
    i += extra + 1;
  }
  return out;
}

std::string APMPUtf8FromUtf16(std::u16string_view s) {
  std::string out;
  out.reserve(s.size());
  for (std::size_t i = 0; i < s.size(); ++i) {
    std::uint32_t cp = s[i];
    if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
        s[i + 1] <= 0xDFFF) {
      cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00);
      ++i;
    } else if (cp >= 0xD800 && cp <= 0xDFFF) {
      cp = 0xFFFD;
    }
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  }
  return out;
}

namespace {

// Texts of code units below U+00C0 are already in NFD and compare as they stand.
bool plainText(std::u16string_view s) {
  for (char16_t c : s) {
    if (c >= 0xC0) return false;
  }
  return true;
}

icu::UnicodeString decomposed(std::u16string_view s) {
  icu::UnicodeString text(false, s.data(), static_cast<int32_t>(s.size()));
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) return text;
  if (nfd->isNormalized(text, status) && U_SUCCESS(status)) return text;
  status = U_ZERO_ERROR;
  icu::UnicodeString out = nfd->normalize(text, status);
  return U_SUCCESS(status) ? out : text;
}

}  // namespace

int APMPCompareCanonical(std::u16string_view a, std::u16string_view b) {
  if (plainText(a) && plainText(b)) return a.compare(b);
  const icu::UnicodeString da = decomposed(a);
  const icu::UnicodeString db = decomposed(b);
  // UnicodeString::compare orders by code units.
  return da.compare(db);
}

bool APMPIsWhiteSpace(char16_t c) {
  switch (c) {
  case 0x09:
  case 0x0A:
  case 0x0B:
  case 0x0C:
  case 0x0D:
  case 0x85:
    return true;
  default: {
    const auto type = u_charType(c);
    return type == U_SPACE_SEPARATOR || type == U_LINE_SEPARATOR || type == U_PARAGRAPH_SEPARATOR;
  }
  }
}

std::u16string_view APMPTrimWhiteSpace(std::u16string_view text) {
  std::size_t begin = 0;
  std::size_t end = text.size();
  while (begin < end && APMPIsWhiteSpace(text[begin]))
    ++begin;
  while (end > begin && APMPIsWhiteSpace(text[end - 1]))
    --end;
  return text.substr(begin, end - begin);
}

namespace {

// Needles up to this length go to the library's find and rfind: quadratic only in the needle's
// length, and much faster on ordinary texts.
constexpr std::size_t kShortNeedle = 64;

std::vector<std::uint32_t> failureTable(std::u16string_view needle) {
  std::vector<std::uint32_t> failure(needle.size(), 0);
  std::uint32_t k = 0;
  for (std::size_t i = 1; i < needle.size(); ++i) {
    while (k > 0 && needle[i] != needle[k])
      k = failure[k - 1];
    if (needle[i] == needle[k]) ++k;
    failure[i] = k;
  }
  return failure;
}

// Calls `found(at)` for every occurrence of `needle` in `text` that starts at or after `from`,
// in ascending order (overlapping ones included), until it answers false. Linear in the text.
template <class Found>
void scanMatches(std::u16string_view text, std::size_t from, std::u16string_view needle,
                 const std::vector<std::uint32_t>& failure, Found found) {
  const std::size_t m = needle.size();
  std::size_t j = 0;
  for (std::size_t i = from; i < text.size(); ++i) {
    while (j > 0 && text[i] != needle[j])
      j = failure[j - 1];
    if (text[i] == needle[j]) ++j;
    if (j == m) {
      if (!found(i + 1 - m)) return;
      j = failure[m - 1];
    }
  }
}

}  // namespace

APMPCanonicalSearch::APMPCanonicalSearch(std::u16string_view haystack, std::u16string_view needle)
    : haystack_(haystack), needle_(needle), plain_(plainText(haystack) && plainText(needle)) {
  if (plain_) {
    if (needle_.size() > kShortNeedle) failure_ = failureTable(needle_);
    return;
  }
  UErrorCode status = U_ZERO_ERROR;
  const icu::Normalizer2* nfd = icu::Normalizer2::getNFDInstance(status);
  if (U_FAILURE(status)) {
    // Without normalization data the texts can only be compared as they stand.
    plain_ = true;
    failure_ = failureTable(needle_);
    return;
  }
  const icu::UnicodeString n = decomposed(needle);
  needle_.assign(n.getBuffer(), static_cast<std::size_t>(n.length()));
  failure_ = failureTable(needle_);
  // Segments start where the normalizer has a boundary: the NFD of the whole text is then the
  // NFD of each segment in turn, and segment starts are the character boundaries.
  icu::UnicodeString mapping;
  std::size_t i = 0;
  while (i < haystack.size()) {
    std::size_t end = i;
    UChar32 first;
    U16_NEXT(haystack.data(), end, haystack.size(), first);
    const std::size_t firstEnd = end;
    while (end < haystack.size()) {
      UChar32 following;
      std::size_t peek = end;
      U16_NEXT(haystack.data(), peek, haystack.size(), following);
      if (nfd->hasBoundaryBefore(following)) break;
      end = peek;
    }
    nfdStart_.push_back(nfd_.size());
    start_.push_back(i);
    if (end == firstEnd) {
      // One code point (the common case): its own decomposition, without normalizing a string.
      if (nfd->getDecomposition(first, mapping)) {
        nfd_.append(mapping.getBuffer(), static_cast<std::size_t>(mapping.length()));
      } else {
        nfd_.append(haystack.substr(i, end - i));
      }
    } else {
      const icu::UnicodeString piece = decomposed(haystack.substr(i, end - i));
      nfd_.append(piece.getBuffer(), static_cast<std::size_t>(piece.length()));
    }
    i = end;
  }
  nfdStart_.push_back(nfd_.size());
  start_.push_back(haystack.size());
}

std::optional<APMPTextMatch> APMPCanonicalSearch::next(std::size_t from) const {
  if (needle_.empty()) return std::nullopt;
  std::optional<APMPTextMatch> match;
  if (plain_) {
    if (needle_.size() <= kShortNeedle) {
      const std::size_t at = haystack_.find(needle_, from);
      if (at == std::u16string_view::npos) return std::nullopt;
      return APMPTextMatch{at, needle_.size()};
    }
    scanMatches(haystack_, from, needle_, failure_, [&](std::size_t at) {
      match = APMPTextMatch{at, needle_.size()};
      return false;
    });
    return match;
  }
  // From the first segment starting at or after `from`: the first occurrence in the NFD form
  // that starts and ends on segment boundaries.
  const auto seg = std::lower_bound(start_.begin(), start_.end() - 1, from);
  const std::size_t pos = nfdStart_[static_cast<std::size_t>(seg - start_.begin())];
  scanMatches(nfd_, pos, needle_, failure_, [&](std::size_t at) {
    match = onBoundaries(at);
    return !match;
  });
  return match;
}

std::optional<APMPTextMatch> APMPCanonicalSearch::last(std::size_t from, std::size_t limit) const {
  if (needle_.empty()) return std::nullopt;
  if (plain_ && needle_.size() <= kShortNeedle) {
    if (limit < needle_.size()) return std::nullopt;
    const std::size_t at = haystack_.substr(0, limit).rfind(needle_, from);
    if (at == std::u16string_view::npos) return std::nullopt;
    return APMPTextMatch{at, needle_.size()};
  }
  // Forward over the matches, in one pass: the last one that fits wins.
  std::optional<APMPTextMatch> best;
  auto consider = [&](const APMPTextMatch& m) {
    if (m.start > from) return false;
    if (m.start + m.length <= limit) best = m;
    return true;
  };
  if (plain_) {
    scanMatches(haystack_.substr(0, limit), 0, needle_, failure_, [&](std::size_t at) {
      return consider(APMPTextMatch{at, needle_.size()});
    });
    return best;
  }
  scanMatches(nfd_, 0, needle_, failure_, [&](std::size_t at) {
    const auto m = onBoundaries(at);
    return !m || consider(*m);
  });
  return best;
}

std::optional<APMPTextMatch> APMPCanonicalSearch::onBoundaries(std::size_t at) const {
  const auto b = std::lower_bound(nfdStart_.begin(), nfdStart_.end(), at);
  const auto e = std::lower_bound(b, nfdStart_.end(), at + needle_.size());
  if (b == nfdStart_.end() || *b != at || e == nfdStart_.end() || *e != at + needle_.size()) {
    return std::nullopt;
  }
  const std::size_t s = start_[static_cast<std::size_t>(b - nfdStart_.begin())];
  const std::size_t t = start_[static_cast<std::size_t>(e - nfdStart_.begin())];
  return APMPTextMatch{s, t - s};
}
