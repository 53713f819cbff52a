#include "platform/engine/engine_log.h"

#include <cstdio>
#include <mutex>
#include <string>

namespace flutter {

void engineLog(std::string_view line) {
  static std::mutex mutex;
  std::string text = "[engine] ";
  text.append(line);
  text.push_back('\n');
  std::lock_guard<std::mutex> guard(mutex);
  std::fwrite(text.data(), 1, text.size(), stderr);
  std::fflush(stderr);
}

}  // namespace flutter
