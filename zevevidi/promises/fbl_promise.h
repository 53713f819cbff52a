// FBLPromise<T>: an object created pending that settles exactly once, fulfilled with a T or
// rejected with an error record, and hands its outcome to callbacks on dispatch queues (the
// default queue, normally the main queue, unless an operation is given one).
//
// Two kinds of promise share this one template:
// - FBLPromise<T> for a C++ type T that the caller knows (an installation record, a string):
//   the value and the error travel separately and the compiler keeps them apart.
// - FBLPromise<platform::Value> (the default argument) where the kind is only known at run time:
//   fulfilling with a Value of error kind rejects, a callback result holding a promise object is
//   followed one level, and the aggregations take mixed lists of promises, values and errors.
//
// What a callback returns is an FBLResolution<T>: a value, an error (rejects the made promise)
// or another promise of the same type (the made promise follows it, observed on the same queue).
//
// Ownership: promises are held by shared_ptr (make them only through the factories). A pending
// promise holds its observers, and through them the promises chained on it; it does not hold
// the promises it follows. A delivery keeps the promise it reads alive until it has run.
//
// Threads: every method is thread-safe; callbacks never run inside the call that registers or
// settles, always later on their queue, with no promise lock held.
#pragma once

#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <variant>
#include <vector>

#include "platform/core/assertion.h"
#include "zevevidi/promises/fbl_promise_base.h"

template <class T = platform::Value> class FBLPromise;

// What a callback hands back to settle the promise an operation made.
template <class T> class FBLResolution {
 public:
  using PromisePtr = std::shared_ptr<FBLPromise<T>>;

  FBLResolution(platform::ErrorPtr error);
  FBLResolution(PromisePtr promise);
  template <class U>
  requires((std::convertible_to<U&&, T> ||
            (std::is_class_v<T> && std::constructible_from<T, U&&>)) &&
           !std::same_as<std::remove_cvref_t<U>, platform::ErrorPtr> &&
           !std::same_as<std::remove_cvref_t<U>, PromisePtr> &&
           !std::same_as<std::remove_cvref_t<U>, FBLResolution>) FBLResolution(U&& value)
      : FBLResolution(T(std::forward<U>(value)), 0) {}

  bool isValue() const { return outcome_.index() == 0; }
  bool isError() const { return outcome_.index() == 1; }
  bool isPromise() const { return outcome_.index() == 2; }
  T& value() { return std::get<0>(outcome_); }
  const platform::ErrorPtr& error() const { return std::get<1>(outcome_); }
  const PromisePtr& promise() const { return std::get<2>(outcome_); }

 private:
  // Sorts a dynamic Value into its outcome; a typed value is always a value.
  FBLResolution(T value, int);

  std::variant<T, platform::ErrorPtr, PromisePtr> outcome_;
};

namespace fbl_detail {

template <class R> struct ResolvedType { using type = R; };
template <class U> struct ResolvedType<FBLResolution<U>> { using type = U; };
template <class U> struct ResolvedType<std::shared_ptr<FBLPromise<U>>> { using type = U; };
template <> struct ResolvedType<platform::ErrorPtr> { using type = platform::Value; };
template <> struct ResolvedType<std::nullptr_t> { using type = platform::Value; };

template <> struct ResolvedType<const char*> { using type = std::string; };

// The value type of the promise made from a callback that returns R.
template <class R> using ResolvedTypeOf = typename ResolvedType<std::remove_cvref_t<R>>::type;

template <class R> inline constexpr bool kNamesItsType = false;
template <class U> inline constexpr bool kNamesItsType<FBLResolution<U>> = true;
template <class U> inline constexpr bool kNamesItsType<std::shared_ptr<FBLPromise<U>>> = true;

// The value type of the promise `then` makes on a receiver of type T from a callback returning
// R. A dynamic chain stays dynamic unless the callback names another type (a resolution or a
// promise of it); a typed chain takes the type the callback returns.
template <class T, class R>
using ThenTypeOf =
    std::conditional_t<std::same_as<T, platform::Value> && !kNamesItsType<std::remove_cvref_t<R>> &&
                           std::constructible_from<platform::Value, R>,
                       platform::Value, ResolvedTypeOf<R>>;

template <class F> bool isNullCallable(const F& f) {
  if constexpr (std::is_pointer_v<F> || std::is_member_pointer_v<F> ||
                std::is_constructible_v<bool, const F&>) {
    return !static_cast<bool>(f);
  } else {
    return false;
  }
}

}  // namespace fbl_detail

