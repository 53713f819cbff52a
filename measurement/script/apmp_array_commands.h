// The built-in methods of script arrays ("concat" to "unshift"), reached when an array has no own
// property of the called name. Every position counts from 0 and the length is the slot count.
//
// Callbacks may change the receiver while a method runs: an iteration reads the length once,
// re-checks every index before it reads it and keeps no reference into the slot storage. Native
// loops check the run's deadline; new arrays go through the scope's object manager and respect
// the length bound and the run's allowance.
// The shared evaluator holds no mutable state; calls come from the runtime's thread.
#pragma once

#include <string>
#include <unordered_map>

#include "measurement/script/apmp_array_value.h"

class APMPScope;

class APMPArrayCommandEvaluator {
 public:
  using Handler = APMPValueRef (*)(APMPArrayValue& array, const APMPValueList& values,
                                   APMPScope& scope, APMPContext& ctx);

  static const APMPArrayCommandEvaluator& sharedInstance();

  // Unknown name: 17. Otherwise evaluates `arguments` left to right and runs the method.
  APMPValueRef evaluateCommand(const std::u16string& name, APMPArrayValue& array,
                               const APMPValueList& arguments, APMPScope& scope,
                               APMPContext& ctx) const;
  bool hasCommand(const std::u16string& name) const { return handlers_.count(name) != 0; }

 private:
  APMPArrayCommandEvaluator();
  std::unordered_map<std::u16string, Handler> handlers_;
};
