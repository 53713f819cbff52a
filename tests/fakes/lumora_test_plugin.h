// A plugin that exists only in the test build of the host (lumora-test-host): a small generated
// interface, an event channel and a method channel that the end-to-end tests drive through the
// engine socket. Main thread.
//
// Interface "dev.flutter.pigeon.lumora_test.LumoraTestHostApi.<method>":
//   voidMethod()                 -> [null]
//   throwingMethod()             -> a foreign exception, wrapped into the three-element error
//   echoString(String)           -> [the string]
//   handlersOnMainThread()       -> [true when every handler so far ran on the main thread]
//   emitEvents(int count)        -> sends "event 0".."event count-1" to the current listener of
//                                   "lumora_test/events"; [how many were sent]
//   askApplication(String)       -> asks the application on
//                                   "dev.flutter.pigeon.lumora_test.LumoraTestFlutterApi.ask"
//                                   and answers [its result] or its failure
// The installations methods on the same interface: see lumora_test_installations.h.
// Method channel "lumora_test/methods": "ping" -> "pong"; anything else is not implemented.
// Method channel "lumora_test/window_server": see window_server_channel.h.
// Method channel "lumora_test/store": see store_channel.h.
#pragma once

#include "platform/engine/plugin_registrar.h"

namespace lumora::testing {

class LumoraTestPlugin {
 public:
  static void registerWithRegistrar(const flutter::PluginRegistrarPtr& registrar);
};

}  // namespace lumora::testing
