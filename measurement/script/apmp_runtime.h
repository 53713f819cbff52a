// The script runtime: the root scope (which reads the instruction count), the global scope
// (with "require" and every top-level declaration of the programs), the module registry and the
// object manager. The instruction budget is counted natively here and shared by every run until
// `resetInstructionCount`; the other bounds of a run live in its APMPContext.
//
// Not thread-safe: one runtime is used on one thread (the measurement worker queue).
// Destroying it empties every value it still tracks, which frees every cycle among them.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "measurement/messages/message_info.h"

#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_runtime_value.h"
#include "measurement/script/apmp_scope.h"

class APMPRuntime {
 public:
  APMPRuntime();
  ~APMPRuntime();
  APMPRuntime(const APMPRuntime&) = delete;
  APMPRuntime& operator=(const APMPRuntime&) = delete;

  static std::int64_t runtimeVersion() { return APMPRuntimeVersion; }

  // Registers (or, with an empty creator, removes) a module creator behind "require".
  void setModuleCreator(APMPDynamicProvider::Creator creator, const std::u16string& name);

  // Runs top-level instructions in the global scope, one at a time; stops at the first error
  // (undefined). Otherwise the value of the last one (a control value does not stop the run).
  APMPValueRef executeStatements(const APMPValueList& statements, APMPContext& ctx);
  // The same for a program's RuntimeEntity records: each is converted just before it runs, so
  // the declarations of earlier instructions exist when later ones are converted and run.
  APMPValueRef executeStatements(const std::vector<const MessageInfo*>& entities, APMPContext& ctx);

  // A new child of the global scope, for one handled event.
  APMPRef<APMPScope> getRunScope();

  void resetInstructionCount() { instructionCount_ = 0; }
  std::uint32_t instructionCount() const { return instructionCount_; }

  APMPScope& initialScope() const { return *initScope_; }
  APMPScope& globalScope() const { return *globalScope_; }
  APMPObjectManager& objectManager() { return *objectManager_; }

  void addGarbageCollectionRoot(std::weak_ptr<const APMPGarbageCollectionRoot> root);
  void collectGarbage() { objectManager_->collectGarbage(); }

 private:
  friend class APMPContext;
  // Counts one evaluation; false once the budget is spent (the count then stays).
  bool countInstruction() {
    if (instructionCount_ >= APMPInstructionCountHardLimit) return false;
    ++instructionCount_;
    return true;
  }

  // Declared first, destroyed last: it must outlive every scope and value it tracks.
  std::unique_ptr<APMPObjectManager> objectManager_;
  APMPRef<APMPScope> initScope_;
  APMPRef<APMPScope> globalScope_;
  std::shared_ptr<APMPDynamicProvider> apiProvider_;
  std::uint32_t instructionCount_ = 0;
};
