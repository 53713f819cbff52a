#include "tests/fakes/lumora_test_installations.h"

#include <cmath>

#include "platform/core/exception.h"
#include "platform/foundation/notification_center.h"
#include "plugins/pigeon/pigeon_channel.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/installations/fir_installations.h"
#include "zevevidi/installations/fir_installations_id_controller.h"

namespace lumora::testing {

namespace {

using platform::Value;

constexpr const char* kPackage = "lumora_test";
constexpr const char* kHostApi = "LumoraTestHostApi";

flutter::Error errorReply(const platform::ErrorPtr& error) {
  if (!error) return flutter::Error{"unknown", "no error given", Value()};
  auto it = error->userInfo.find(Value(platform::kLocalizedFailureReasonKey));
  std::string reason = it != error->userInfo.end() && it->second.isString()
                           ? it->second.asString()
                           : error->localizedDescription();
  return flutter::Error{error->domain, reason, Value(error->code)};
}

// The installations of the app named in argument 0 (null: the default app). Raises what the
// installations raise; an unknown app is a failure of its own.
std::shared_ptr<FIRInstallations> installationsFor(const pigeon::Arguments& arguments) {
  auto name = arguments.optionalString(0);
  if (!name) return FIRInstallations::installations();
  auto installations = FIRInstallations::installationsWithApp(FIRApp::appNamed(*name));
  if (!installations) {
    throw platform::Exception("no-app", "The app " + *name + " has no installations.");
  }
  return installations;
}

}  // namespace

void setUpInstallationsMethods(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                               const flutter::MessageCodecPtr& codec) {
  // App names from every identifier change since start, in order. Main thread only.
  auto changes = std::make_shared<platform::ValueList>();
  platform::NotificationCenter::defaultCenter().addObserverForName(
      FIRInstallationIDDidChangeNotification, nullptr,
      [changes](const platform::Notification& notification) {
        auto it =
            notification.userInfo.find(Value(kFIRInstallationIDDidChangeNotificationAppNameKey));
        changes->push_back(it != notification.userInfo.end() ? it->second : Value());
      });

  auto setUp = [&](const char* method, pigeon::MethodHandler handler) {
    pigeon::setUpMethod(messenger, codec, pigeon::channelName(kPackage, kHostApi, method), method,
                        [handler](const pigeon::Arguments& a, pigeon::Responder r) {
                          try {
                            handler(a, r);
                          } catch (const platform::Exception& e) {
                            r.failure(flutter::Error{e.name(), e.reason(), Value()});
                          }
                        });
  };
  setUp("installationID", [](const pigeon::Arguments& a, pigeon::Responder r) {
    installationsFor(a)->installationIDWithCompletion(
        [r](std::optional<std::string> fid, platform::ErrorPtr error) {
          if (error) return r.failure(errorReply(error));
          r.success(Value(fid.value_or("")));
        });
  });
  setUp("installationAuthToken", [](const pigeon::Arguments& a, pigeon::Responder r) {
    installationsFor(a)->authTokenForcingRefresh(
        a.boolean(1),
        [r](std::optional<FIRInstallationsAuthTokenResult> result, platform::ErrorPtr error) {
          if (error || !result) return r.failure(errorReply(error));
          // The service chooses the lifetime: a date beyond what milliseconds in 64 bits hold
          // is answered as the largest (or smallest) one rather than converted out of range.
          const double ms = std::round(result->expirationDate.secondsSince1970 * 1000);
          constexpr double kLimit = 9.2e18;
          const std::int64_t millis = !(ms > -kLimit) ? static_cast<std::int64_t>(-kLimit)
                                      : ms < kLimit   ? static_cast<std::int64_t>(ms)
                                                      : static_cast<std::int64_t>(kLimit);
          r.success(
              Value::map({{"token", Value(result->authToken)}, {"expirationDate", Value(millis)}}));
        });
  });
  setUp("deleteInstallation", [](const pigeon::Arguments& a, pigeon::Responder r) {
    installationsFor(a)->deleteWithCompletion([r](platform::ErrorPtr error) {
      if (error) return r.failure(errorReply(error));
      r.success();
    });
  });
  setUp("installationIDChanges",
        [changes](const pigeon::Arguments&, pigeon::Responder r) { r.success(Value(*changes)); });
}

}  // namespace lumora::testing
