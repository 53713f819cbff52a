#include "platform/engine/engine_log.h"

#include "platform/log/log.h"

namespace flutter {

void engineLog(std::string_view line) {
  static const auto log = platform::Log::cached("com.lumora.engine", "engine");
  log->notice(line);
}

}  // namespace flutter
