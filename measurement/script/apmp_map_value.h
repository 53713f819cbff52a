// Script objects: named properties only. Keys arrive as texts (the commands take a key value's
// string form first). After a collection has swept a map, it behaves as an empty one.
// Used on the runtime's thread; tracked by the object manager when made by its factories.
#pragma once

#include <optional>
#include <string>

#include "measurement/script/apmp_property_map.h"
#include "measurement/script/apmp_runtime_value.h"

class APMPMapValue : public APMPRuntimeValue, public APMPPropertyOwner {
 public:
  APMPMapValue() : APMPRuntimeValue(Kind::Map) { setTraceable(); }

  std::u16string stringValueOrError(APMPContext&) const override {
    return std::u16string(APMPMapValueToString);
  }
  double doubleValueOrError(APMPContext&) const override;
  bool booleanValueOrError(APMPContext&) const override { return true; }

  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             APMPScope& scope, APMPContext& ctx) override;

  APMPPropertyMap& mutableProperties() { return properties_; }

  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;
  void mark(APMPMarker& marker) const override { properties_.mark(marker); }
  void sweep() override { properties_.clear(); }
};

// The first step of a method call on arrays, maps and functions: an own property of that name
// holding a function is called (its result returned); one holding anything else fails with 17
// (undefined). None when there is no such property.
std::optional<APMPValueRef> APMPCallOwnProperty(const APMPPropertyMap& properties,
                                                const std::u16string& name,
                                                const APMPValueList& arguments, APMPScope& scope,
                                                APMPContext& ctx);

// The method-call rule shared by maps and functions: an own property holding a function is
// called; "hasOwnProperty"; else the base rule. `self` is the receiver.
APMPValueRef APMPApplyOwnPropertyMethod(APMPRuntimeValue& self, const APMPPropertyMap& properties,
                                        const std::u16string& name, const APMPValueList& arguments,
                                        APMPScope& scope, APMPContext& ctx);
