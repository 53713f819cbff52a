// Aggregation (all, any, race, reduce) and timing (delay, timeout, retry) of FBLPromise.
// Included by fbl_promise.h only; include that.
//
// The aggregations keep their bookkeeping in a small shared state that the inputs' observers
// hold, never the inputs themselves, so dropping every input of an unfinished aggregation frees
// it all. Timers go through the queue's delayed submission and do not count in the dispatch
// group.
#pragma once

// ---- all -----------------------------------------------------------------------------------

template <class T>
void FBLPromise<T>::observeAll(const platform::QueuePtr& queue, const std::vector<Ptr>& promises,
                               std::function<void(std::vector<T>)> fulfilled,
                               RejectHandler rejected) {
  struct State {
    std::mutex mutex;
    std::vector<T> values;
    std::size_t remaining;
    std::function<void(std::vector<T>)> fulfilled;
  };
  auto state = std::make_shared<State>();
  state->values.resize(promises.size());
  state->remaining = promises.size();
  state->fulfilled = std::move(fulfilled);
  for (std::size_t i = 0; i < promises.size(); ++i) {
    if (!promises[i]) {
      fbl_detail::reportInvalidParameter("allPromises");
      rejected(fbl_detail::invalidArgumentError("Invalid parameter not satisfying: allPromises"));
      return;
    }
  }
  for (std::size_t i = 0; i < promises.size(); ++i) {
    promises[i]->observeOnQueue(
        queue,
        [state, i](const T& value) {
          std::vector<T> values;
          {
            std::lock_guard lock(state->mutex);
            state->values[i] = value;
            if (--state->remaining != 0) return;
            values = std::move(state->values);
          }
          state->fulfilled(std::move(values));
        },
        rejected);
  }
}

template <class T>
std::shared_ptr<FBLPromise<std::vector<T>>>
FBLPromise<T>::all(std::vector<Ptr> promises) requires(!kDynamic) {
  return onQueueAll(defaultDispatchQueue(), std::move(promises));
}

