// The unified-log stand-in. A Log is a handle for one (subsystem, category) pair; writing a line
// through it sends the line, with its type, to the process log destination: stderr by default,
// the system log (syslog) when LUMORA_LOG_SYSLOG=1 or setLogDestination asks for it. Tests
// install a ScopedLogCapture, which records the lines in order instead.
//
// Handles are immutable and thread-safe; writes from any thread are serialised, so one
// thread's lines keep their order. Log::cached keeps one handle per pair for the process's
// life. This library also routes assertion failures and exceptions escaping queued tasks into
// the log (subsystem "com.lumora.platform").
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Ordered by severity: Debug < Info < Default < Error < Fault.
enum class LogType : std::uint8_t { Debug, Info, Default, Error, Fault };

const char* logTypeName(LogType type);

class Log {
 public:
  // A new handle for the pair (stands in for creating a system log handle).
  static std::shared_ptr<Log> create(std::string subsystem, std::string category);
  // The process-wide handle for the pair, created on first use and kept.
  static std::shared_ptr<Log> cached(const std::string& subsystem, const std::string& category);
  // How many handles create() (directly or through cached()) has made in this process.
  static std::size_t handlesCreated();

  const std::string& subsystem() const { return subsystem_; }
  const std::string& category() const { return category_; }

  // Whether lines of this type are written at all (see setMinimumLogType).
  bool isEnabled(LogType type) const;
  void write(LogType type, std::string_view message) const;

  void debug(std::string_view message) const { write(LogType::Debug, message); }
  void info(std::string_view message) const { write(LogType::Info, message); }
  void notice(std::string_view message) const { write(LogType::Default, message); }
  void error(std::string_view message) const { write(LogType::Error, message); }
  void fault(std::string_view message) const { write(LogType::Fault, message); }

  Log(std::string subsystem, std::string category);

 private:
  const std::string subsystem_;
  const std::string category_;
};
using LogPtr = std::shared_ptr<Log>;

enum class LogDestination { Stderr, Syslog };
void setLogDestination(LogDestination destination);
// Lines below this type are dropped (default: Debug, everything is written; callers filter
// by their own levels first).
void setMinimumLogType(LogType type);

struct LogLine {
  std::string subsystem;
  std::string category;
  LogType type = LogType::Default;
  std::string message;
  friend bool operator==(const LogLine&, const LogLine&) = default;
};

// Records every line written (from any thread) while it lives, in order, instead of sending it
// to the destination. Captures nest; the innermost records.
class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::vector<LogLine> lines() const;
  // Only the message texts, in order.
  std::vector<std::string> messages() const;
  // Lines whose message contains `text`.
  std::size_t count(std::string_view text) const;
  void clear();

 private:
  friend class Log;
  struct State;
  std::unique_ptr<State> state_;
  ScopedLogCapture* previous_;
};

}  // namespace platform