template <class T>
class FBLPromise final : public FBLPromiseBase, public std::enable_shared_from_this<FBLPromise<T>> {
  static_assert(std::default_initializable<T>, "a promise value must be default-constructible");
  static_assert(!std::same_as<T, platform::ErrorPtr>, "errors travel as rejections");
  struct Passkey {
    explicit Passkey() = default;
  };

 public:
  using Ptr = std::shared_ptr<FBLPromise>;
  using Resolution = FBLResolution<T>;
  using OnFulfill = std::function<void(const T&)>;
  using OnReject = std::function<void(const platform::ErrorPtr&)>;
  static constexpr bool kDynamic = std::same_as<T, platform::Value>;

  FBLPromise(Passkey, FBLPromiseState state) : FBLPromiseBase(state) {}

  // ---- Creation and settling -----------------------------------------------------------------

  // A new pending promise; it counts in the dispatch group until it settles or is destroyed.
  static Ptr pendingPromise() {
    return std::make_shared<FBLPromise>(Passkey(), FBLPromiseState::Pending);
  }
  // A promise settled at once and never counted in the group. For a Value, an error rejects and
  // anything else (null and promise objects included) is stored as the value, not followed.
  static Ptr resolvedWith(T value);
  static Ptr resolvedWith(platform::ErrorPtr error) requires(!kDynamic);

  // Settles a pending promise; a settled one ignores it. For a Value, an error rejects.
  void fulfill(T value);
  // Rejects a pending promise; a null error is a programming error and settles nothing.
  void reject(platform::ErrorPtr error);

  // The fulfilment value; a default T (null for a Value) unless fulfilled.
  T value() const;

  // ---- The two primitives every other operation is built on -----------------------------------

  // Calls onFulfill or onReject with the outcome on `queue`, once, after this call has
  // returned (at once if settled, else at settlement). Null arguments are programming errors.
  void observeOnQueue(platform::QueuePtr queue, OnFulfill onFulfill, OnReject onReject);

  // A new pending promise settled by the outcome passed through the callbacks: a result that is
  // a promise is followed, an error rejects, anything else fulfils. An absent chainedFulfill
  // passes the value on, an absent chainedReject the error.
  template <class U = T>
  std::shared_ptr<FBLPromise<U>>
  chainOnQueue(platform::QueuePtr queue, std::function<FBLResolution<U>(const T&)> chainedFulfill,
               std::function<FBLResolution<U>(const platform::ErrorPtr&)> chainedReject);

  // ---- Continuations (fbl_promise_chaining_inl.h) ---------------------------------------------
  // Each has a default form on the default queue and an onQueue form; each returns a new promise.

  // work(value) -> value, error or promise; skipped on rejection. The made promise's type is
  // the one work names (FBLPromise<U> for a U, an FBLResolution<U> or a promise of U), except
  // that a dynamic receiver stays dynamic for anything a Value can hold.
  template <class F> auto then(F work);
  template <class F> auto onQueueThen(platform::QueuePtr queue, F work);
  // reject(error) is told of a rejection, which then passes on unchanged.
  Ptr catch_(OnReject reject);
  Ptr onQueueCatch(platform::QueuePtr queue, OnReject reject);
  // work() runs for either outcome, which then passes on unchanged.
  Ptr always(std::function<void()> work);
  Ptr onQueueAlways(platform::QueuePtr queue, std::function<void()> work);
  // recovery(error) -> value, error or promise; skipped on fulfilment.
  Ptr recover(std::function<Resolution(const platform::ErrorPtr&)> recovery);
  Ptr onQueueRecover(platform::QueuePtr queue,
                     std::function<Resolution(const platform::ErrorPtr&)> recovery);
  // predicate(value) false rejects with a fresh validation error (code 2).
  Ptr validate(std::function<bool(const T&)> predicate);
  Ptr onQueueValidate(platform::QueuePtr queue, std::function<bool(const T&)> predicate);

  // ---- Creators (fbl_promise_chaining_inl.h) --------------------------------------------------
  // The work runs later on the queue, as part of the dispatch group.

