// One run of script code (a program load, or one handled event): the error slot and the bounds
// that keep a delivered program from taking the worker queue with it.
//
// Every operation that can fail takes the context; it stores at most one error code (the first
// stays, later ones are dropped) and returns its fallback value. Callers check `failed()` after
// each step and stop. The bounds of a run:
// - the instruction budget (kept natively by the runtime, shared by every run until it is reset);
// - 512 nested levels of evaluation, script calls and nested data (join, conversions, equality);
// - a deadline of one second of platform::Clock uptime from the start of the run, checked every
//   4,096 evaluations and every 4,096 steps of a long native loop;
// - strings of at most 2^20 code units and at most 64 MiB allocated by script values.
// Exceeding any of them fails the run with code 18. A context is used by one thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

class APMPRuntime;
class APMPCell;

inline constexpr const char* APMPErrorDomain = "com.ziriza.duz.measurement.pixie.ErrorDomain";

// Runtime error codes.
enum APMPErrorCode : int {
  APMPErrorUndeclaredAssignment = 2,
  APMPErrorBooleanConversion = 3,
  APMPErrorNumberConversion = 4,
  APMPErrorStringConversion = 5,
  APMPErrorPropertyOfNothing = 6,
  APMPErrorMethodOnNothing = 7,
  APMPErrorReduceOfEmpty = 8,
  APMPErrorArgumentCount = 9,
  APMPErrorArgumentKind = 10,
  APMPErrorArrayLength = 11,
  APMPErrorEntityType = 12,
  APMPErrorPlatformObject = 13,
  APMPErrorStatementName = 14,
  APMPErrorModuleCreator = 15,
  APMPErrorNotIterable = 16,
  APMPErrorUnknownMethod = 17,
  APMPErrorLimit = 18,
};

inline constexpr int APMPMaxDepth = 512;
inline constexpr std::uint64_t APMPMaxArrayLength = 1u << 20;
inline constexpr std::size_t APMPMaxStringLength = 1u << 20;
inline constexpr std::size_t APMPMaxRunBytes = 64u << 20;
inline constexpr double APMPRunDeadlineSeconds = 1.0;
inline constexpr std::uint32_t APMPDeadlineCheckInterval = 4096;

class APMPContext {
 public:
  // `runtime` may be null: conversions outside any runtime still get the depth, time and size
  // bounds, but count no instructions.
  explicit APMPContext(APMPRuntime* runtime = nullptr);
  APMPContext(const APMPContext&) = delete;
  APMPContext& operator=(const APMPContext&) = delete;

  APMPRuntime* runtime() const { return runtime_; }

  bool failed() const { return errorCode_ != 0; }
  // 0 when no error is stored.
  int errorCode() const { return errorCode_; }
  // Stores `code` unless an error is already stored.
  void fail(int code) {
    if (errorCode_ == 0) errorCode_ = code;
  }

  // Counts one evaluation against the runtime's budget; false (and code 18) when it is spent or
  // the deadline has passed.
  bool countInstruction();
  // One step of native work inside an instruction; false (and code 18) past the deadline.
  bool tick(std::uint32_t steps = 1);
  // Records `bytes` allocated for script values; false (and code 18) past the run's allowance.
  bool charge(std::size_t bytes);
  // False (and code 18) for a text longer than the bound.
  bool checkStringLength(std::size_t codeUnits);

  // Nesting: `enter` fails with code 18 past APMPMaxDepth levels; every successful `enter` is
  // paired with `leave` (APMPDepthGuard).
  bool enter();
  void leave() { --depth_; }
  int depth() const { return depth_; }

  // Cycle guards of the structural walks: a value already being joined, or a pair already being
  // compared, is not walked again.
  bool isJoining(const APMPCell* cell) const;
  void pushJoining(const APMPCell* cell) { joining_.push_back(cell); }
  void popJoining() { joining_.pop_back(); }
  bool isComparing(const APMPCell* a, const APMPCell* b) const;
  void pushComparing(const APMPCell* a, const APMPCell* b) { comparing_.emplace_back(a, b); }
  void popComparing() { comparing_.pop_back(); }

  std::size_t bytesCharged() const { return bytes_; }

 private:
  bool checkDeadline();

  APMPRuntime* runtime_;
  int errorCode_ = 0;
  int depth_ = 0;
  double deadline_;
  std::uint32_t stepsSinceCheck_ = 0;
  std::size_t bytes_ = 0;
  std::vector<const APMPCell*> joining_;
  std::vector<std::pair<const APMPCell*, const APMPCell*>> comparing_;
};

// Scoped nesting level: `ok()` is false when the level could not be entered (code 18 stored).
class APMPDepthGuard {
 public:
  explicit APMPDepthGuard(APMPContext& ctx) : ctx_(ctx), ok_(ctx.enter()) {}
  ~APMPDepthGuard() {
    if (ok_) ctx_.leave();
  }
  APMPDepthGuard(const APMPDepthGuard&) = delete;
  APMPDepthGuard& operator=(const APMPDepthGuard&) = delete;
  bool ok() const { return ok_; }

 private:
  APMPContext& ctx_;
  bool ok_;
};
