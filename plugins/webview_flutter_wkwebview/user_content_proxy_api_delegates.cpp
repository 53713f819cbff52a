#include "plugins/webview_flutter_wkwebview/user_content_proxy_api_delegates.h"

#include "plugins/webview_flutter_wkwebview/configuration_proxy_api_delegates.h"
#include "plugins/webview_flutter_wkwebview/native_cast.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"

namespace webview {

namespace wk = platform::webkit;

namespace {

constexpr const char* kDidReceiveScriptMessage = "WKScriptMessageHandler.didReceiveScriptMessage";

}  // namespace

ScriptMessageHandlerImpl::ScriptMessageHandlerImpl(
    const std::shared_ptr<ProxyApiRegistrar>& registrar)
    : registrar_(registrar) {}

void ScriptMessageHandlerImpl::userContentControllerDidReceiveScriptMessage(
    const std::shared_ptr<wk::UserContentController>& controller,
    const std::shared_ptr<wk::ScriptMessage>& message) {
  auto registrar = registrar_.lock();
  if (!registrar) return;
  auto& dispatcher = *registrar;
  dispatcher.dispatchOnMainThread([registrar = std::move(registrar), self = shared_from_this(),
                                   controller, message](const ProxyApiRegistrar::FailureReporter&) {
    const auto& api = registrar->apis().WKScriptMessageHandler;
    if (!api) return;
    // The reply comes after this task has run: a failure is logged as the task's reporter
    // would log it (the completion holds nothing, so it costs no allocation per message).
    api->didReceiveScriptMessage(self, controller, message, [](const pigeon::CallResult& result) {
      if (result.error) {
        ProxyApiRegistrar::logFlutterMethodFailure(*result.error, kDidReceiveScriptMessage);
      }
    });
  });
}

void UserContentControllerProxyAPIDelegate::addScriptMessageHandler(Api& /*pigeonApi*/,
                                                                    const ObjectPtr& pigeonInstance,
                                                                    const ObjectPtr& handler,
                                                                    const std::string& name) {
  auto messageHandler = std::dynamic_pointer_cast<wk::ScriptMessageHandler>(handler);
  if (!messageHandler) {
    throw pigeon::ArgumentError("addScriptMessageHandler: argument 1 is an instance of " +
                                handler->className() + ", not a script message handler");
  }
  // The engine would end the process here; we refuse the second handler and keep the first.
  if (!nativeAs<wk::UserContentController>(pigeonInstance)
           .addScriptMessageHandler(std::move(messageHandler), name)) {
    throw pigeon::PigeonError("name-in-use-error",
                              "A script message handler is already added under the name \"" + name +
                                  "\".",
                              platform::Value());
  }
}

void UserContentControllerProxyAPIDelegate::removeScriptMessageHandler(
    Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance, const std::string& name) {
  nativeAs<wk::UserContentController>(pigeonInstance).removeScriptMessageHandlerForName(name);
}

void UserContentControllerProxyAPIDelegate::removeAllScriptMessageHandlers(
    Api& /*pigeonApi*/, const ObjectPtr& pigeonInstance) {
  if (!systemIsAtLeast11()) {
    throw ProxyApiRegistrar::createUnsupportedVersionError(
        "WKUserContentController.removeAllScriptMessageHandlers", "iOS 14.0, macOS 11.0");
  }
  nativeAs<wk::UserContentController>(pigeonInstance).removeAllScriptMessageHandlers();
}

void UserContentControllerProxyAPIDelegate::addUserScript(Api& /*pigeonApi*/,
                                                          const ObjectPtr& pigeonInstance,
                                                          const ObjectPtr& userScript) {
  nativeAs<wk::UserContentController>(pigeonInstance)
      .addUserScript(nativeCast<wk::UserScript>(userScript));
}

void UserContentControllerProxyAPIDelegate::removeAllUserScripts(Api& /*pigeonApi*/,
                                                                 const ObjectPtr& pigeonInstance) {
  nativeAs<wk::UserContentController>(pigeonInstance).removeAllUserScripts();
}

UserScriptProxyAPIDelegate::ObjectPtr
UserScriptProxyAPIDelegate::pigeonDefaultConstructor(Api& /*pigeonApi*/, const std::string& source,
                                                     UserScriptInjectionTime injectionTime,
                                                     bool isForMainFrameOnly) {
  wk::UserScriptInjectionTime time;
  switch (injectionTime) {
  case UserScriptInjectionTime::atDocumentStart:
    time = wk::UserScriptInjectionTime::atDocumentStart;
    break;
  case UserScriptInjectionTime::atDocumentEnd:
    time = wk::UserScriptInjectionTime::atDocumentEnd;
    break;
  default:
    throw ProxyApiRegistrar::createUnknownEnumError("unknown");
  }
  return std::make_shared<wk::UserScript>(source, time, isForMainFrameOnly);
}

std::string UserScriptProxyAPIDelegate::source(Api& /*pigeonApi*/,
                                               const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::UserScript>(pigeonInstance).source;
}

UserScriptInjectionTime UserScriptProxyAPIDelegate::injectionTime(Api& /*pigeonApi*/,
                                                                  const ObjectPtr& pigeonInstance) {
  switch (nativeAs<wk::UserScript>(pigeonInstance).injectionTime) {
  case wk::UserScriptInjectionTime::atDocumentStart:
    return UserScriptInjectionTime::atDocumentStart;
  case wk::UserScriptInjectionTime::atDocumentEnd:
    return UserScriptInjectionTime::atDocumentEnd;
  }
  return UserScriptInjectionTime::unknown;
}

bool UserScriptProxyAPIDelegate::isForMainFrameOnly(Api& /*pigeonApi*/,
                                                    const ObjectPtr& pigeonInstance) {
  return nativeAs<wk::UserScript>(pigeonInstance).forMainFrameOnly;
}

platform::webkit::NativeObjectPtr ScriptMessageHandlerProxyAPIDelegate::pigeonDefaultConstructor(
    PigeonApiWKScriptMessageHandler& pigeonApi) {
  return std::make_shared<ScriptMessageHandlerImpl>(pigeonApi.pigeonRegistrar.shared_from_this());
}

std::string
ScriptMessageProxyAPIDelegate::name(PigeonApiWKScriptMessage& /*pigeonApi*/,
                                    const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return nativeAs<wk::ScriptMessage>(pigeonInstance).name;
}

std::optional<platform::Value>
ScriptMessageProxyAPIDelegate::body(PigeonApiWKScriptMessage& /*pigeonApi*/,
                                    const platform::webkit::NativeObjectPtr& pigeonInstance) {
  return nativeAs<wk::ScriptMessage>(pigeonInstance).body;
}

}  // namespace webview