  using FulfillHandler = std::function<void(Resolution)>;
  using RejectHandler = std::function<void(platform::ErrorPtr)>;
  static Ptr async(std::function<void(FulfillHandler, RejectHandler)> work);
  static Ptr onQueueAsync(platform::QueuePtr queue,
                          std::function<void(FulfillHandler, RejectHandler)> work);
  // work() -> value, error or promise.
  static Ptr do_(std::function<Resolution()> work);
  static Ptr onQueueDo(platform::QueuePtr queue, std::function<Resolution()> work);

  // Completion-callback adapters: work receives a handler; a present error rejects whatever the
  // other arguments hold, else the handler's value settles the promise.
  template <class... Args> using Wrapped = std::function<void(std::function<void(Args...)>)>;
  static Ptr wrapCompletion(Wrapped<> work);
  static Ptr onQueueWrapCompletion(platform::QueuePtr queue, Wrapped<> work);
  static Ptr wrapObjectCompletion(Wrapped<T> work);
  static Ptr onQueueWrapObjectCompletion(platform::QueuePtr queue, Wrapped<T> work);
  static Ptr wrapErrorCompletion(Wrapped<platform::ErrorPtr> work);
  static Ptr onQueueWrapErrorCompletion(platform::QueuePtr queue, Wrapped<platform::ErrorPtr> work);
  static Ptr wrapObjectOrErrorCompletion(Wrapped<T, platform::ErrorPtr> work);
  static Ptr onQueueWrapObjectOrErrorCompletion(platform::QueuePtr queue,
                                                Wrapped<T, platform::ErrorPtr> work);
  static Ptr wrapErrorOrObjectCompletion(Wrapped<platform::ErrorPtr, T> work);
  static Ptr onQueueWrapErrorOrObjectCompletion(platform::QueuePtr queue,
                                                Wrapped<platform::ErrorPtr, T> work);
  // Fulfils with the two-element list (first, second).
  static Ptr wrap2ObjectsOrErrorCompletion(
      Wrapped<platform::Value, platform::Value, platform::ErrorPtr> work) requires kDynamic;
  static Ptr onQueueWrap2ObjectsOrErrorCompletion(
      platform::QueuePtr queue,
      Wrapped<platform::Value, platform::Value, platform::ErrorPtr> work) requires kDynamic;
  static Ptr wrapBoolCompletion(Wrapped<bool> work) requires std::constructible_from<T, bool>;
  static Ptr
  onQueueWrapBoolCompletion(platform::QueuePtr queue,
                            Wrapped<bool> work) requires std::constructible_from<T, bool>;
  static Ptr wrapBoolOrErrorCompletion(
      Wrapped<bool, platform::ErrorPtr> work) requires std::constructible_from<T, bool>;
  static Ptr onQueueWrapBoolOrErrorCompletion(
      platform::QueuePtr queue,
      Wrapped<bool, platform::ErrorPtr> work) requires std::constructible_from<T, bool>;
  static Ptr wrapIntegerCompletion(
      Wrapped<std::int64_t> work) requires std::constructible_from<T, std::int64_t>;
  static Ptr onQueueWrapIntegerCompletion(
      platform::QueuePtr queue,
      Wrapped<std::int64_t> work) requires std::constructible_from<T, std::int64_t>;
  static Ptr wrapIntegerOrErrorCompletion(Wrapped<std::int64_t, platform::ErrorPtr> work) requires
      std::constructible_from<T, std::int64_t>;
  static Ptr
  onQueueWrapIntegerOrErrorCompletion(platform::QueuePtr queue,
                                      Wrapped<std::int64_t, platform::ErrorPtr> work) requires
      std::constructible_from<T, std::int64_t>;
  static Ptr wrapDoubleCompletion(Wrapped<double> work) requires std::constructible_from<T, double>;
  static Ptr
  onQueueWrapDoubleCompletion(platform::QueuePtr queue,
                              Wrapped<double> work) requires std::constructible_from<T, double>;
  static Ptr wrapDoubleOrErrorCompletion(
      Wrapped<double, platform::ErrorPtr> work) requires std::constructible_from<T, double>;
  static Ptr onQueueWrapDoubleOrErrorCompletion(
      platform::QueuePtr queue,
      Wrapped<double, platform::ErrorPtr> work) requires std::constructible_from<T, double>;