template <class T>
std::shared_ptr<FBLPromise<std::vector<T>>>
FBLPromise<T>::onQueueAll(platform::QueuePtr queue, std::vector<Ptr> promises) requires(!kDynamic) {
  using Made = FBLPromise<std::vector<T>>;
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (promises.empty()) return Made::resolvedWith(std::vector<T>());
  return Made::onQueueAsync(queue, [queue, promises = std::move(promises)](
                                       typename Made::FulfillHandler fulfill,
                                       typename Made::RejectHandler reject) {
    observeAll(
        queue, promises,
        [fulfill](std::vector<T> values) { fulfill(typename Made::Resolution(std::move(values))); },
        reject);
  });
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::promiseForItem(const platform::Value& item) {
  if (auto promise = item.asObjectOf<FBLPromise<platform::Value>>()) return promise;
  return resolvedWith(item);
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::all(platform::ValueList items) requires kDynamic {
  return onQueueAll(defaultDispatchQueue(), std::move(items));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueAll(platform::QueuePtr queue,
                                                      platform::ValueList items) requires kDynamic {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (items.empty()) return resolvedWith(platform::Value::emptyList());
  return onQueueAsync(
      queue, [queue, items = std::move(items)](FulfillHandler fulfill, RejectHandler reject) {
        std::vector<Ptr> promises;
        promises.reserve(items.size());
        for (const auto& item : items) {
          // An error among the inputs decides at once; nothing is observed.
          if (item.isError()) {
            reject(item.asError());
            return;
          }
          promises.push_back(promiseForItem(item));
        }
        observeAll(
            queue, promises,
            [fulfill](platform::ValueList values) {
              fulfill(Resolution(platform::Value(std::move(values))));
            },
            reject);
      });
}

// ---- any -----------------------------------------------------------------------------------

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::any(platform::ValueList items) requires kDynamic {
  return onQueueAny(defaultDispatchQueue(), std::move(items));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueAny(platform::QueuePtr queue,
                                                      platform::ValueList items) requires kDynamic {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (items.empty()) return resolvedWith(platform::Value::emptyList());
  return onQueueAsync(
      queue, [queue, items = std::move(items)](FulfillHandler fulfill, RejectHandler reject) {
        struct State {
          std::mutex mutex;
          platform::ValueList entries;  // the value or the error of each input, in input order
          std::size_t remaining;
          bool anyFulfilled = false;
        };
        auto state = std::make_shared<State>();
        state->entries.resize(items.size());
        state->remaining = items.size();
        // Settles the result when the last input has settled. Returns with the lock released.
        auto settled = [state, fulfill, reject](std::size_t i, platform::Value entry, bool ok) {
          platform::ValueList entries;
          bool anyFulfilled;
          {
            std::lock_guard lock(state->mutex);
            state->entries[i] = entry;
            state->anyFulfilled = state->anyFulfilled || ok;
            if (--state->remaining != 0) return;
            entries = std::move(state->entries);
            anyFulfilled = state->anyFulfilled;
          }
          if (anyFulfilled) {
            fulfill(Resolution(platform::Value(std::move(entries))));
          } else {
            reject(entry.asError());
          }
        };
        std::vector<Ptr> promises;
        promises.reserve(items.size());
        for (const auto& item : items)
          promises.push_back(promiseForItem(item));
        for (std::size_t i = 0; i < promises.size(); ++i) {
          promises[i]->observeOnQueue(
              queue, [settled, i](const platform::Value& value) { settled(i, value, true); },
              [settled, i](const platform::ErrorPtr& error) {
                settled(i, platform::Value(error), false);
              });
        }
      });
}

// ---- race ----------------------------------------------------------------------------------

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::race(std::vector<Ptr> promises) requires(!kDynamic) {
  return onQueueRace(defaultDispatchQueue(), std::move(promises));
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueRace(platform::QueuePtr queue,
                           std::vector<Ptr> promises) requires(!kDynamic) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (promises.empty()) {
    platform::assertionFailure(__FILE__, __LINE__, "No promises to observe");
    return makeRejected(fbl_detail::invalidArgumentError("No promises to observe"));
  }
  return onQueueAsync(
      queue, [queue, promises = std::move(promises)](FulfillHandler fulfill, RejectHandler reject) {
        for (const auto& promise : promises) {
          if (!promise) {
            fbl_detail::reportInvalidParameter("promise");
            reject(fbl_detail::invalidArgumentError("Invalid parameter not satisfying: promise"));
            return;
          }
        }
        for (const auto& promise : promises) {
          promise->observeOnQueue(
              queue, [fulfill](const T& value) { fulfill(Resolution(value)); }, reject);
        }
      });
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::race(platform::ValueList items) requires kDynamic {
  return onQueueRace(defaultDispatchQueue(), std::move(items));
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueRace(platform::QueuePtr queue, platform::ValueList items) requires kDynamic {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (items.empty()) {
    platform::assertionFailure(__FILE__, __LINE__, "No promises to observe");
    return makeRejected(fbl_detail::invalidArgumentError("No promises to observe"));
  }
  return onQueueAsync(queue, [queue, items = std::move(items)](FulfillHandler fulfill,
                                                               RejectHandler reject) {
    std::vector<Ptr> promises;
    for (const auto& item : items) {
      auto promise = item.asObjectOf<FBLPromise<platform::Value>>();
      // A plain value or error is already settled: it wins before any promise is observed.
      if (!promise) {
        fulfill(Resolution(item));
        return;
      }
      promises.push_back(std::move(promise));
    }
    for (const auto& promise : promises) {
      promise->observeOnQueue(
          queue, [fulfill](const platform::Value& value) { fulfill(Resolution(value)); }, reject);
    }
  });
}

// ---- reduce --------------------------------------------------------------------------------

template <class T>
template <class Item>
typename FBLPromise<T>::Ptr
FBLPromise<T>::reduce(std::vector<Item> items,
                      std::function<Resolution(const T&, const Item&)> reducer) {
  return onQueueReduce(defaultDispatchQueue(), std::move(items), std::move(reducer));
}

template <class T>
template <class Item>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueReduce(platform::QueuePtr queue, std::vector<Item> items,
                             std::function<Resolution(const T&, const Item&)> reducer) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (!reducer) {
    fbl_detail::reportInvalidParameter("reducer");
    return makeRejected(
        fbl_detail::invalidArgumentError("Invalid parameter not satisfying: reducer"));
  }
  Ptr current = this->shared_from_this();
  for (auto& item : items) {
    current = current->template chainOnQueue<T>(
        queue, [reducer, item = std::move(item)](const T& value) { return reducer(value, item); },
        nullptr);
  }
  return current;
}

// ---- delay and timeout ---------------------------------------------------------------------

template <class T> typename FBLPromise<T>::Ptr FBLPromise<T>::delay(double interval) {
  return onQueueDelay(defaultDispatchQueue(), interval);
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueDelay(platform::QueuePtr queue, double interval) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  auto made = pendingPromise();
  observeOnQueue(
      queue,
      [made, queue, interval](const T& value) {
        // Counted from the delivery of the fulfilment, not from the call.
        fbl_detail::submitAfter(queue, interval, [made, value] { made->fulfill(value); });
      },
      [made](const platform::ErrorPtr& error) { made->reject(error); });
  return made;
}

template <class T> typename FBLPromise<T>::Ptr FBLPromise<T>::timeout(double interval) {
  return onQueueTimeout(defaultDispatchQueue(), interval);
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueTimeout(platform::QueuePtr queue,
                                                          double interval) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  auto made = pendingPromise();
  observeOnQueue(
      queue, [made](const T& value) { made->fulfill(value); },
      [made](const platform::ErrorPtr& error) { made->reject(error); });
  // The timer must not keep alive a promise nobody waits for any more.
  std::weak_ptr<FBLPromise> weak = made;
  fbl_detail::submitAfter(queue, interval, [weak] {
    if (auto promise = weak.lock()) promise->reject(fbl_detail::timedOutError());
  });
  return made;
}

// ---- retry ---------------------------------------------------------------------------------

template <class T> struct FBLPromise<T>::RetryState {
  Ptr made;
  platform::QueuePtr queue;
  double delay;
  RetryCondition condition;
  RetryWork work;
};

template <class T> typename FBLPromise<T>::Ptr FBLPromise<T>::retry(RetryWork work) {
  return onQueueAttempts(defaultDispatchQueue(), 1, 1.0, nullptr, std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueRetry(platform::QueuePtr queue, RetryWork work) {
  return onQueueAttempts(std::move(queue), 1, 1.0, nullptr, std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::attempts(std::int64_t count, RetryWork work) {
  return onQueueAttempts(defaultDispatchQueue(), count, 1.0, nullptr, std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::onQueueAttempts(platform::QueuePtr queue,
                                                           std::int64_t count, RetryWork work) {
  return onQueueAttempts(std::move(queue), count, 1.0, nullptr, std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::attempts(std::int64_t count, double delay,
                                                    RetryCondition condition, RetryWork work) {
  return onQueueAttempts(defaultDispatchQueue(), count, delay, std::move(condition),
                         std::move(work));
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::onQueueAttempts(platform::QueuePtr queue, std::int64_t count, double delay,
                               RetryCondition condition, RetryWork work) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (!work) {
    fbl_detail::reportInvalidParameter("work");
    return makeRejected(fbl_detail::invalidArgumentError("Invalid parameter not satisfying: work"));
  }
  auto state = std::make_shared<RetryState>(
      RetryState{pendingPromise(), std::move(queue), delay, std::move(condition), std::move(work)});
  // The first attempt runs here, on the caller's thread, before retry returns.
  retryAttempt(state, count);
  return state->made;
}

template <class T>
void FBLPromise<T>::retryAttempt(const std::shared_ptr<RetryState>& state, std::int64_t remaining) {
  Resolution outcome = [&]() -> Resolution {
    try {
      return state->work();
    } catch (...) {
      return Resolution(fbl_detail::errorFromCurrentException());
    }
  }();
  if (outcome.isPromise()) {
    outcome.promise()->observeOnQueue(
        state->queue, [state](const T& value) { state->made->fulfill(value); },
        [state, remaining](const platform::ErrorPtr& error) {
          retryFailed(state, remaining, error);
        });
  } else if (outcome.isError()) {
    retryFailed(state, remaining, outcome.error());
  } else {
    state->made->fulfill(std::move(outcome.value()));
  }
}

template <class T>
void FBLPromise<T>::retryFailed(const std::shared_ptr<RetryState>& state, std::int64_t remaining,
                                const platform::ErrorPtr& error) {
  bool again = false;
  try {
    again = remaining > 0 && (!state->condition || state->condition(remaining, error));
  } catch (...) {
    state->made->reject(fbl_detail::errorFromCurrentException());
    return;
  }
  if (!again) {
    state->made->reject(error);
    return;
  }
  fbl_detail::submitAfter(state->queue, state->delay,
                          [state, remaining] { retryAttempt(state, remaining - 1); });
}
