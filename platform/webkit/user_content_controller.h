// Stands in for the web engine's user content: user scripts injected into pages, script
// messages that pages post, and the controller that holds a web view's scripts and the
// handlers of its messages.
//
// The controller keeps its user scripts in the order added and its script-message handlers by
// name, one per name: adding a second handler under a name in use is refused and the first
// stays. The simulated engine delivers a message that a page posts to the handler of its name
// on a later turn of the main loop, messages in posting order. Handlers are held strongly while
// added. Thread-safe (one mutex, never held while calling out).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/webkit/native_object.h"

namespace platform::webkit {

enum class UserScriptInjectionTime : std::int64_t {
  atDocumentStart = 0,
  atDocumentEnd = 1,
};

class UserScript : public NativeObject {
 public:
  UserScript(std::string source, UserScriptInjectionTime injectionTime, bool forMainFrameOnly)
      : source(std::move(source)), injectionTime(injectionTime),
        forMainFrameOnly(forMainFrameOnly) {}
  std::string className() const override { return "WKUserScript"; }
  platform::ValueMap engineState() const override;

  const std::string source;
  const UserScriptInjectionTime injectionTime;
  const bool forMainFrameOnly;
};

// What a page posted: the handler's name and a body (absent when the page sent none).
class ScriptMessage : public NativeObject {
 public:
  ScriptMessage(std::string name, std::optional<platform::Value> body)
      : name(std::move(name)), body(std::move(body)) {}
  std::string className() const override { return "WKScriptMessage"; }
  platform::ValueMap engineState() const override;

  const std::string name;
  const std::optional<platform::Value> body;
};

class UserContentController;

// Receives the messages posted to the name it was added under. Called on the main thread.
class ScriptMessageHandler {
 public:
  virtual ~ScriptMessageHandler() = default;
  virtual void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<UserContentController>& controller,
      const std::shared_ptr<ScriptMessage>& message) = 0;
};

class UserContentController : public NativeObject {
 public:
  std::string className() const override { return "WKUserContentController"; }
  platform::ValueMap engineState() const override;

  // False, changing nothing, when a handler is already added under `name`.
  bool addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler,
                               const std::string& name);
  void removeScriptMessageHandlerForName(const std::string& name);
  void removeAllScriptMessageHandlers();
  std::shared_ptr<ScriptMessageHandler> scriptMessageHandler(const std::string& name) const;
  std::vector<std::string> scriptMessageHandlerNames() const;

  void addUserScript(std::shared_ptr<UserScript> script);
  void removeAllUserScripts();
  std::vector<std::shared_ptr<UserScript>> userScripts() const;

  // The simulated engine's page posting a message: delivered to the handler added under `name`
  // now, on a later main-loop turn. False (nothing delivered) when no handler has that name.
  bool postScriptMessage(const std::string& name, std::optional<platform::Value> body);

 private:
  mutable std::mutex mutex_;
  std::map<std::string, std::shared_ptr<ScriptMessageHandler>> handlers_;
  std::vector<std::shared_ptr<UserScript>> userScripts_;
};

}  // namespace platform::webkit
