// One lexical scope: names bound to values, with constants, and a parent that is held strongly.
// Lookups and assignments walk outward; declarations write this scope's own contents only.
//
// The root scope of a runtime holds "runtime.counter" as a constant whose value reads the
// runtime's native instruction count: assigning it changes nothing, and declarations of the same
// name in other scopes only shadow it. Scopes of a runtime are tracked by its object manager;
// the parentless scopes of natives are not. Used on the runtime's thread.
#pragma once

#include <string>

#include "measurement/script/apmp_cell.h"
#include "measurement/script/apmp_property_map.h"
#include "measurement/script/apmp_runtime_value.h"

class APMPObjectManager;
class APMPRuntime;

class APMPScope final : public APMPCell {
 public:
  explicit APMPScope(APMPRef<APMPScope> parent);
  ~APMPScope() override;

  // A new scope whose parent is this one, tracked by this scope's object manager.
  APMPRef<APMPScope> createChildScope();
  const APMPRef<APMPScope>& parentScope() const { return parent_; }

  bool hasName(const std::u16string& name) const;
  // Undefined for a name that no scope of the chain holds.
  APMPValueRef valueForName(const std::u16string& name) const;
  // Writes into the nearest scope that holds the name (a constant stays unchanged), else
  // declares it here.
  void setValue(APMPValueRef value, const std::u16string& name);
  // Declares (or redeclares) the name here; a constant of that name here stays unchanged.
  void addValue(APMPValueRef value, const std::u16string& name);
  // Declares the name here as a constant; an existing constant keeps its value.
  void addImmutableValue(APMPValueRef value, const std::u16string& name);

  // The object manager that tracks this scope, none for untracked scopes.
  APMPObjectManager* objectManager() const;
  // Makes this (parentless) scope the one that reads the runtime's instruction count.
  void setCounterOwner(const APMPRuntime* runtime) { counterOwner_ = runtime; }

  // This scope's own names (not its parents').
  const APMPPropertyMap& contents() const { return contents_; }

  void mark(APMPMarker& marker) const override;
  void sweep() override;

 private:
  bool holdsOwn(const std::u16string& name) const;
  bool isCounterName(const std::u16string& name) const {
    return counterOwner_ && name == APMPInstructionCounterVariableName;
  }

  APMPRef<APMPScope> parent_;
  APMPPropertyMap contents_;
  const APMPRuntime* counterOwner_ = nullptr;
};
