// The native side of user content (interfaces WKUserContentController, WKUserScript,
// WKScriptMessageHandler and WKScriptMessage), and the script-message handler that carries a
// page's messages to the application's code.
//
// Stateless delegates; main thread. A handler re-dispatches every delivery onto a later
// main-loop turn before anything is sent, so messages reach the application's code in the order
// the engine delivered them; a failed delivery is logged under
// "WKScriptMessageHandler.didReceiveScriptMessage" and dropped.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/webkit/user_content_controller.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

class ScriptMessageHandlerImpl : public platform::webkit::NativeObject,
                                 public platform::webkit::ScriptMessageHandler {
 public:
  // The registrar is held weakly: it outlives every handler in the hosts, and a delivery after
  // it is gone sends nothing.
  explicit ScriptMessageHandlerImpl(const std::shared_ptr<ProxyApiRegistrar>& registrar);
  std::string className() const override { return "WKScriptMessageHandler"; }

  void userContentControllerDidReceiveScriptMessage(
      const std::shared_ptr<platform::webkit::UserContentController>& controller,
      const std::shared_ptr<platform::webkit::ScriptMessage>& message) override;

 private:
  std::weak_ptr<ProxyApiRegistrar> registrar_;
};

class UserContentControllerProxyAPIDelegate : public PigeonApiDelegateWKUserContentController {
 public:
  using ObjectPtr = platform::webkit::NativeObjectPtr;
  using Api = PigeonApiWKUserContentController;

  // A name already in use is refused with "name-in-use-error"; the first handler stays.
  void addScriptMessageHandler(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                               const ObjectPtr& handler, const std::string& name) override;
  void removeScriptMessageHandler(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                                  const std::string& name) override;
  // From system version 11.0; before it nothing is removed.
  void removeAllScriptMessageHandlers(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  void addUserScript(Api& pigeonApi, const ObjectPtr& pigeonInstance,
                     const ObjectPtr& userScript) override;
  void removeAllUserScripts(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
};

class UserScriptProxyAPIDelegate : public PigeonApiDelegateWKUserScript {
 public:
  using ObjectPtr = platform::webkit::NativeObjectPtr;
  using Api = PigeonApiWKUserScript;

  // `unknown` is refused with "UnknownEnumError" and makes no script.
  ObjectPtr pigeonDefaultConstructor(Api& pigeonApi, const std::string& source,
                                     UserScriptInjectionTime injectionTime,
                                     bool isForMainFrameOnly) override;
  std::string source(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  UserScriptInjectionTime injectionTime(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
  bool isForMainFrameOnly(Api& pigeonApi, const ObjectPtr& pigeonInstance) override;
};

class ScriptMessageHandlerProxyAPIDelegate : public PigeonApiDelegateWKScriptMessageHandler {
 public:
  platform::webkit::NativeObjectPtr
  pigeonDefaultConstructor(PigeonApiWKScriptMessageHandler& pigeonApi) override;
};

class ScriptMessageProxyAPIDelegate : public PigeonApiDelegateWKScriptMessage {
 public:
  std::string name(PigeonApiWKScriptMessage& pigeonApi,
                   const platform::webkit::NativeObjectPtr& pigeonInstance) override;
  std::optional<platform::Value>
  body(PigeonApiWKScriptMessage& pigeonApi,
       const platform::webkit::NativeObjectPtr& pigeonInstance) override;
};

}  // namespace webview
