// Values that carry code: functions (script closures, and through subclasses native functions
// and module objects), statements (one unevaluated node of a program tree) and control signals
// (break, continue, return). Also the module registry behind "require" and the natives that the
// runtime itself installs ("require", the "internal.platform" module and its "getVersion").
// Used on the runtime's thread.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "measurement/script/apmp_property_map.h"
#include "measurement/script/apmp_runtime_value.h"
#include "platform/core/value.h"

class APMPScope;

class APMPFunctionValue : public APMPRuntimeValue, public APMPPropertyOwner {
 public:
  APMPFunctionValue(std::u16string functionName, std::vector<std::u16string> parameterNames,
                    APMPValueList statements, APMPRef<APMPScope> definingScope);
  ~APMPFunctionValue() override;

  const std::u16string& functionName() const { return functionName_; }
  const std::vector<std::u16string>& parameterNames() const { return parameters_; }

  std::u16string stringValueOrError(APMPContext&) const override { return functionName_; }
  double doubleValueOrError(APMPContext&) const override;
  bool booleanValueOrError(APMPContext&) const override { return true; }

  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             APMPScope& scope, APMPContext& ctx) override;
  // The road of every call: evaluates the operands in the caller's scope, then runs the body.
  virtual APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                           APMPContext& ctx);
  virtual APMPValueRef invokeWithEvaluatedArguments(const APMPValueList& values, APMPContext& ctx);

  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;
  void mark(APMPMarker& marker) const override;
  void sweep() override;

 protected:
  // Natives: no parameters, no statements, a new parentless scope.
  explicit APMPFunctionValue(std::u16string functionName);
  APMPPropertyMap& mutableProperties() { return properties_; }

 private:
  std::u16string functionName_;
  std::vector<std::u16string> parameters_;
  APMPValueList statements_;
  APMPRef<APMPScope> definingScope_;
};

class APMPStatementValue final : public APMPRuntimeValue {
 public:
  // The opcode is resolved here, once: only the exact decimal text of an assigned code is one.
  APMPStatementValue(std::u16string functionName, APMPValueList arguments);

  const std::u16string& functionName() const { return functionName_; }
  const APMPValueList& arguments() const { return arguments_; }
  // The command's code, or -1 for the name of a script function.
  int opcode() const { return opcode_; }

  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;

 private:
  const std::u16string functionName_;
  const APMPValueList arguments_;
  const int opcode_;
};

inline constexpr std::u16string_view APMPControlTypeBreak = u"break";
inline constexpr std::u16string_view APMPControlTypeContinue = u"continue";
inline constexpr std::u16string_view APMPControlTypeReturn = u"return";

class APMPControlValue final : public APMPRuntimeValue {
 public:
  APMPControlValue(std::u16string type, APMPValueRef data);

  static const APMPValueRef& breakValue();
  static const APMPValueRef& continueValue();
  static APMPValueRef returnValueWithData(APMPValueRef data);

  const std::u16string& type() const { return type_; }
  const APMPValueRef& data() const { return data_; }
  bool isBreak() const { return type_ == APMPControlTypeBreak; }
  bool isContinue() const { return type_ == APMPControlTypeContinue; }
  bool isReturn() const { return type_ == APMPControlTypeReturn; }

  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;

 private:
  // An immortal signal without data, shared by every runtime.
  static APMPValueRef sharedSignal(std::u16string_view type);

  const std::u16string type_;
  const APMPValueRef data_;
};

// Module name -> creator. A creator makes a new module value each time it runs, or none.
class APMPDynamicProvider {
 public:
  using Creator = std::function<APMPValueRef()>;
  // An empty creator removes the name.
  void setModuleCreator(Creator creator, const std::u16string& name);
  // Undefined without error for a name without a creator; code 15 when the creator gives none.
  APMPValueRef moduleForName(const std::u16string& name, APMPContext& ctx) const;

 private:
  std::map<std::u16string, Creator> creators_;
};

inline constexpr std::u16string_view APMPFunctionNameRequire = u"require";
inline constexpr std::u16string_view APMPEModulePlatform = u"internal.platform";
inline constexpr std::int64_t APMPRuntimeVersion = 0;

// A native function that turns a platform object into a script value each time it is called; the
// arguments are ignored. The maps and arrays it makes belong to the caller's object manager.
class APMPObjectProvider final : public APMPFunctionValue {
 public:
  using Block = std::function<platform::Value()>;
  APMPObjectProvider(std::u16string name, Block block);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                   APMPContext& ctx) override;

 private:
  Block objectProviderBlock_;
};

// "require": one module value per name and runtime, cached.
class APMPRequire final : public APMPFunctionValue {
 public:
  explicit APMPRequire(std::shared_ptr<const APMPDynamicProvider> provider);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                   APMPContext& ctx) override;
  void mark(APMPMarker& marker) const override;
  void sweep() override;

 private:
  std::shared_ptr<const APMPDynamicProvider> provider_;
  std::map<std::u16string, APMPValueRef> modules_;
};

// "getVersion" of the platform module: the runtime version.
class APMPFunctionGetVersion final : public APMPFunctionValue {
 public:
  APMPFunctionGetVersion() : APMPFunctionValue(u"getVersion") {}
  APMPValueRef invokeWithArguments(const APMPValueList&, APMPScope&, APMPContext&) override;
};

// The "internal.platform" module: a function value carrying "getVersion"; calling it does nothing.
class APMPRuntimePlatform final : public APMPFunctionValue {
 public:
  APMPRuntimePlatform();
  APMPValueRef invokeWithArguments(const APMPValueList&, APMPScope&, APMPContext&) override;
};
