// Breaks the reference cycles among arrays, maps, functions and scopes by mark and sweep.
//
// The manager tracks (without owning) every compound value made through its factories and every
// scope of its runtime. A collection marks everything reachable from the roots, following every
// reference: through untracked natives and module objects too, and through every enclosing scope
// of a live closure, so nothing reachable is ever emptied. Marking uses an explicit stack. The
// sweep then makes each tracked cell that marking missed drop every reference it holds, and
// reference counting frees the cycles. Collections run between script runs (never during one).
//
// Owned by its runtime and used on the runtime's thread. Destroying the manager sweeps every cell
// it still tracks, so no cycle outlives the runtime.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "measurement/script/apmp_cell.h"
#include "measurement/script/apmp_runtime_value.h"

class APMPArrayValue;
class APMPMapValue;
class APMPFunctionValue;
class APMPScope;

// Hands reachable cells to the collection.
class APMPMarker {
 public:
  explicit APMPMarker(std::uint64_t epoch) : epoch_(epoch) {}
  // Marks `cell` (if it is compound and not yet marked) and queues it for tracing.
  void visit(const APMPCell* cell) {
    if (!cell || !cell->traceable_ || cell->markEpoch_ == epoch_) return;
    cell->markEpoch_ = epoch_;
    stack_.push_back(cell);
  }
  // Traces until every queued cell has handed over what it holds.
  void drain();
  bool isMarked(const APMPCell* cell) const { return cell->markEpoch_ == epoch_; }

 private:
  std::uint64_t epoch_;
  std::vector<const APMPCell*> stack_;
};

// A root of marking registered from outside (the editing callback registry).
class APMPGarbageCollectionRoot {
 public:
  virtual ~APMPGarbageCollectionRoot() = default;
  virtual void mark(APMPMarker& marker) const = 0;
};

class APMPObjectManager {
 public:
  APMPObjectManager() = default;
  ~APMPObjectManager();
  APMPObjectManager(const APMPObjectManager&) = delete;
  APMPObjectManager& operator=(const APMPObjectManager&) = delete;

  // Factories: the value is registered with the object manager of `scope` (none: untracked).
  // The context, where given, is charged for the allocation.
  static APMPRef<APMPFunctionValue>
  functionValueWithFunctionName(std::u16string name, std::vector<std::u16string> parameterNames,
                                APMPValueList statements, APMPScope& definingScope,
                                APMPContext& ctx);
  static APMPRef<APMPMapValue> mapValueWithScope(APMPScope& scope, APMPContext& ctx);
  static APMPRef<APMPArrayValue> arrayValueWithScope(APMPScope& scope, APMPContext& ctx);
  static APMPRef<APMPArrayValue> arrayValueWithArray(APMPValueList values, APMPScope& scope,
                                                     APMPContext& ctx);
  static APMPRef<APMPArrayValue> subarrayWithArray(const APMPArrayValue& array,
                                                   std::size_t location, std::size_t length,
                                                   APMPScope& scope, APMPContext& ctx);

  // A root held by its owner elsewhere; ignored once it is gone.
  void addRoot(std::weak_ptr<const APMPGarbageCollectionRoot> root);
  // A root cell owned by the runtime itself (its scopes), which outlive the manager's use.
  void addRootCell(const APMPCell* cell) { rootCells_.push_back(cell); }
  // Starts tracking `cell` (ignored when null or already tracked by a manager).
  void addObject(APMPCell* cell);
  void removeObject(APMPCell* cell);

  void collectGarbage();

  std::size_t trackedCount() const { return tracked_.size(); }
  // Tracked cells that are script values (arrays, maps, functions), not scopes.
  std::size_t trackedValueCount() const;
  // An estimate of the memory the tracked cells hold: each cell, each slot or name it has and
  // each text it refers to (a long text shared by several slots counts once). Right after a
  // collection that is what the runtime keeps alive.
  std::size_t liveValueBytes() const;

 private:
  std::vector<const APMPCell*> rootCells_;
  std::vector<std::weak_ptr<const APMPGarbageCollectionRoot>> roots_;
  std::vector<APMPCell*> tracked_;
};
