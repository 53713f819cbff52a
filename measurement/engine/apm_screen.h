// APMScreen: one screen the application reported through a "screen_view" event, as the
// screen-view reporter keeps it and hands it to the session reporter. A plain value; copying
// through `copy()` keeps the name, class and instance identifier only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

struct APMScreen {
  static APMScreen initWithName(std::optional<std::string> name,
                                std::optional<std::string> className, std::int64_t instanceID) {
    APMScreen screen;
    screen.name = std::move(name);
    screen.className = std::move(className);
    screen.instanceID = instanceID;
    return screen;
  }
  // The copy the reporters pass on: flags and event time start again at their defaults.
  APMScreen copy() const { return initWithName(name, className, instanceID); }

  bool isManuallySet = false;
  bool isManuallyTracked = false;
  std::optional<std::string> name;
  std::optional<std::string> className;
  std::int64_t instanceID = 0;
  double eventTimestamp = 0;  // seconds since 1970
};
