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

// The context of the last handled event: the event as handed in, the edited copy and the
// events the callbacks created.
struct APMPEventContext {
  APMPEvent inputEvent;
  APMPEvent outputEvent;               // the edited event
  std::vector<APMPEvent> eventsToLog;  // created events; "_o" may carry their origin
};

// A module object a program's "require" yields; the runtime turns each into a script value.
class APMPModule {
 public:
  virtual ~APMPModule() = default;
};

// A settings lookup ("getValue"): key to a string or a number, or none. The runtime shows a
// number in its own number form.
class APMPKeyValueStoreModule : public APMPModule {
 public:
  using GetValueBlock = std::function<std::optional<platform::Value>(const std::string& key)>;
  APMPKeyValueStoreModule(std::string functionName, GetValueBlock getValueBlock)
      : functionName(std::move(functionName)), getValueBlock(std::move(getValueBlock)) {}
  const std::string functionName;
  const GetValueBlock getValueBlock;
};

// Exposes the map its block answers, built anew at each call.
class APMPObjectProviderModule : public APMPModule {
 public:
  using Block = std::function<platform::ValueMap()>;
  APMPObjectProviderModule(std::string name, Block block)
      : name(std::move(name)), block(std::move(block)) {}
  const std::string name;
  const Block block;
};

// Where a script's log lines go.
class APMPLoggerDelegate {
 public:
  virtual ~APMPLoggerDelegate() = default;
  virtual void logWithLevel(std::int64_t level, const std::string& message,
                            const std::vector<std::string>& context, bool silent,
                            bool monitored) = 0;
};

// Script log lines to the measurement monitor, code 24005, at the level `monitorLevel` maps
// the script's level to. Any thread.
class APMPixieLogger : public APMPLoggerDelegate {
 public:
  static constexpr std::int64_t kMessageCode = 24005;
  // Script levels 2 and 3 are verbose and debug, 5 a warning and 6 an error (silent or
  // monitorable as the flags say); every other level is a notice.
  static std::int64_t monitorLevel(std::int64_t level, bool silent, bool monitored);
  void logWithLevel(std::int64_t level, const std::string& message,
                    const std::vector<std::string>& context, bool silent, bool monitored) override;
};

// The logging module over one logger.
class APMPMessageLoggerModule : public APMPModule {
 public:
  explicit APMPMessageLoggerModule(std::shared_ptr<APMPLoggerDelegate> logger)
      : logger(std::move(logger)) {}
  const std::shared_ptr<APMPLoggerDelegate> logger;
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
  // Runs the edit and create callbacks on the event. An error (the event is then to be written
  // unedited, without created events) comes only through `error`; otherwise true when the
  // event was changed or events were created.
  virtual bool handleEvent(const APMPEvent& event, platform::ErrorPtr* error) = 0;
  virtual bool hasEdits() const = 0;
  virtual bool hasCreatedEvents() const = 0;
  virtual const APMPEventContext& eventContext() const = 0;
  // False once the instance must not run again (its script values outgrew their bound); its
  // owner then drops it as after a failed load.
  virtual bool isUsable() const { return true; }
};
