// Builders for program trees in tests: statements and literals without the wire format.
#pragma once

#include <initializer_list>
#include <string>

#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_runtime_value.h"

namespace apmp_test {

inline APMPValueRef num(double d) {
  return APMPNumberValue::make(d);
}
inline APMPValueRef str(const std::u16string& s) {
  return APMPStringValue::make(s);
}
inline APMPValueRef boolean(bool b) {
  return APMPBoolean(b);
}
inline APMPValueRef op(const std::u16string& name, APMPValueList args = {}) {
  return APMPMake<APMPStatementValue>(name, std::move(args));
}
inline APMPValueRef op(int code, APMPValueList args = {}) {
  return op(
      std::u16string(u"") +
          [code] {
            std::u16string s;
            for (char c : std::to_string(code))
              s.push_back(static_cast<char16_t>(c));
            return s;
          }(),
      std::move(args));
}

inline std::string ascii(const std::u16string& s) {
  return std::string(s.begin(), s.end());
}

}  // namespace apmp_test
