// How the engine-facing delegates (UI and navigation) reach the application's code: the call
// is sent on a later main-loop turn, and its outcome is settled on a further turn, so engine
// handlers are never called inside the engine's callback nor inside the reply.
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"

namespace webview {

// Forwards one request: `send` runs on a later main-loop turn and gets the reporter and a
// completion; `settle` then runs on a further turn with the call's outcome. Without a registrar
// (the plugin is gone) `settle` runs at once with a failure, so the engine is always answered.
inline void forward(
    const std::weak_ptr<ProxyApiRegistrar>& weakRegistrar,
    std::function<void(ProxyApiRegistrar&, std::function<void(const pigeon::CallResult&)>)> send,
    std::function<void(const pigeon::CallResult&, const ProxyApiRegistrar::FailureReporter&)>
        settle) {
  auto registrar = weakRegistrar.lock();
  if (!registrar) {
    pigeon::CallResult gone{pigeon::PigeonError("channel-error", "The web view plugin is gone."),
                            {}};
    settle(gone, [](const std::string& method, const pigeon::PigeonError& error) {
      ProxyApiRegistrar::logFlutterMethodFailure(error, method);
    });
    return;
  }
  registrar->dispatchOnMainThread([registrar, send = std::move(send), settle = std::move(settle)](
                                      const ProxyApiRegistrar::FailureReporter& onFailure) {
    send(*registrar, [registrar, settle, onFailure](const pigeon::CallResult& result) {
      registrar->dispatchOnMainThread(
          [settle, onFailure, result](const ProxyApiRegistrar::FailureReporter&) {
            settle(result, onFailure);
          });
    });
  });
}

}  // namespace webview
