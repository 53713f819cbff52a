#include "platform/webkit/user_content_controller.h"

#include <utility>

#include "platform/dispatch/queue.h"

namespace platform::webkit {

using platform::Value;

platform::ValueMap UserScript::engineState() const {
  return {{Value("source"), Value(source)},
          {Value("injectionTime"),
           Value(injectionTime == UserScriptInjectionTime::atDocumentStart ? "atDocumentStart"
                                                                           : "atDocumentEnd")},
          {Value("forMainFrameOnly"), Value(forMainFrameOnly)}};
}

platform::ValueMap ScriptMessage::engineState() const {
  return {{Value("name"), Value(name)}, {Value("body"), body ? *body : Value()}};
}

bool UserContentController::addScriptMessageHandler(std::shared_ptr<ScriptMessageHandler> handler,
                                                    const std::string& name) {
  if (!handler) return false;
  std::lock_guard lock(mutex_);
  return handlers_.emplace(name, std::move(handler)).second;
}

void UserContentController::removeScriptMessageHandlerForName(const std::string& name) {
  std::shared_ptr<ScriptMessageHandler> removed;  // released after the lock is dropped
  std::lock_guard lock(mutex_);
  if (auto it = handlers_.find(name); it != handlers_.end()) {
    removed = std::move(it->second);
    handlers_.erase(it);
  }
}

void UserContentController::removeAllScriptMessageHandlers() {
  std::map<std::string, std::shared_ptr<ScriptMessageHandler>> removed;
  std::lock_guard lock(mutex_);
  removed.swap(handlers_);
}

std::shared_ptr<ScriptMessageHandler>
UserContentController::scriptMessageHandler(const std::string& name) const {
  std::lock_guard lock(mutex_);
  auto it = handlers_.find(name);
  return it == handlers_.end() ? nullptr : it->second;
}

std::vector<std::string> UserContentController::scriptMessageHandlerNames() const {
  std::lock_guard lock(mutex_);
  std::vector<std::string> names;
  for (const auto& entry : handlers_)
    names.push_back(entry.first);
  return names;
}

void UserContentController::addUserScript(std::shared_ptr<UserScript> script) {
  if (!script) return;
  std::lock_guard lock(mutex_);
  userScripts_.push_back(std::move(script));
}

void UserContentController::removeAllUserScripts() {
  std::vector<std::shared_ptr<UserScript>> removed;
  std::lock_guard lock(mutex_);
  removed.swap(userScripts_);
}

std::vector<std::shared_ptr<UserScript>> UserContentController::userScripts() const {
  std::lock_guard lock(mutex_);
  return userScripts_;
}

bool UserContentController::postScriptMessage(const std::string& name,
                                              std::optional<platform::Value> body) {
  auto handler = scriptMessageHandler(name);
  if (!handler) return false;
  auto self = std::static_pointer_cast<UserContentController>(shared_from_this());
  auto message = std::make_shared<ScriptMessage>(name, std::move(body));
  platform::mainQueue()->async(
      [self = std::move(self), handler = std::move(handler), message = std::move(message)] {
        handler->userContentControllerDidReceiveScriptMessage(self, message);
      });
  return true;
}

platform::ValueMap UserContentController::engineState() const {
  platform::ValueList scripts;
  platform::ValueList names;
  for (const auto& script : userScripts())
    scripts.push_back(Value(script->engineState()));
  for (const auto& name : scriptMessageHandlerNames())
    names.push_back(Value(name));
  return {{Value("userScripts"), Value(std::move(scripts))},
          {Value("scriptMessageHandlers"), Value(std::move(names))}};
}

}  // namespace platform::webkit
