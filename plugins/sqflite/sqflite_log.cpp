#include "plugins/sqflite/sqflite_log.h"

namespace sqflite {

const platform::LogPtr& sqfliteLogHandle() {
  static const platform::LogPtr log = platform::Log::cached("com.vornadel.sqflite", "sqflite");
  return log;
}

void sqfliteLog(const std::string& line) {
  sqfliteLogHandle()->notice(line);
}

}  // namespace sqflite
