#include "measurement/script/apmp_scope.h"

#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_runtime.h"

APMPScope::APMPScope(APMPRef<APMPScope> parent) : parent_(std::move(parent)) {
  setTraceable();
}

APMPScope::~APMPScope() = default;

APMPRef<APMPScope> APMPScope::createChildScope() {
  auto child = APMPMake<APMPScope>(APMPRef<APMPScope>(this));
  if (APMPObjectManager* manager = trackingManager()) manager->addObject(child.get());
  return child;
}

APMPObjectManager* APMPScope::objectManager() const {
  return trackingManager();
}

bool APMPScope::holdsOwn(const std::u16string& name) const {
  return isCounterName(name) || contents_.hasName(name);
}

bool APMPScope::hasName(const std::u16string& name) const {
  for (const APMPScope* s = this; s; s = s->parent_.get()) {
    if (s->holdsOwn(name)) return true;
  }
  return false;
}

APMPValueRef APMPScope::valueForName(const std::u16string& name) const {
  for (const APMPScope* s = this; s; s = s->parent_.get()) {
    if (s->isCounterName(name)) {
      return APMPNumberValue::make(static_cast<double>(s->counterOwner_->instructionCount()));
    }
    if (const APMPValueRef* v = s->contents_.find(name)) return *v;
  }
  return APMPUndefined();
}

void APMPScope::setValue(APMPValueRef value, const std::u16string& name) {
  for (APMPScope* s = this; s; s = s->parent_.get()) {
    if (s->isCounterName(name)) return;  // a constant: the write is ignored
    if (s->contents_.hasName(name)) {
      s->contents_.setValue(std::move(value), name);
      return;
    }
  }
  contents_.setValue(std::move(value), name);
}

void APMPScope::addValue(APMPValueRef value, const std::u16string& name) {
  if (isCounterName(name)) return;
  contents_.setValue(std::move(value), name);
}

void APMPScope::addImmutableValue(APMPValueRef value, const std::u16string& name) {
  if (isCounterName(name)) return;
  contents_.setImmutableValue(std::move(value), name);
}

void APMPScope::mark(APMPMarker& marker) const {
  contents_.mark(marker);
  marker.visit(parent_.get());
}

void APMPScope::sweep() {
  contents_.clear();
}
