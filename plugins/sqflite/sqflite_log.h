// Diagnostic lines of the SQLite plugin. Every line goes through sqfliteLog(), which writes to
// the process log; tests install a capture sink to check which lines a situation produced.
// Thread-safe: lines come from the main thread and from every database's serial queue.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace sqflite {

void sqfliteLog(const std::string& line);

// Captures every line logged while it lives (from any thread) instead of writing it out.
class ScopedLogCapture {
 public:
  ScopedLogCapture();
  ~ScopedLogCapture();
  ScopedLogCapture(const ScopedLogCapture&) = delete;
  ScopedLogCapture& operator=(const ScopedLogCapture&) = delete;

  std::vector<std::string> lines() const;
  // How many captured lines contain `text`.
  std::size_t count(const std::string& text) const;

 private:
  ScopedLogCapture* previous_;
};

}  // namespace sqflite
