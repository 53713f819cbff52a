#include "platform/log/log.h"

#include <syslog.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <mutex>
#include <utility>

#include "platform/core/assertion.h"
#include "platform/dispatch/queue.h"

namespace platform {

struct ScopedLogCapture::State {
  std::vector<LogLine> lines;
};

namespace {

struct LogState {
  std::mutex mutex;  // guards everything below and serialises writes
  ScopedLogCapture* capture = nullptr;
  LogDestination destination = LogDestination::Stderr;
  bool syslogOpen = false;
  std::map<std::pair<std::string, std::string>, LogPtr> cache;
  std::atomic<std::size_t> created{0};
  std::atomic<int> minimum{static_cast<int>(LogType::Debug)};

  LogState() {
    const char* syslogWanted = std::getenv("LUMORA_LOG_SYSLOG");
    if (syslogWanted && std::strcmp(syslogWanted, "1") == 0) destination = LogDestination::Syslog;
  }
};

// Leaked: lines may be written from other threads while the process exits.
LogState& state() {
  static LogState* s = new LogState;
  return *s;
}

int syslogPriority(LogType type) {
  switch (type) {
  case LogType::Debug:
    return LOG_DEBUG;
  case LogType::Info:
    return LOG_INFO;
  case LogType::Default:
    return LOG_NOTICE;
  case LogType::Error:
    return LOG_ERR;
  case LogType::Fault:
    return LOG_CRIT;
  }
  return LOG_NOTICE;
}

const std::string kPlatformSubsystem = "com.lumora.platform";

// Failures of the platform layer itself land in the log like any other line.
const bool kSinksInstalled = [] {
  setAssertionSink([](const AssertionFailure& failure) {
    Log::cached(kPlatformSubsystem, "assertion")
        ->fault(failure.file + ":" + std::to_string(failure.line) + ": " + failure.message);
  });
  setTaskExceptionSink([](const std::string& label, const std::string& what) {
    Log::cached(kPlatformSubsystem, "dispatch")
        ->error("uncaught exception in a task on queue '" + label + "': " + what);
  });
  return true;
}();

}  // namespace

const char* logTypeName(LogType type) {
  switch (type) {
  case LogType::Debug:
    return "Debug";
  case LogType::Info:
    return "Info";
  case LogType::Default:
    return "Default";
  case LogType::Error:
    return "Error";
  case LogType::Fault:
    return "Fault";
  }
  return "Default";
}

Log::Log(std::string subsystem, std::string category)
    : subsystem_(std::move(subsystem)), category_(std::move(category)) {}

std::shared_ptr<Log> Log::create(std::string subsystem, std::string category) {
  (void)kSinksInstalled;
  state().created.fetch_add(1);
  return std::make_shared<Log>(std::move(subsystem), std::move(category));
}

std::shared_ptr<Log> Log::cached(const std::string& subsystem, const std::string& category) {
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  LogPtr& handle = s.cache[{subsystem, category}];
  if (!handle) handle = create(subsystem, category);
  return handle;
}

std::size_t Log::handlesCreated() {
  return state().created.load();
}

bool Log::isEnabled(LogType type) const {
  return static_cast<int>(type) >= state().minimum.load(std::memory_order_relaxed);
}

void Log::write(LogType type, std::string_view message) const {
  if (!isEnabled(type)) return;
  LogState& s = state();
  std::lock_guard<std::mutex> guard(s.mutex);
  if (s.capture) {
    s.capture->state_->lines.push_back(LogLine{subsystem_, category_, type, std::string(message)});
    return;
  }
  if (s.destination == LogDestination::Syslog) {
    if (!s.syslogOpen) {
      openlog("lumora", LOG_PID, LOG_USER);
      s.syslogOpen = true;
    }
    // The message goes in as an argument, never as the format.
    syslog(syslogPriority(type), "%s %s: %.*s", subsystem_.c_str(), category_.c_str(),
           static_cast<int>(message.size()), message.data());
    return;
  }
  std::fprintf(stderr, "lumora[%d] <%s> %s %s: %.*s\n", static_cast<int>(getpid()),
               logTypeName(type), subsystem_.c_str(), category_.c_str(),
               static_cast<int>(message.size()), message.data());
}

void setLogDestination(LogDestination destination) {
  std::lock_guard<std::mutex> guard(state().mutex);
  state().destination = destination;
}

void setMinimumLogType(LogType type) {
  state().minimum.store(static_cast<int>(type));
}

ScopedLogCapture::ScopedLogCapture() : state_(std::make_unique<State>()) {
  std::lock_guard<std::mutex> guard(state().mutex);
  previous_ = state().capture;
  state().capture = this;
}

ScopedLogCapture::~ScopedLogCapture() {
  std::lock_guard<std::mutex> guard(state().mutex);
  // Captures normally end in reverse order; unlink wherever this one sits.
  if (state().capture == this) {
    state().capture = previous_;
  } else {
    for (ScopedLogCapture* c = state().capture; c; c = c->previous_) {
      if (c->previous_ == this) {
        c->previous_ = previous_;
        break;
      }
    }
  }
}

std::vector<LogLine> ScopedLogCapture::lines() const {
  std::lock_guard<std::mutex> guard(state().mutex);
  return state_->lines;
}

std::vector<std::string> ScopedLogCapture::messages() const {
  std::lock_guard<std::mutex> guard(state().mutex);
  std::vector<std::string> out;
  for (const LogLine& line : state_->lines)
    out.push_back(line.message);
  return out;
}

std::size_t ScopedLogCapture::count(std::string_view text) const {
  std::lock_guard<std::mutex> guard(state().mutex);
  std::size_t n = 0;
  for (const LogLine& line : state_->lines) {
    if (line.message.find(text) != std::string::npos) ++n;
  }
  return n;
}

void ScopedLogCapture::clear() {
  std::lock_guard<std::mutex> guard(state().mutex);
  state_->lines.clear();
}

}  // namespace platform
