#include "platform/engine/engine_log.h"

#include "platform/log/log.h"

namespace flutter {

namespace {

const platform::LogPtr& log() {
  static const auto log = platform::Log::cached("com.lumora.engine", "engine");
  return log;
}

}  // namespace

void engineLog(std::string_view line) {
  log()->notice(line);
}

void engineError(std::string_view line) {
  log()->error(line);
}

}  // namespace flutter