  // ---- Aggregation and timing (fbl_promise_timing_inl.h) --------------------------------------

  // Fulfilled with every value in input order once all are fulfilled; rejected by the first
  // rejection delivered. Typed: a list of promises. Dynamic: a list of promises, values and
  // errors (an error rejects at once); a null value stays null in the result list.
  static std::shared_ptr<FBLPromise<std::vector<T>>>
  all(std::vector<Ptr> promises) requires(!kDynamic);
  static std::shared_ptr<FBLPromise<std::vector<T>>>
  onQueueAll(platform::QueuePtr queue, std::vector<Ptr> promises) requires(!kDynamic);
  static Ptr all(platform::ValueList items) requires kDynamic;
  static Ptr onQueueAll(platform::QueuePtr queue, platform::ValueList items) requires kDynamic;
  // Settled once every input has settled: fulfilled with one entry per input (its value or its
  // error) when at least one was fulfilled, else rejected with the last rejection delivered.
  static Ptr any(platform::ValueList items) requires kDynamic;
  static Ptr onQueueAny(platform::QueuePtr queue, platform::ValueList items) requires kDynamic;
  // The outcome of the first input to settle; a plain value or error in the list wins at once.
  // An empty list is a programming error.
  static Ptr race(std::vector<Ptr> promises) requires(!kDynamic);
  static Ptr onQueueRace(platform::QueuePtr queue, std::vector<Ptr> promises) requires(!kDynamic);
  static Ptr race(platform::ValueList items) requires kDynamic;
  static Ptr onQueueRace(platform::QueuePtr queue, platform::ValueList items) requires kDynamic;

  // A chain with one step per item, built at the call: reducer(value so far, item) -> value,
  // error or promise. An empty list returns this promise itself.
  template <class Item>
  Ptr reduce(std::vector<Item> items, std::function<Resolution(const T&, const Item&)> reducer);
  template <class Item>
  Ptr onQueueReduce(platform::QueuePtr queue, std::vector<Item> items,
                    std::function<Resolution(const T&, const Item&)> reducer);

  // Fulfilled with this promise's value `interval` seconds after its fulfilment was delivered;
  // a rejection passes on at once.
  Ptr delay(double interval);
  Ptr onQueueDelay(platform::QueuePtr queue, double interval);
  // This promise's outcome, or a timeout error (code 1) `interval` seconds after the call.
  Ptr timeout(double interval);
  Ptr onQueueTimeout(platform::QueuePtr queue, double interval);

  // Runs work now and, while it fails and attempts remain (and condition(remaining, error)
  // agrees), again `delay` seconds later on the queue. Defaults: 1 attempt, 1 second.
  using RetryWork = std::function<Resolution()>;
  using RetryCondition = std::function<bool(std::int64_t, const platform::ErrorPtr&)>;
  static Ptr retry(RetryWork work);
  static Ptr onQueueRetry(platform::QueuePtr queue, RetryWork work);
  static Ptr attempts(std::int64_t count, RetryWork work);
  static Ptr onQueueAttempts(platform::QueuePtr queue, std::int64_t count, RetryWork work);
  static Ptr attempts(std::int64_t count, double delay, RetryCondition condition, RetryWork work);
  static Ptr onQueueAttempts(platform::QueuePtr queue, std::int64_t count, double delay,
                             RetryCondition condition, RetryWork work);

 private:
  template <class> friend class FBLPromise;
  using Observer = std::function<void(FBLPromiseState, const Ptr&)>;

  static Ptr makeRejected(platform::ErrorPtr error);
  // Settles this promise by `resolution`; a promise is followed on `queue`.
  void resolveOnQueue(const platform::QueuePtr& queue, Resolution resolution);
  void notifyObserversLocked(FBLPromiseState state);
  std::string describeValueLocked() const override;

  // Helpers of the aggregations.
  static Ptr promiseForItem(const platform::Value& item);
  static void observeAll(const platform::QueuePtr& queue, const std::vector<Ptr>& promises,
                         std::function<void(std::vector<T>)> fulfilled, RejectHandler rejected);
  template <class Handler, class Adapter>
  static Ptr wrapOnQueue(platform::QueuePtr queue, std::function<void(Handler)> work,
                         Adapter adapter);
  struct RetryState;
  static void retryAttempt(const std::shared_ptr<RetryState>& state, std::int64_t remaining);
  static void retryFailed(const std::shared_ptr<RetryState>& state, std::int64_t remaining,
                          const platform::ErrorPtr& error);

