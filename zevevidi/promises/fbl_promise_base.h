// The part of every promise that does not depend on its value type: the state and its lock, the
// rejection error, the pending-object set, and the class-wide facilities (default callback queue,
// process-wide dispatch group, the errors promises make themselves). FBLPromise<T> derives from
// it; nothing else does.
//
// Thread-safe: every field is guarded by the promise's own mutex; the class-wide default queue
// by one class-wide mutex. A pending promise counts once in the dispatch group until it settles
// or is destroyed.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"

namespace platform {
class Group;
}

// Errors a promise operation makes itself.
inline constexpr const char* FBLPromiseErrorDomain = "com.ziriza.FBLPromises.Error";
enum FBLPromiseErrorCode : std::int64_t {
  FBLPromiseErrorCodeTimedOut = 1,
  FBLPromiseErrorCodeValidationFailure = 2,
};

enum class FBLPromiseState : int { Pending = 0, Fulfilled = 1, Rejected = 2 };

class FBLPromiseBase : public platform::Object {
 public:
  ~FBLPromiseBase() override;
  FBLPromiseBase(const FBLPromiseBase&) = delete;
  FBLPromiseBase& operator=(const FBLPromiseBase&) = delete;

  // The queue every operation without a queue argument delivers on; the main queue unless
  // replaced. A null queue is refused (reported, the default stays).
  static platform::QueuePtr defaultDispatchQueue();
  static void setDefaultDispatchQueue(platform::QueuePtr queue);
  // Counts pending promises and queued deliveries; empty when all promise activity is over.
  static const std::shared_ptr<platform::Group>& dispatchGroup();

  bool isPending() const;
  bool isFulfilled() const;
  bool isRejected() const;
  // The rejection error; null unless rejected.
  platform::ErrorPtr error() const;

  // Keeps `object` alive until the promise settles; does nothing once it has settled.
  void addPendingObject(std::shared_ptr<void> object);
  std::size_t pendingObjectCountForTesting() const;

  // "<FBLPromise 0x...> Pending", "... Fulfilled: <value>" or "... Rejected: <error>".
  std::string description() const;
  std::string className() const override { return "FBLPromise"; }
  std::string debugDescription() const override { return description(); }

 protected:
  explicit FBLPromiseBase(FBLPromiseState initial);

  // Text of the fulfilment value, for description(); called with mutex_ held.
  virtual std::string describeValueLocked() const = 0;
  // Marks the promise settled and releases the pending objects; mutex_ must be held.
  void settleLocked(FBLPromiseState state);
  // Leaves the dispatch group for a promise that was created pending; mutex_ must be held.
  void leaveGroupLocked();

  mutable std::mutex mutex_;
  FBLPromiseState state_;
  platform::ErrorPtr error_;

 private:
  bool inGroup_ = false;
  std::unique_ptr<std::vector<std::shared_ptr<void>>> pendingObjects_;
};

namespace fbl_detail {

// Reports a broken precondition as "Invalid parameter not satisfying: <name>".
void reportInvalidParameter(const char* name);
// What a promise is rejected with when an operation was misused (a missing callback, an empty
// race): the platform's invalid-argument name as domain and the reason as description.
platform::ErrorPtr invalidArgumentError(const std::string& reason);
// A fresh timeout (code 1) or validation (code 2) error, without user info.
platform::ErrorPtr timedOutError();
platform::ErrorPtr validationError();
// Turns the exception being handled into an error record: a platform::Exception keeps its name
// as domain, its reason as description and its user info; anything else becomes an internal
// inconsistency with what() as description. Call only from a catch block.
platform::ErrorPtr errorFromCurrentException();
// Seconds until a timer set for `interval` fires: whole nanoseconds, truncated toward zero;
// negative or NaN intervals fire at once; an infinite one never fires (nullopt).
std::optional<double> timerDelay(double interval);
// Runs `task` on `queue` as part of the dispatch group.
void submit(const platform::QueuePtr& queue, platform::Task task);
// Runs `task` on `queue` after `interval` seconds, outside the dispatch group.
void submitAfter(const platform::QueuePtr& queue, double interval, platform::Task task);

}  // namespace fbl_detail
