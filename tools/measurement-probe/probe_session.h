// The measurement probe's session: reads one JSON command per line ({"op": name, ...}, an
// optional "id" echoed back), runs the command registered under that name on the main thread,
// and writes one JSON line with its "result" or its "error". Other lines (monitor reports) may be
// printed between them through print(), from any thread.
//
// Values travel in lumora-peer's JSON forms ({"$uint8": "hex"} for data, {"$map": [[key, value],
// ...]} for maps with other keys, {"$int32": [...]} for typed data), plus {"$date": seconds}
// for dates; objects print as {"$object": class name, "description": text}.
#pragma once

#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>

#include <nlohmann/json.hpp>

#include "platform/core/value.h"

namespace platform {
class TestEnvironment;
}

namespace lumora::probe {

using Json = nlohmann::json;

// Thrown by a command for input it cannot use; becomes the "error" of the reply line.
class ProbeInputError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

class ProbeSession {
 public:
  using Command = std::function<Json(const Json& command)>;
  // Called once input has ended, before the process exits (flushes, waits).
  using Finisher = std::function<void()>;

  explicit ProbeSession(platform::TestEnvironment* mockClock) : mockClock_(mockClock) {}

  void add(const std::string& op, Command command);
  void addFinisher(Finisher finisher);
  // Runs until the input ends; returns the exit code.
  int run(std::istream& in);
  // Writes one line to standard output; thread-safe.
  void print(const Json& line);

  // The mock clock, when the probe runs with --mock-clock.
  platform::TestEnvironment* mockClock() const { return mockClock_; }

 private:
  Json handle(const std::string& line);

  platform::TestEnvironment* mockClock_;
  std::map<std::string, Command> commands_;
  std::vector<Finisher> finishers_;
  std::mutex outputMutex_;
};

Json jsonFromValue(const platform::Value& value);
platform::Value valueFromJson(const Json& json);

// Field readers that throw ProbeInputError naming the field.
const Json& requiredField(const Json& command, const char* name);
std::string stringField(const Json& command, const char* name);
std::int64_t integerField(const Json& command, const char* name);
double numberField(const Json& command, const char* name);
bool boolField(const Json& command, const char* name, bool fallback);

}  // namespace lumora::probe
