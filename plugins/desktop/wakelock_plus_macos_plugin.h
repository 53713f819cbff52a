// The wakelock plugin: "wakelock_plus_macos" keeps the display awake while enabled, with at
// most one power assertion ("toggle" {"enable": bool}, "enabled").
//
// Asking for an assertion takes a round trip to the desktop, off the main loop: "toggle" answers
// once its request is settled, so an "enabled" that follows tells the truth, and toggles are
// settled one at a time in arrival order. A refused assertion leaves the wakelock off; "toggle"
// still answers true. Arguments that are not a map with a boolean "enable" answer
// "invalid-arguments" and change nothing. Owned by the engine; main thread only.
#pragma once

#include <deque>
#include <memory>

#include "platform/appkit/power_assertion.h"
#include "platform/engine/plugin_registrar.h"

class WakelockPlusMacosPlugin : public flutter::Plugin,
                                public std::enable_shared_from_this<WakelockPlusMacosPlugin> {
 public:
  static void registerWith(const flutter::PluginRegistrarPtr& registrar);

  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override;

  bool wakelockEnabled() const { return wakelockEnabled_; }

 private:
  struct Toggle {
    bool enable;
    flutter::MethodResult result;
  };
  // Settles the next queued toggle when none is in flight.
  void settleNext();

  platform::PowerAssertionID assertionID_ = 0;
  bool wakelockEnabled_ = false;
  bool inFlight_ = false;
  std::deque<Toggle> toggles_;
};
