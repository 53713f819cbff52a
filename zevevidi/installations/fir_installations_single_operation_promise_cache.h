// FIRInstallationsSingleOperationPromiseCache: at most one operation of a kind in flight. A
// caller who asks while the operation is pending gets the pending promise; the next caller after
// it settled starts a new one.
//
// The pending promise is guarded by the cache's lock; the handler is called under it (it only
// builds a promise chain). The pending promise is cleared by continuations on the promises'
// default queue (the main queue), so a caller arriving between settlement and clearing gets the
// settled promise.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "platform/core/exception.h"
#include "zevevidi/promises/fbl_promise.h"

template <class T>
class FIRInstallationsSingleOperationPromiseCache
    : public std::enable_shared_from_this<FIRInstallationsSingleOperationPromiseCache<T>> {
 public:
  using Ptr = typename FBLPromise<T>::Ptr;
  using Handler = std::function<Ptr()>;

  // A missing handler raises the invalid-argument exception.
  explicit FIRInstallationsSingleOperationPromiseCache(Handler newOperationHandler)
      : newOperationHandler_(std::move(newOperationHandler)) {
    if (!newOperationHandler_) {
      throw platform::Exception(platform::kInvalidArgumentException,
                                "`newOperationHandler` must not be `nil`.");
    }
  }

  Ptr getExistingPendingOrCreateNewPromise() {
    std::lock_guard lock(mutex_);
    if (!pendingPromise_) {
      pendingPromise_ = newOperationHandler_();
      std::weak_ptr<FIRInstallationsSingleOperationPromiseCache> weak = this->weak_from_this();
      auto clear = [weak, promise = std::weak_ptr<FBLPromise<T>>(pendingPromise_)] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        if (self->pendingPromise_ == promise.lock()) self->pendingPromise_ = nullptr;
      };
      pendingPromise_->observeOnQueue(
          FBLPromiseBase::defaultDispatchQueue(), [clear](const T&) { clear(); },
          [clear](const platform::ErrorPtr&) { clear(); });
    }
    return pendingPromise_;
  }

  Ptr getExistingPendingPromise() {
    std::lock_guard lock(mutex_);
    return pendingPromise_;
  }

 private:
  const Handler newOperationHandler_;
  std::mutex mutex_;
  Ptr pendingPromise_;
};
