// Diagnostic lines of the SQLite plugin, written to the process log under the subsystem
// "com.vornadel.sqflite". Thread-safe: lines come from the main thread and from every
// database's serial queue. The plugin's connections write to the same log.
#pragma once

#include <string>

#include "platform/log/log.h"

namespace sqflite {

void sqfliteLog(const std::string& line);
// The log handle itself, for the connection layer.
const platform::LogPtr& sqfliteLogHandle();

}  // namespace sqflite