  std::optional<T> value_;
  std::unique_ptr<std::vector<Observer>> observers_;
};

// ---- FBLResolution ---------------------------------------------------------------------------

template <class T> FBLResolution<T>::FBLResolution(platform::ErrorPtr error) {
  if constexpr (std::same_as<T, platform::Value>) {
    // A null error pointer is a null Value, which fulfils.
    if (!error) {
      outcome_.template emplace<0>();
      return;
    }
  }
  outcome_.template emplace<1>(std::move(error));
}

template <class T> FBLResolution<T>::FBLResolution(PromisePtr promise) {
  if constexpr (std::same_as<T, platform::Value>) {
    if (!promise) {
      outcome_.template emplace<0>();
      return;
    }
  }
  outcome_.template emplace<2>(std::move(promise));
}

template <class T> FBLResolution<T>::FBLResolution(T value, int) {
  if constexpr (std::same_as<T, platform::Value>) {
    if (value.isError()) {
      outcome_.template emplace<1>(value.asError());
      return;
    }
    if (auto promise = value.template asObjectOf<FBLPromise<platform::Value>>()) {
      outcome_.template emplace<2>(std::move(promise));
      return;
    }
  }
  outcome_.template emplace<0>(std::move(value));
}

// ---- Core ------------------------------------------------------------------------------------

template <class T> typename FBLPromise<T>::Ptr FBLPromise<T>::resolvedWith(T value) {
  if constexpr (kDynamic) {
    if (value.isError()) return makeRejected(value.asError());
  }
  auto promise = std::make_shared<FBLPromise>(Passkey(), FBLPromiseState::Fulfilled);
  promise->value_ = std::move(value);
  return promise;
}

template <class T>
typename FBLPromise<T>::Ptr
FBLPromise<T>::resolvedWith(platform::ErrorPtr error) requires(!kDynamic) {
  if (!error) {
    platform::assertionFailure(__FILE__, __LINE__, "Invalid error type.");
    return resolvedWith(T());
  }
  return makeRejected(std::move(error));
}

template <class T>
typename FBLPromise<T>::Ptr FBLPromise<T>::makeRejected(platform::ErrorPtr error) {
  auto promise = std::make_shared<FBLPromise>(Passkey(), FBLPromiseState::Rejected);
  promise->error_ = std::move(error);
  return promise;
}

template <class T> void FBLPromise<T>::fulfill(T value) {
  if constexpr (kDynamic) {
    if (value.isError()) {
      reject(value.asError());
      return;
    }
  }
  std::lock_guard lock(mutex_);
  if (state_ != FBLPromiseState::Pending) return;
  value_ = std::move(value);
  settleLocked(FBLPromiseState::Fulfilled);
  notifyObserversLocked(FBLPromiseState::Fulfilled);
  leaveGroupLocked();
}

template <class T> void FBLPromise<T>::reject(platform::ErrorPtr error) {
  if (!error) {
    platform::assertionFailure(__FILE__, __LINE__, "Invalid error type.");
    return;
  }
  std::lock_guard lock(mutex_);
  if (state_ != FBLPromiseState::Pending) return;
  error_ = std::move(error);
  settleLocked(FBLPromiseState::Rejected);
  notifyObserversLocked(FBLPromiseState::Rejected);
  leaveGroupLocked();
}

template <class T> void FBLPromise<T>::notifyObserversLocked(FBLPromiseState state) {
  if (!observers_) return;
  // Observers only submit deliveries, each of which keeps this promise alive until it has run.
  Ptr self = this->weak_from_this().lock();
  auto observers = std::move(observers_);
  if (!self) return;
  for (auto& observer : *observers)
    observer(state, self);
}

template <class T> T FBLPromise<T>::value() const {
  std::lock_guard lock(mutex_);
  return value_ ? *value_ : T();
}

template <class T> std::string FBLPromise<T>::describeValueLocked() const {
  if (!value_) return "";
  if constexpr (kDynamic) {
    return value_->debugString();
  } else if constexpr (std::is_arithmetic_v<T>) {
    return platform::Value(*value_).debugString();
  } else if constexpr (std::is_convertible_v<const T&, std::string>) {
    return platform::Value(std::string(*value_)).debugString();
  } else {
    return "<value>";
  }
}

