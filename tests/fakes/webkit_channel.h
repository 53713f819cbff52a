// The "lumora_test/webkit" method channel of lumora-test-host: it plays the web engine's side
// of the web view bridge, reaching the plugin that "WebViewFlutterPlugin" published.
//
//   "announce"                          a new native object, kept by the engine and announced
//                                       -> its identifier
//   "dropNative" {"identifier"}         the engine lets go of the object it keeps under that
//                                       identifier -> true when it kept one
//   "ignoreCallsToDart" {"flag"}        -> true
//   "describe" {"identifier"}           {"registered", "alive", "heldStrongly", "keptNatively",
//                                        "className", "state"} as the engine sees it
//   "scriptLoad" {"url", "status", "title", "failure"}
//                                       what loads of that URL answer from now on -> true
//   "scriptJavaScript" {"webView", "source", "result" | "error"}
//                                       what the script evaluates to in that web view (no
//                                       result without either; "error" is an exception
//                                       message) -> true
//   "challenge" {"webView", "host", "port", "realm", "method", "chain", "anchors"}
//                                       a server asking the navigation delegate for a password
//                                       or, with "chain" (leaf first) and "anchors" (lists of
//                                       PEM or DER certificates: file paths or bytes), for a
//                                       decision on its server trust for "host" -> whether a
//                                       navigation delegate was asked
//   "platformViewIs" {"viewId", "identifier"}
//                                       whether the engine's platform view shows the web view
//                                       the external lookup finds for the identifier
// Main thread.
#pragma once

#include "platform/engine/plugin_registrar.h"

namespace lumora::testing {

void registerWebKitChannel(const flutter::PluginRegistrarPtr& registrar,
                           const flutter::PluginRegistry& registry);

}  // namespace lumora::testing
