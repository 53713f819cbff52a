#include "measurement/messages/message_diagnostics.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <utility>

#include "platform/log/log.h"

namespace {

std::mutex& sinkMutex() {
  static std::mutex mutex;
  return mutex;
}

MessageDiagnosticSink& sinkSlot() {
  static MessageDiagnosticSink sink;
  return sink;
}

void defaultWrite(MessageLogChannel channel, const std::string& line) {
  if (channel == MessageLogChannel::kConsole) {
    // Accessor misuse is a console-log line: the platform log, which writes to standard error.
    static const platform::LogPtr& log =
        *new platform::LogPtr(platform::Log::cached("com.lumora.measurement", "messages"));
    log->notice(line);
    return;
  }
  // The codec's own lines are plain lines on standard output.
  std::fwrite(line.data(), 1, line.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

}  // namespace

void setMessageDiagnosticSink(MessageDiagnosticSink sink) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  sinkSlot() = std::move(sink);
}

void messageDiagnostic(MessageLogChannel channel, const char* format, ...) {
  std::string line;
  va_list args;
  va_start(args, format);
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed > 0) {
    line.resize(static_cast<std::size_t>(needed));
    std::vsnprintf(line.data(), line.size() + 1, format, args);
  }
  va_end(args);
  MessageDiagnosticSink sink;
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sink = sinkSlot();
  }
  if (sink) {
    sink(channel, line);
  } else {
    defaultWrite(channel, line);
  }
}

struct ScopedMessageDiagnosticCapture::State {
  mutable std::mutex mutex;
  std::vector<std::pair<MessageLogChannel, std::string>> lines;
};

ScopedMessageDiagnosticCapture::ScopedMessageDiagnosticCapture() : state_(new State) {
  std::lock_guard<std::mutex> lock(sinkMutex());
  previous_ = sinkSlot();
  State* state = state_;
  sinkSlot() = [state](MessageLogChannel channel, const std::string& line) {
    std::lock_guard<std::mutex> guard(state->mutex);
    state->lines.emplace_back(channel, line);
  };
}

ScopedMessageDiagnosticCapture::~ScopedMessageDiagnosticCapture() {
  {
    std::lock_guard<std::mutex> lock(sinkMutex());
    sinkSlot() = std::move(previous_);
  }
  delete state_;
}

std::vector<std::string> ScopedMessageDiagnosticCapture::lines() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  std::vector<std::string> out;
  for (const auto& entry : state_->lines)
    out.push_back(entry.second);
  return out;
}

std::vector<std::string> ScopedMessageDiagnosticCapture::lines(MessageLogChannel channel) const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  std::vector<std::string> out;
  for (const auto& entry : state_->lines) {
    if (entry.first == channel) out.push_back(entry.second);
  }
  return out;
}

void ScopedMessageDiagnosticCapture::clear() {
  std::lock_guard<std::mutex> guard(state_->mutex);
  state_->lines.clear();
}
