// The installations part of the test-only plugin: it plays the analytics caller of
// installations, on "dev.flutter.pigeon.lumora_test.LumoraTestHostApi.<method>":
//   installationID(String? app)                  -> [FID]
//   installationAuthToken(String? app, bool force) -> [{"token", "expirationDate" (ms since 1970)}]
//   deleteInstallation(String? app)              -> [null]
//   installationIDChanges()                      -> [app names notified so far, in order]
// A null app is the default app. Failures reply [domain or exception name, reason, code or null].
// Main thread.
#pragma once

#include <memory>

#include "platform/engine/binary_messenger.h"
#include "platform/engine/standard_codec.h"

namespace lumora::testing {

void setUpInstallationsMethods(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                               const flutter::MessageCodecPtr& codec);

}  // namespace lumora::testing
