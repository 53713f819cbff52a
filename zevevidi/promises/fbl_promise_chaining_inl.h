// Continuations (then, catch, always, recover, validate) and creators (async, do, the
// completion-callback adapters) of FBLPromise. Included by fbl_promise.h only; include that.
//
// Continuations are layered on chainOnQueue and creators on async, so every callback runs later
// on the queue of the form used, never inside the call that registers it.
#pragma once

// ---- Continuations -------------------------------------------------------------------------

template <class T> template <class F> auto FBLPromise<T>::then(F work) {
  return onQueueThen(defaultDispatchQueue(), std::move(work));
}

template <class T>
template <class F>
auto FBLPromise<T>::onQueueThen(platform::QueuePtr queue, F work) {
  using U = fbl_detail::ThenTypeOf<T, std::invoke_result_t<F&, const T&>>;
  if (fbl_detail::isNullCallable(work)) {
    fbl_detail::reportInvalidParameter("work");
    return FBLPromise<U>::makeRejected(
        fbl_detail::invalidArgumentError("Invalid parameter not satisfying: work"));
  }
  return chainOnQueue<U>(
      std::move(queue),
      [work = std::move(work)](const T& value) mutable -> FBLResolution<U> {
        return FBLResolution<U>(work(value));
      },
      nullptr);
}

