#include "measurement/script/apmp_object_manager.h"

#include <atomic>
#include <new>
#include <unordered_set>

#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_scope.h"

namespace {

// Epochs are unique across runtimes, so a mark of one collection never looks current to another.
std::atomic<std::uint64_t> g_epoch{0};

constexpr std::size_t kCompoundBytes = 96;

}  // namespace

void APMPMarker::drain() {
  while (!stack_.empty()) {
    const APMPCell* cell = stack_.back();
    stack_.pop_back();
    cell->mark(*this);
  }
}

APMPObjectManager::~APMPObjectManager() {
  // Every cell still tracked drops what it holds, which frees every remaining cycle; cells that
  // something outside still holds stay alive, emptied and no longer tracked.
  std::vector<APMPRef<APMPCell>> cells;
  cells.reserve(tracked_.size());
  for (APMPCell* cell : tracked_) {
    cell->manager_ = nullptr;
    cells.emplace_back(cell);
  }
  tracked_.clear();
  for (auto& cell : cells)
    cell->sweep();
}

void APMPObjectManager::addRoot(std::weak_ptr<const APMPGarbageCollectionRoot> root) {
  if (!root.expired()) roots_.push_back(std::move(root));
}

void APMPObjectManager::addObject(APMPCell* cell) {
  if (!cell || cell->manager_) return;
  cell->manager_ = this;
  cell->trackIndex_ = static_cast<std::uint32_t>(tracked_.size());
  tracked_.push_back(cell);
}

void APMPObjectManager::removeObject(APMPCell* cell) {
  const std::uint32_t i = cell->trackIndex_;
  APMPCell* last = tracked_.back();
  tracked_[i] = last;
  last->trackIndex_ = i;
  tracked_.pop_back();
  cell->manager_ = nullptr;
}

void APMPObjectManager::collectGarbage() {
  const std::uint64_t epoch = ++g_epoch;
  APMPMarker marker(epoch);
  try {
    for (const APMPCell* root : rootCells_) {
      marker.visit(root);
    }
    for (const auto& weak : roots_) {
      if (auto root = weak.lock()) root->mark(marker);
    }
    marker.drain();
  } catch (const std::bad_alloc&) {
    // Marking could not finish: sweeping now would empty reachable values. Skip this collection.
    return;
  }

  // Hold every unreached cell first: emptying one may free others, which leave the list.
  std::vector<APMPRef<APMPCell>> unreached;
  try {
    for (APMPCell* cell : tracked_) {
      if (!marker.isMarked(cell)) unreached.emplace_back(cell);
    }
  } catch (const std::bad_alloc&) {
    return;  // nothing emptied yet
  }
  for (auto& cell : unreached)
    cell->sweep();
  unreached.clear();
  std::erase_if(roots_, [](const auto& weak) { return weak.expired(); });
}

std::size_t APMPObjectManager::trackedValueCount() const {
  std::size_t n = 0;
  for (const APMPCell* cell : tracked_) {
    if (dynamic_cast<const APMPRuntimeValue*>(cell)) ++n;
  }
  return n;
}

std::size_t APMPObjectManager::liveValueBytes() const {
  constexpr std::size_t kSlotBytes = 32;
  constexpr std::size_t kSharedTextUnits = 256;  // shorter texts are counted at every use
  std::unordered_set<const APMPRuntimeValue*> longTexts;
  std::size_t bytes = 0;
  const auto slot = [&](const APMPValueRef& value) {
    bytes += kSlotBytes;
    if (!value || !value->isString()) return;
    const std::size_t units = APMPAs<APMPStringValue>(*value).value().size();
    if (units < kSharedTextUnits || longTexts.insert(value.get()).second) bytes += units * 2;
  };
  const auto named = [&](const std::u16string& name, const APMPValueRef& value) {
    bytes += name.size() * 2;
    slot(value);
  };
  for (const APMPCell* cell : tracked_) {
    bytes += kCompoundBytes;
    if (const auto* array = dynamic_cast<const APMPArrayValue*>(cell)) {
      for (const APMPValueRef& element : array->elements())
        slot(element);
    } else if (const auto* map = dynamic_cast<const APMPMapValue*>(cell)) {
      map->properties().forEach(named);
    } else if (const auto* function = dynamic_cast<const APMPFunctionValue*>(cell)) {
      function->properties().forEach(named);
    } else if (const auto* scope = dynamic_cast<const APMPScope*>(cell)) {
      scope->contents().forEach(named);
    }
  }
  return bytes;
}

APMPRef<APMPFunctionValue> APMPObjectManager::functionValueWithFunctionName(
    std::u16string name, std::vector<std::u16string> parameterNames, APMPValueList statements,
    APMPScope& definingScope, APMPContext& ctx) {
  ctx.charge(kCompoundBytes);
  auto function =
      APMPMake<APMPFunctionValue>(std::move(name), std::move(parameterNames), std::move(statements),
                                  APMPRef<APMPScope>(&definingScope));
  if (auto* manager = definingScope.objectManager()) manager->addObject(function.get());
  return function;
}

APMPRef<APMPMapValue> APMPObjectManager::mapValueWithScope(APMPScope& scope, APMPContext& ctx) {
  ctx.charge(kCompoundBytes);
  auto map = APMPMake<APMPMapValue>();
  if (auto* manager = scope.objectManager()) manager->addObject(map.get());
  return map;
}

APMPRef<APMPArrayValue> APMPObjectManager::arrayValueWithScope(APMPScope& scope, APMPContext& ctx) {
  return arrayValueWithArray({}, scope, ctx);
}

APMPRef<APMPArrayValue> APMPObjectManager::arrayValueWithArray(APMPValueList values,
                                                               APMPScope& scope, APMPContext& ctx) {
  ctx.charge(kCompoundBytes + values.size() * sizeof(APMPValueRef));
  auto array = APMPMake<APMPArrayValue>(std::move(values));
  if (auto* manager = scope.objectManager()) manager->addObject(array.get());
  return array;
}

APMPRef<APMPArrayValue> APMPObjectManager::subarrayWithArray(const APMPArrayValue& array,
                                                             std::size_t location,
                                                             std::size_t length, APMPScope& scope,
                                                             APMPContext& ctx) {
  auto sub = array.subarrayWithRange(location, length);
  ctx.charge(kCompoundBytes + sub->count() * sizeof(APMPValueRef));
  if (auto* manager = scope.objectManager()) manager->addObject(sub.get());
  return sub;
}
