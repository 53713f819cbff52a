// Diagnostic lines of the SQLite plugin, written to the process log under the subsystem
// "com.vornadel.sqflite". Thread-safe: lines come from the main thread and from every
// database's serial queue.
#pragma once

#include <string>

namespace sqflite {

void sqfliteLog(const std::string& line);

}  // namespace sqflite
