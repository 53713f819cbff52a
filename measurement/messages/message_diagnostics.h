// Where the message layer's diagnostic lines go. The codec writes plain lines (most beginning
// "<ERROR> ") to standard output; misuse of the typed field accessors goes to the console log
// (the platform log, subsystem "com.lumora.measurement", category "messages").
// A sink installed here receives every line instead (tests capture them this way). Lines are
// passed without their line break; the default writers add one. Any thread may report.
#pragma once

#include <functional>
#include <string>
#include <vector>

enum class MessageLogChannel { kStandardOutput, kConsole };

using MessageDiagnosticSink =
    std::function<void(MessageLogChannel channel, const std::string& line)>;

// Installs the sink for every later line; an empty function restores the default writers.
void setMessageDiagnosticSink(MessageDiagnosticSink sink);

// Formats one line printf-style and hands it to the sink.
void messageDiagnostic(MessageLogChannel channel, const char* format, ...)
    __attribute__((format(printf, 2, 3)));

// Collects the lines reported while it lives (restoring the previous sink afterwards).
class ScopedMessageDiagnosticCapture {
 public:
  ScopedMessageDiagnosticCapture();
  ~ScopedMessageDiagnosticCapture();
  ScopedMessageDiagnosticCapture(const ScopedMessageDiagnosticCapture&) = delete;
  ScopedMessageDiagnosticCapture& operator=(const ScopedMessageDiagnosticCapture&) = delete;

  std::vector<std::string> lines() const;                           // every channel, in order
  std::vector<std::string> lines(MessageLogChannel channel) const;  // one channel
  void clear();

 private:
  struct State;
  State* state_;
  MessageDiagnosticSink previous_;
};
