// The engine's application-delegate base class. Applications derive their delegate from it and
// override only what they answer differently. Main thread.
#pragma once

#include "platform/appkit/application.h"

namespace flutter {

class AppDelegate : public platform::ApplicationDelegate {
 public:
  AppDelegate() = default;
  ~AppDelegate() override = default;
};

}  // namespace flutter
