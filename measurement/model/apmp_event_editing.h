// What the measurement core needs of the event-editing script runtime, which sits above it and
// implements this interface: the runtime's event record, the module kinds a program's "require"
// yields, and the editing runtime itself. The runtime registers a factory at start-up; the remote
// configuration asks it for one instance per parsed configuration, and with no runtime
// registered there is no instance and events go unedited.
//
// An editing instance is used by one thread at a time (the measurement worker queue); the
// factory may be registered and used from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/messages/apmpb_wrappers.h"
#include "platform/core/error.h"
#include "platform/core/value.h"

// The version of the script runtime sent with the configuration fetch.
inline constexpr std::int64_t APMPEventEditingRuntimeVersion = 0;

// The runtime's event: parameters map names to numbers, strings and lists of parameter maps.
struct APMPEvent {
  static APMPEvent initWithName(std::string name, double timestamp, platform::ValueMap parameters) {
    return APMPEvent{std::move(name), timestamp, std::move(parameters)};
  }

  std::string name;
  double timestamp = 0;  // seconds since 1970
  platform::ValueMap parameters;
};

// The context of the last handled event.
struct APMPEventContext {
  APMPEvent outputEvent;               // the edited event
  std::vector<APMPEvent> eventsToLog;  // created events; "_o" may carry their origin
};

// A module object a program's "require" yields.
class APMPModule {
 public:
  virtual ~APMPModule() = default;
};

// A value lookup: key to value text, or none.
class APMPKeyValueStore : public APMPModule {
 public:
  using GetValueBlock = std::function<std::optional<std::string>(const std::string& key)>;
  APMPKeyValueStore(std::string functionName, GetValueBlock getValueBlock)
      : functionName(std::move(functionName)), getValueBlock(std::move(getValueBlock)) {}
  const std::string functionName;
  const GetValueBlock getValueBlock;
};

// Exposes the map its block answers.
class APMPObjectProvider : public APMPModule {
 public:
  using Block = std::function<platform::ValueMap()>;
  APMPObjectProvider(std::string name, Block block)
      : name(std::move(name)), block(std::move(block)) {}
  const std::string name;
  const Block block;
};

// The runtime's logger; the runtime decides where its lines go.
class APMPixieLogger {
 public:
  virtual ~APMPixieLogger() = default;
  virtual void logMessage(const std::string& message) = 0;
};

// The logging module over the runtime's logger.
class APMPMessageLogger : public APMPModule {
 public:
  explicit APMPMessageLogger(std::shared_ptr<APMPixieLogger> logger) : logger(std::move(logger)) {}
  const std::shared_ptr<APMPixieLogger> logger;
};

class APMPEventEditing {
 public:
  using ModuleCreator = std::function<std::shared_ptr<APMPModule>()>;
  using Factory = std::function<std::shared_ptr<APMPEventEditing>()>;

  virtual ~APMPEventEditing() = default;

  // A new instance from the registered runtime, or null when none is registered.
  static std::shared_ptr<APMPEventEditing> init();
  // Called once by the script runtime at start-up (an empty factory unregisters).
  static void registerFactory(Factory factory);
  static std::int64_t runtimeVersion() { return APMPEventEditingRuntimeVersion; }

  // What a program's require of `name` yields ("internal.remoteConfig", "internal.appMetadata",
  // "internal.logger").
  virtual void setModuleCreator(ModuleCreator creator, const std::string& name) = 0;
  // Runs the program's statements and loads its activities; failure only through `error`.
  virtual void loadProgram(const APMPBProgram& program, platform::ErrorPtr* error) = 0;
  // Runs the edit and create callbacks on the event; an error leaves it unedited.
  virtual void handleEvent(const APMPEvent& event, platform::ErrorPtr* error) = 0;
  virtual bool hasEdits() const = 0;
  virtual bool hasCreatedEvents() const = 0;
  virtual const APMPEventContext& eventContext() const = 0;
};
