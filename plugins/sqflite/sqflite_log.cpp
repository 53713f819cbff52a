#include "plugins/sqflite/sqflite_log.h"

#include "platform/log/log.h"

namespace sqflite {

void sqfliteLog(const std::string& line) {
  static const auto log = platform::Log::cached("com.vornadel.sqflite", "sqflite");
  log->notice(line);
}

}  // namespace sqflite
