// Script arrays: a list of element slots (holes where nothing was stored) plus named properties.
// A key means the length ("length" as a string value), an element index (a number or string value
// whose number is a finite whole number >= 0) or else a property named by its string form.
// The length is bounded: growing past APMPMaxArrayLength slots fails with code 11 before any
// allocation. After a collection has swept an array, it behaves as an empty one.
// Used on the runtime's thread; tracked by the object manager when made by its factories.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "measurement/script/apmp_property_map.h"
#include "measurement/script/apmp_runtime_value.h"

class APMPFunctionValue;

class APMPArrayValue final : public APMPRuntimeValue {
 public:
  APMPArrayValue() : APMPArrayValue(APMPValueList{}) {}
  explicit APMPArrayValue(APMPValueList elements)
      : APMPRuntimeValue(Kind::Array), elements_(std::move(elements)) {
    setTraceable();
  }
  // The hole marker.
  static const APMPValueRef& emptyValue() { return APMPHoleValue(); }

  // The join: holes, undefined and null contribute nothing; an array already being joined (a
  // cycle) contributes nothing either.
  std::u16string stringValueWithSeparator(std::u16string_view separator, APMPContext& ctx) const;
  std::u16string stringValueOrError(APMPContext& ctx) const override;
  double doubleValueOrError(APMPContext& ctx) const override;
  bool booleanValueOrError(APMPContext&) const override { return true; }

  // Grows with holes or truncates; false (code 11) past the length bound.
  bool setLength(std::uint64_t n, APMPContext& ctx);
  void setValue(const APMPValueRef& value, const APMPRuntimeValue& key, APMPContext& ctx);
  APMPValueRef valueForProperty(const APMPRuntimeValue& key, APMPContext& ctx) const;
  std::size_t count() const { return elements_.size(); }
  // Property names first, then the indices of the slots that are not holes, as string values.
  APMPValueList allPropertyNames() const;
  bool hasProperty(const APMPRuntimeValue& key, APMPContext& ctx) const;
  // The slots with every hole read as undefined.
  APMPValueList allElements() const;
  // The slots as they are (holes included).
  const APMPValueList& elements() const { return elements_; }
  const APMPPropertyMap& properties() const { return properties_; }

  APMPValueRef applyWithName(const std::u16string& name, const APMPValueList& arguments,
                             APMPScope& scope, APMPContext& ctx) override;

  // A new, untracked array over a copy of the clamped range (holes stay holes).
  APMPRef<APMPArrayValue> subarrayWithRange(std::size_t location, std::size_t length) const;
  // Sorts in place; a comparison error is kept until the sort has completed.
  void sortUsingFunctionValue(APMPFunctionValue* compare, APMPScope& scope, APMPContext& ctx);
  APMPValueList spliceFrom(std::int64_t start, std::int64_t deleteCount,
                           const APMPValueList& values, APMPContext& ctx);
  void concat(const APMPValueRef& value, APMPContext& ctx);
  void reverse();
  APMPValueRef removeFirstElement();
  APMPValueRef removeLastElement();
  std::size_t appendElements(const APMPValueList& values, APMPContext& ctx);
  std::size_t prependElements(const APMPValueList& values, APMPContext& ctx);
  std::int64_t indexOfValue(const APMPRuntimeValue& value, std::size_t fromIndex,
                            APMPContext& ctx) const;
  std::int64_t lastIndexOfValue(const APMPRuntimeValue& value, std::size_t fromIndex,
                                APMPContext& ctx) const;

  bool isEqualToRuntimeValue(const APMPRuntimeValue& other, APMPContext& ctx) const override;
  void mark(APMPMarker& marker) const override;
  void sweep() override;

 private:
  // Room for `extra` more slots: false (code 11) past the bound, else charged to the run.
  bool reserveGrowth(std::uint64_t newLength, APMPContext& ctx);

  APMPPropertyMap properties_;
  APMPValueList elements_;
};
