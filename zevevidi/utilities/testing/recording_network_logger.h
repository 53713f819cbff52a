// A network logger delegate for tests: records every (code, message) line the client logs, from
// any thread.
#pragma once

#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "zevevidi/utilities/gul_network.h"

namespace zevevidi_testing {

class RecordingLogger : public GULNetworkLoggerDelegate {
 public:
  std::mutex mutex;
  std::vector<std::pair<int, std::string>> lines;
  void add(int code, const std::string& message) {
    std::lock_guard lock(mutex);
    lines.emplace_back(code, message);
  }
  bool has(int code) {
    std::lock_guard lock(mutex);
    for (const auto& [c, m] : lines) {
      if (c == code) return true;
    }
    return false;
  }
  void GULNetwork_logWithLevel_contexts(GULNetworkLogLevel, GULNetworkMessageCode code,
                                        const std::string& message,
                                        const std::vector<platform::Value>&) override {
    add(code, message);
  }
  void GULNetwork_logWithLevel_context(GULNetworkLogLevel, GULNetworkMessageCode code,
                                       const std::string& message,
                                       const platform::Value&) override {
    add(code, message);
  }
  void GULNetwork_logWithLevel(GULNetworkLogLevel, GULNetworkMessageCode code,
                               const std::string& message) override {
    add(code, message);
  }
};

}  // namespace zevevidi_testing
