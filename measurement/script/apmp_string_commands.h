// The built-in methods of script strings ("charAt" to "trim"). Every position counts UTF-16 code
// units. Plain-text searches (indexOf, lastIndexOf, replace, split) are canonical searches
// (apmp_text.h). Patterns are ICU regular expressions compiled per call with no options and
// bounded in time and stack: a pattern that fails to compile or hits a bound fails the call with
// ICU's error (APMPRegexErrorDomain). Results respect the length bound and the run's allowance.
// The shared evaluator holds no mutable state; calls come from the runtime's thread.
#pragma once

#include <string>
#include <unordered_map>

#include "measurement/script/apmp_runtime_value.h"

class APMPScope;

// The locale of the locale-aware case mappings: LC_ALL, else LC_CTYPE, else LANG, without its
// encoding and modifier ("tr_TR.UTF-8" gives "tr_TR"). "C", "POSIX" and nothing give "" (root).
std::string APMPCurrentLocaleIdentifier();

// Case mappings of `text` in `locale` ("" is the root locale); a result past the length bound
// fails with 18.
std::u16string APMPToUpperCase(const std::u16string& text, const char* locale, APMPContext& ctx);
std::u16string APMPToLowerCase(const std::u16string& text, const char* locale, APMPContext& ctx);

class APMPStringCommandEvaluator {
 public:
  using Handler = APMPValueRef (*)(const std::u16string& text, const APMPValueList& values,
                                   APMPScope& scope, APMPContext& ctx);

  static const APMPStringCommandEvaluator& sharedInstance();

  // Unknown name: 17. Otherwise evaluates `arguments` left to right and runs the method.
  APMPValueRef evaluateCommand(const std::u16string& name, const std::u16string& text,
                               const APMPValueList& arguments, APMPScope& scope,
                               APMPContext& ctx) const;

 private:
  APMPStringCommandEvaluator();
  std::unordered_map<std::u16string, Handler> handlers_;
};
