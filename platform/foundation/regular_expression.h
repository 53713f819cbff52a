// RegularExpression: a compiled pattern in ICU syntax. Stands in for the platform's regular
// expression class, for the few fixed patterns our code searches text with.
//
// Immutable once made; every search works on a private clone of the compiled pattern, so one
// expression may be searched from any thread. Searches are bounded in time and stack, so a
// pattern cannot hang its caller on a hostile text.
#pragma once

#include <memory>
#include <string>
#include <string_view>

namespace platform {

class RegularExpression {
 public:
  // Null when ICU refuses the pattern; *error (when given) then names ICU's reason.
  static std::shared_ptr<const RegularExpression> make(std::string_view pattern,
                                                       std::string* error = nullptr);
  ~RegularExpression();
  RegularExpression(const RegularExpression&) = delete;
  RegularExpression& operator=(const RegularExpression&) = delete;

  const std::string& pattern() const { return pattern_; }
  // Whether the pattern matches anywhere in `text` (UTF-8). False also when the text is not
  // valid UTF-8 or the search ran out of its time or stack budget.
  bool findsMatchIn(std::string_view text) const;

 private:
  struct Compiled;
  RegularExpression(std::string pattern, std::unique_ptr<Compiled> compiled);

  std::string pattern_;
  std::unique_ptr<Compiled> compiled_;
};

}  // namespace platform