template <class T>
void FBLPromise<T>::observeOnQueue(platform::QueuePtr queue, OnFulfill onFulfill,
                                   OnReject onReject) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  if (!onFulfill) fbl_detail::reportInvalidParameter("onFulfill");
  if (!onReject) fbl_detail::reportInvalidParameter("onReject");

  // The delivery reads the outcome when it runs; by then it is final, so no lock is needed.
  auto deliver = [](const platform::QueuePtr& queue, FBLPromiseState state, Ptr self,
                    OnFulfill onFulfill, OnReject onReject) {
    fbl_detail::submit(queue, [state, self = std::move(self), onFulfill = std::move(onFulfill),
                               onReject = std::move(onReject)] {
      try {
        if (state == FBLPromiseState::Fulfilled && onFulfill) onFulfill(*self->value_);
        if (state == FBLPromiseState::Rejected && onReject) onReject(self->error_);
      } catch (...) {
        // Nothing waits on a bare observation, so the failure can only be reported.
        auto error = fbl_detail::errorFromCurrentException();
        platform::assertionFailure(
            __FILE__, __LINE__, "promise callback threw: " + platform::Value(error).debugString());
      }
    });
  };

  std::lock_guard lock(mutex_);
  if (state_ == FBLPromiseState::Pending) {
    if (!observers_) observers_ = std::make_unique<std::vector<Observer>>();
    observers_->push_back([queue, onFulfill = std::move(onFulfill), onReject = std::move(onReject),
                           deliver](FBLPromiseState state, const Ptr& self) {
      deliver(queue, state, self, onFulfill, onReject);
    });
    return;
  }
  deliver(queue, state_, this->shared_from_this(), std::move(onFulfill), std::move(onReject));
}

template <class T>
void FBLPromise<T>::resolveOnQueue(const platform::QueuePtr& queue, Resolution resolution) {
  if (resolution.isPromise()) {
    // Adoption goes one level: whatever the followed promise is fulfilled with is stored as is.
    Ptr self = this->shared_from_this();
    resolution.promise()->observeOnQueue(
        queue, [self](const T& value) { self->fulfill(value); },
        [self](const platform::ErrorPtr& error) { self->reject(error); });
  } else if (resolution.isError()) {
    reject(resolution.error());
  } else {
    fulfill(std::move(resolution.value()));
  }
}

template <class T>
template <class U>
std::shared_ptr<FBLPromise<U>> FBLPromise<T>::chainOnQueue(
    platform::QueuePtr queue, std::function<FBLResolution<U>(const T&)> chainedFulfill,
    std::function<FBLResolution<U>(const platform::ErrorPtr&)> chainedReject) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    queue = defaultDispatchQueue();
  }
  auto made = FBLPromise<U>::pendingPromise();
  observeOnQueue(
      queue,
      [made, queue, chainedFulfill = std::move(chainedFulfill)](const T& value) {
        auto resolution = [&]() -> FBLResolution<U> {
          try {
            if (chainedFulfill) return chainedFulfill(value);
            if constexpr (std::is_constructible_v<FBLResolution<U>, const T&>) {
              return FBLResolution<U>(value);
            } else {
              fbl_detail::reportInvalidParameter("chainedFulfill");
              return FBLResolution<U>(fbl_detail::invalidArgumentError(
                  "Invalid parameter not satisfying: chainedFulfill"));
            }
          } catch (...) {
            return FBLResolution<U>(fbl_detail::errorFromCurrentException());
          }
        }();
        made->resolveOnQueue(queue, std::move(resolution));
      },
      [made, queue, chainedReject = std::move(chainedReject)](const platform::ErrorPtr& error) {
        auto resolution = [&]() -> FBLResolution<U> {
          try {
            if (chainedReject) return chainedReject(error);
            return FBLResolution<U>(error);
          } catch (...) {
            return FBLResolution<U>(fbl_detail::errorFromCurrentException());
          }
        }();
        made->resolveOnQueue(queue, std::move(resolution));
      });
  return made;
}

#include "zevevidi/promises/fbl_promise_chaining_inl.h"  // IWYU pragma: export
#include "zevevidi/promises/fbl_promise_timing_inl.h"    // IWYU pragma: export
