// The storage base of every script value and scope: an intrusive, non-atomic reference count, the
// bookkeeping of the object manager (tracking slot and mark epoch) and the release path.
//
// Releasing never recurses natively: a cell whose count drops to zero while another cell is being
// destroyed on this thread is queued, and the outermost release deletes the queue one cell at a
// time. So tearing down an array nested a million deep costs a loop, not a million stack frames.
//
// Shared instances (undefined, null, true, false, the hole marker, the break and continue
// signals) are immortal: their count is never touched, so they can be shared by runtimes on
// different threads. Everything else belongs to one runtime and is used by one thread at a time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>
#include <utility>

class APMPObjectManager;
class APMPMarker;

class APMPCell {
 public:
  APMPCell() = default;
  APMPCell(const APMPCell&) = delete;
  APMPCell& operator=(const APMPCell&) = delete;
  virtual ~APMPCell();

  void retain() const {
    if (!immortal_) ++refs_;
  }
  void release() const;

  // Collection (apmp_object_manager.h): `mark` hands the cells this one holds to the marker;
  // `sweep` drops every reference this cell holds, which breaks the cycles it takes part in.
  virtual void mark(APMPMarker& marker) const;
  virtual void sweep() {}

  // Compound cells (arrays, maps, functions, scopes) take part in marking; others do not.
  bool traceable() const { return traceable_; }

 protected:
  // The object manager tracking this cell, none when untracked.
  APMPObjectManager* trackingManager() const { return manager_; }
  void makeImmortal() { immortal_ = true; }
  void setTraceable() { traceable_ = true; }

 private:
  friend class APMPObjectManager;
  friend class APMPMarker;

  mutable std::uint32_t refs_ = 0;
  bool immortal_ = false;
  bool traceable_ = false;
  // Set while the object manager tracks this cell; `trackIndex_` is its slot in the tracked list.
  APMPObjectManager* manager_ = nullptr;
  std::uint32_t trackIndex_ = 0;
  // Equal to the collection's epoch once marked by it: no flag ever needs clearing, so values
  // that no sweep visits (untracked natives) never carry a stale mark into the next collection.
  mutable std::uint64_t markEpoch_ = 0;
};

// Strong reference to a cell (or to nothing).
template <class T> class APMPRef {
 public:
  APMPRef() = default;
  APMPRef(std::nullptr_t) {}
  explicit APMPRef(T* p) : p_(p) {
    if (p_) p_->retain();
  }
  APMPRef(const APMPRef& o) : p_(o.p_) {
    if (p_) p_->retain();
  }
  APMPRef(APMPRef&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
  template <class U>
  requires std::is_convertible_v<U*, T*> APMPRef(const APMPRef<U>& o) : p_(o.get()) {
    if (p_) p_->retain();
  }
  template <class U>
  requires std::is_convertible_v<U*, T*> APMPRef(APMPRef<U>&& o)
  noexcept : p_(o.leak()) {}
  ~APMPRef() {
    if (p_) p_->release();
  }
  APMPRef& operator=(APMPRef o) noexcept {
    std::swap(p_, o.p_);
    return *this;
  }

  T* get() const { return p_; }
  T* operator->() const { return p_; }
  T& operator*() const { return *p_; }
  explicit operator bool() const { return p_ != nullptr; }
  // Gives up ownership without releasing.
  T* leak() { return std::exchange(p_, nullptr); }

  friend bool operator==(const APMPRef& a, const APMPRef& b) { return a.p_ == b.p_; }

 private:
  T* p_ = nullptr;
};

template <class T, class... Args> APMPRef<T> APMPMake(Args&&... args) {
  return APMPRef<T>(new T(std::forward<Args>(args)...));
}
