#include "zevevidi/promises/fbl_promise_base.h"

#include <cmath>
#include <cstdio>
#include <exception>
#include <limits>

#include "platform/core/assertion.h"
#include "platform/core/exception.h"
#include "platform/dispatch/group.h"

namespace {

struct DefaultQueue {
  std::mutex mutex;
  platform::QueuePtr queue = platform::mainQueue();
};

DefaultQueue& defaultQueue() {
  static DefaultQueue* instance = new DefaultQueue();  // never destroyed: used until exit
  return *instance;
}

}  // namespace

FBLPromiseBase::FBLPromiseBase(FBLPromiseState initial) : state_(initial) {
  if (initial == FBLPromiseState::Pending) {
    dispatchGroup()->enter();
    inGroup_ = true;
  }
}

FBLPromiseBase::~FBLPromiseBase() {
  // A promise dropped while pending will never settle; it must not hold the group open.
  if (inGroup_) dispatchGroup()->leave();
}

platform::QueuePtr FBLPromiseBase::defaultDispatchQueue() {
  auto& d = defaultQueue();
  std::lock_guard lock(d.mutex);
  return d.queue;
}

void FBLPromiseBase::setDefaultDispatchQueue(platform::QueuePtr queue) {
  if (!queue) {
    fbl_detail::reportInvalidParameter("queue");
    return;
  }
  auto& d = defaultQueue();
  std::lock_guard lock(d.mutex);
  d.queue = std::move(queue);
}

const std::shared_ptr<platform::Group>& FBLPromiseBase::dispatchGroup() {
  static const std::shared_ptr<platform::Group>* group =
      new std::shared_ptr<platform::Group>(platform::Group::make());
  return *group;
}

bool FBLPromiseBase::isPending() const {
  std::lock_guard lock(mutex_);
  return state_ == FBLPromiseState::Pending;
}

bool FBLPromiseBase::isFulfilled() const {
  std::lock_guard lock(mutex_);
  return state_ == FBLPromiseState::Fulfilled;
}

bool FBLPromiseBase::isRejected() const {
  std::lock_guard lock(mutex_);
  return state_ == FBLPromiseState::Rejected;
}

platform::ErrorPtr FBLPromiseBase::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

void FBLPromiseBase::addPendingObject(std::shared_ptr<void> object) {
  if (!object) {
    fbl_detail::reportInvalidParameter("object");
    return;
  }
  std::lock_guard lock(mutex_);
  if (state_ != FBLPromiseState::Pending) return;
  if (!pendingObjects_) pendingObjects_ = std::make_unique<std::vector<std::shared_ptr<void>>>();
  pendingObjects_->push_back(std::move(object));
}

std::size_t FBLPromiseBase::pendingObjectCountForTesting() const {
  std::lock_guard lock(mutex_);
  return pendingObjects_ ? pendingObjects_->size() : 0;
}

std::string FBLPromiseBase::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  std::string text = "<";
  text += className();
  text += ' ';
  text += address;
  text += "> ";
  std::lock_guard lock(mutex_);
  switch (state_) {
  case FBLPromiseState::Pending:
    return text + "Pending";
  case FBLPromiseState::Fulfilled:
    return text + "Fulfilled: " + describeValueLocked();
  case FBLPromiseState::Rejected:
    return text + "Rejected: " + platform::Value(error_).debugString();
  }
  return text;
}

void FBLPromiseBase::settleLocked(FBLPromiseState state) {
  state_ = state;
  pendingObjects_.reset();
}

void FBLPromiseBase::leaveGroupLocked() {
  if (!inGroup_) return;
  inGroup_ = false;
  dispatchGroup()->leave();
}

namespace fbl_detail {

void reportInvalidParameter(const char* name) {
  platform::assertionFailure(__FILE__, __LINE__,
                             std::string("Invalid parameter not satisfying: ") + name);
}

platform::ErrorPtr invalidArgumentError(const std::string& reason) {
  return platform::Error::withDescription(platform::kInvalidArgumentException, 0, reason);
}

platform::ErrorPtr timedOutError() {
  return platform::Error::make(FBLPromiseErrorDomain, FBLPromiseErrorCodeTimedOut);
}

platform::ErrorPtr validationError() {
  return platform::Error::make(FBLPromiseErrorDomain, FBLPromiseErrorCodeValidationFailure);
}

platform::ErrorPtr errorFromCurrentException() {
  try {
    throw;
  } catch (const platform::Exception& e) {
    platform::ValueMap info = e.userInfo();
    info[platform::Value(platform::kLocalizedDescriptionKey)] = platform::Value(e.reason());
    return platform::Error::make(e.name(), 0, std::move(info));
  } catch (const std::exception& e) {
    return platform::Error::withDescription(platform::kInternalInconsistencyException, 0, e.what());
  } catch (...) {
    return platform::Error::withDescription(platform::kInternalInconsistencyException, 0,
                                            "unknown exception");
  }
}

std::optional<double> timerDelay(double interval) {
  if (std::isnan(interval) || interval <= 0) return 0.0;
  // Beyond what a signed 64-bit nanosecond count can hold the timer would never fire anyway.
  if (interval * 1e9 >= 9.2e18) return std::nullopt;
  return std::trunc(interval * 1e9) / 1e9;
}

void submit(const platform::QueuePtr& queue, platform::Task task) {
  FBLPromiseBase::dispatchGroup()->async(queue, std::move(task));
}

void submitAfter(const platform::QueuePtr& queue, double interval, platform::Task task) {
  auto delay = timerDelay(interval);
  if (!delay) return;
  queue->asyncAfter(*delay, std::move(task));
}

}  // namespace fbl_detail