template <class T> typename FBLPromise<T>::Ptr FBLPromise<T>::catch_(OnReject reject) {
  return onQueueCatch(defaultDispatchQueue(), std::move(reject));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueCatch(platform::QueuePtr queue, OnReject reject) {
  if (!reject) {
    fbl_detail::reportInvalidParameter("reject");
    return makeRejected(
        fbl_detail::invalidArgumentError("Invalid parameter not satisfying: reject"));
  }
  return chainOnQueue<T>(std::move(queue), nullptr,
                         [reject = std::move(reject)](const platform::ErrorPtr& error) {
                           reject(error);
                           return Resolution(error);
                         });
}

template <class T> typename FBLPromise<T>::Ptr FBLPromise<T>::always(std::function<void()> work) {
  return onQueueAlways(defaultDispatchQueue(), std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueAlways(platform::QueuePtr queue,
                                                         std::function<void()> work) {
  if (!work) {
    fbl_detail::reportInvalidParameter("work");
    return makeRejected(fbl_detail::invalidArgumentError("Invalid parameter not satisfying: work"));
  }
  return chainOnQueue<T>(
      std::move(queue),
      [work](const T& value) {
        work();
        return Resolution(value);
      },
      [work](const platform::ErrorPtr& error) {
        work();
        return Resolution(error);
      });
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::recover(std::function<Resolution(const platform::ErrorPtr&)> recovery) {
  return onQueueRecover(defaultDispatchQueue(), std::move(recovery));
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueRecover(platform::QueuePtr queue,
                              std::function<Resolution(const platform::ErrorPtr&)> recovery) {
  if (!recovery) {
    fbl_detail::reportInvalidParameter("recovery");
    return makeRejected(
        fbl_detail::invalidArgumentError("Invalid parameter not satisfying: recovery"));
  }
  return chainOnQueue<T>(std::move(queue), nullptr, std::move(recovery));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::validate(std::function<bool(const T&)> predicate) {
  return onQueueValidate(defaultDispatchQueue(), std::move(predicate));
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueValidate(platform::QueuePtr queue, std::function<bool(const T&)> predicate) {
  if (!predicate) {
    fbl_detail::reportInvalidParameter("predicate");
    return makeRejected(
        fbl_detail::invalidArgumentError("Invalid parameter not satisfying: predicate"));
  }
  return chainOnQueue<T>(
      std::move(queue),
      [predicate = std::move(predicate)](const T& value) {
        return predicate(value) ? Resolution(value) : Resolution(fbl_detail::validationError());
      },
      nullptr);
}

// ---- Creators ------------------------------------------------------------------------------

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::async(std::function<void(FulfillHandler, RejectHandler)> work) {
  return onQueueAsync(defaultDispatchQueue(), std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueAsync(platform::QueuePtr queue,
                            std::function<void(FulfillHandler, RejectHandler)> work) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (!work) {
    fbl_detail::reportInvalidParameter("work");
    return makeRejected(fbl_detail::invalidArgumentError("Invalid parameter not satisfying: work"));
  }
  auto made = pendingPromise();
  fbl_detail::submit(queue, [made, queue, work = std::move(work)] {
    // The handlers may be called any number of times, from any thread; the first settles.
    FulfillHandler fulfill = [made, queue](Resolution resolution) {
      made->resolveOnQueue(queue, std::move(resolution));
    };
    RejectHandler reject = [made](platform::ErrorPtr error) { made->reject(std::move(error)); };
    try {
      work(std::move(fulfill), std::move(reject));
    } catch (...) {
      made->reject(fbl_detail::errorFromCurrentException());
    }
  });
  return made;
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::do_(std::function<Resolution()> work) {
  return onQueueDo(defaultDispatchQueue(), std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueDo(platform::QueuePtr queue,
                                                     std::function<Resolution()> work) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (!work) {
    fbl_detail::reportInvalidParameter("work");
    return makeRejected(fbl_detail::invalidArgumentError("Invalid parameter not satisfying: work"));
  }
  auto made = pendingPromise();
  fbl_detail::submit(queue, [made, queue, work = std::move(work)] {
    Resolution resolution = [&]() -> Resolution {
      try {
        return work();
      } catch (...) {
        return Resolution(fbl_detail::errorFromCurrentException());
      }
    }();
    made->resolveOnQueue(queue, std::move(resolution));
  });
  return made;
}

// ---- Completion-callback adapters ----------------------------------------------------------

template <class T>
template <class Handler, class Adapter>
typename FBLPromise<T>::Ptr FBLPromise<T>::wrapOnQueue(platform::QueuePtr queue,
                                                       std::function<void(Handler)> work,
                                                       Adapter adapter) {
  if (!work) {
    fbl_detail::reportInvalidParameter("work");
    return makeRejected(fbl_detail::invalidArgumentError("Invalid parameter not satisfying: work"));
  }
  return onQueueAsync(std::move(queue), [work = std::move(work), adapter](FulfillHandler fulfill,
                                                                          RejectHandler reject) {
    work(Handler(adapter(std::move(fulfill), std::move(reject))));
  });
}

template <class T> typename FBLPromise<T>::Ptr FBLPromise<T>::wrapCompletion(Wrapped<> work) {
  return onQueueWrapCompletion(defaultDispatchQueue(), std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueWrapCompletion(platform::QueuePtr queue,
                                                                 Wrapped<> work) {
  return wrapOnQueue(std::move(queue), std::move(work), [](FulfillHandler fulfill, RejectHandler) {
    return [fulfill] { fulfill(Resolution(T())); };
  });
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::wrapObjectCompletion(Wrapped<T> work) {
  return onQueueWrapObjectCompletion(defaultDispatchQueue(), std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueWrapObjectCompletion(platform::QueuePtr queue,
                                                                       Wrapped<T> work) {
  return wrapOnQueue(std::move(queue), std::move(work), [](FulfillHandler fulfill, RejectHandler) {
    return [fulfill](T value) { fulfill(Resolution(std::move(value))); };
  });
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::wrapErrorCompletion(Wrapped<platform::ErrorPtr> work) {
  return onQueueWrapErrorCompletion(defaultDispatchQueue(), std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueWrapErrorCompletion(platform::QueuePtr queue,
                                          Wrapped<platform::ErrorPtr> work) {
  return wrapOnQueue(std::move(queue), std::move(work),
                     [](FulfillHandler fulfill, RejectHandler reject) {
                       return [fulfill, reject](platform::ErrorPtr error) {
                         if (error) {
                           reject(std::move(error));
                         } else {
                           fulfill(Resolution(T()));
                         }
                       };
                     });
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::wrapObjectOrErrorCompletion(Wrapped<T, platform::ErrorPtr> work) {
  return onQueueWrapObjectOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueWrapObjectOrErrorCompletion(platform::QueuePtr queue,
                                                  Wrapped<T, platform::ErrorPtr> work) {
  return wrapOnQueue(std::move(queue), std::move(work),
                     [](FulfillHandler fulfill, RejectHandler reject) {
                       return [fulfill, reject](T value, platform::ErrorPtr error) {
                         if (error) {
                           reject(std::move(error));
                         } else {
                           fulfill(Resolution(std::move(value)));
                         }
                       };
                     });
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::wrapErrorOrObjectCompletion(Wrapped<platform::ErrorPtr, T> work) {
  return onQueueWrapErrorOrObjectCompletion(defaultDispatchQueue(), std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueWrapErrorOrObjectCompletion(platform::QueuePtr queue,
                                                  Wrapped<platform::ErrorPtr, T> work) {
  return wrapOnQueue(std::move(queue), std::move(work),
                     [](FulfillHandler fulfill, RejectHandler reject) {
                       return [fulfill, reject](platform::ErrorPtr error, T value) {
                         if (error) {
                           reject(std::move(error));
                         } else {
                           fulfill(Resolution(std::move(value)));
                         }
                       };
                     });
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::wrap2ObjectsOrErrorCompletion(
    Wrapped<platform::Value, platform::Value, platform::ErrorPtr> work) requires kDynamic {
  return onQueueWrap2ObjectsOrErrorCompletion(defaultDispatchQueue(), std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueWrap2ObjectsOrErrorCompletion(
    platform::QueuePtr queue,
    Wrapped<platform::Value, platform::Value, platform::ErrorPtr> work) requires kDynamic {
  return wrapOnQueue(
      std::move(queue), std::move(work), [](FulfillHandler fulfill, RejectHandler reject) {
        return [fulfill, reject](platform::Value first, platform::Value second,
                                 platform::ErrorPtr error) {
          if (error) {
            reject(std::move(error));
          } else {
            // A list holds nulls as they are, so a missing object needs no placeholder.
            fulfill(Resolution(
                platform::Value(platform::ValueList{std::move(first), std::move(second)})));
          }
        };
      });
}

// The boolean and number adapters differ only in the argument type; one pair of helpers each.
#define FBL_PROMISE_WRAP_SCALAR(Name, Scalar)                                                      \
  template <class T>                                                                               \
  typename FBLPromise<T>::Ptr FBLPromise<T>::wrap##Name##Completion(                               \
      Wrapped<Scalar> work) requires std::constructible_from<T, Scalar> {                          \
    return onQueueWrap##Name##Completion(defaultDispatchQueue(), std::move(work));                 \
  }                                                                                                \
  template <class T>                                                                               \
  typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueWrap##Name##Completion(                        \
      platform::QueuePtr queue,                                                                    \
      Wrapped<Scalar> work) requires std::constructible_from<T, Scalar> {                          \
    return wrapOnQueue(std::move(queue), std::move(work),                                          \
                       [](FulfillHandler fulfill, RejectHandler) {                                 \
                         return [fulfill](Scalar value) { fulfill(Resolution(T(value))); };        \
                       });                                                                         \
  }                                                                                                \
  template <class T>                                                                               \
  typename FBLPromise<T>::Ptr FBLPromise<T>::wrap##Name##OrErrorCompletion(                        \
      Wrapped<Scalar, platform::ErrorPtr> work) requires std::constructible_from<T, Scalar> {      \
    return onQueueWrap##Name##OrErrorCompletion(defaultDispatchQueue(), std::move(work));          \
  }                                                                                                \
  template <class T>                                                                               \
  typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueWrap##Name##OrErrorCompletion(                 \
      platform::QueuePtr queue,                                                                    \
      Wrapped<Scalar, platform::ErrorPtr> work) requires std::constructible_from<T, Scalar> {      \
    return wrapOnQueue(std::move(queue), std::move(work),                                          \
                       [](FulfillHandler fulfill, RejectHandler reject) {                          \
                         return [fulfill, reject](Scalar value, platform::ErrorPtr error) {        \
                           if (error) {                                                            \
                             reject(std::move(error));                                             \
                           } else {                                                                \
                             fulfill(Resolution(T(value)));                                        \
                           }                                                                       \
                         };                                                                        \
                       });                                                                         \
  }

FBL_PROMISE_WRAP_SCALAR(Bool, bool)
FBL_PROMISE_WRAP_SCALAR(Integer, std::int64_t)
FBL_PROMISE_WRAP_SCALAR(Double, double)
#undef FBL_PROMISE_WRAP_SCALAR
