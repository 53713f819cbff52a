#include "platform/core/assertion.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>

namespace platform {

struct ScopedAssertionCapture::State {
  std::vector<AssertionFailure> failures;
};

namespace {
// Recursive: a sink may itself trip an assertion while the lock is held.
std::recursive_mutex& lock() {
  static std::recursive_mutex m;
  return m;
}
ScopedAssertionCapture* g_capture = nullptr;
std::atomic<std::uint64_t> g_uncaptured{0};
std::function<void(const AssertionFailure&)>& sink() {
  static std::function<void(const AssertionFailure&)> s;
  return s;
}
}  // namespace

std::uint64_t uncapturedAssertionFailureCount() {
  return g_uncaptured.load();
}

void setAssertionSink(std::function<void(const AssertionFailure&)> s) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  sink() = std::move(s);
}

ScopedAssertionCapture::ScopedAssertionCapture() : state_(new State) {
  std::lock_guard<std::recursive_mutex> guard(lock());
  previous_ = g_capture;
  g_capture = this;
}

ScopedAssertionCapture::~ScopedAssertionCapture() {
  {
    std::lock_guard<std::recursive_mutex> guard(lock());
    g_capture = previous_;
  }
  delete state_;
}

std::vector<AssertionFailure> ScopedAssertionCapture::failures() const {
  std::lock_guard<std::recursive_mutex> guard(lock());
  return state_->failures;
}

std::size_t ScopedAssertionCapture::count() const {
  std::lock_guard<std::recursive_mutex> guard(lock());
  return state_->failures.size();
}

void ScopedAssertionCapture::clear() {
  std::lock_guard<std::recursive_mutex> guard(lock());
  state_->failures.clear();
}

void assertionFailure(const char* file, int line, std::string message) {
  AssertionFailure failure{file ? file : "", line, std::move(message)};
  std::lock_guard<std::recursive_mutex> guard(lock());
  if (g_capture) {
    g_capture->state_->failures.push_back(std::move(failure));
    return;
  }
  g_uncaptured.fetch_add(1);
  if (sink()) {
    sink()(failure);
  } else {
    std::fprintf(stderr, "assertion failed: %s:%d: %s\n", failure.file.c_str(), failure.line,
                 failure.message.c_str());
  }
#ifndef NDEBUG
  std::abort();
#endif
}

}  // namespace platform
