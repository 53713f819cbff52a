#include "measurement/engine/apm_ad_exposure_relay.h"

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/apm_screen_view_reporter.h"
#include "measurement/reporters/apm_ad_exposure_reporter.h"
#include "platform/foundation/class_registry.h"

namespace {

// The screen-view reporter speaks in screens; the ad exposure reporter, which sits below it, in
// screen parameters. The parameters are made here, on the caller's thread, before the reporter
// hops onto its own queue.
class AdExposureRelay : public APMAdExposureReporterClass {
 public:
  void handleAppDidBecomeActive() override {
    APMAdExposureReporter::sharedInstance()->handleAppDidBecomeActive();
  }
  void handleAppWillResignActiveWithScreen(const APMScreen* screen) override {
    APMAdExposureReporter::sharedInstance()->handleAppWillResignActiveWithScreenParameters(
        screen ? APMScreenParameters(*screen) : platform::ValueMap{});
  }
  void handleScreenDidChangeFromScreen(const APMScreen* previous, const APMScreen*) override {
    if (!previous) return;
    const platform::ValueMap parameters = APMScreenParameters(*previous);
    APMAdExposureReporter::sharedInstance()->handleScreenDidChangeFromScreenParameters(&parameters);
  }
};

}  // namespace

void APMInstallAdExposureReporter() {
  APMAdExposureReporter::setHooks(
      {[] { return APMScreenViewReporter::sharedInstance()->screenParameters(); },
       [] { return APMIsAppActive(); }});
  static const auto relay = std::make_shared<AdExposureRelay>();
  // A class already under the name (a test's recorder) keeps it.
  auto& registry = platform::ClassRegistry::shared();
  if (!registry.contains(APMAdExposureReporterClassName)) {
    registry.registerClass<APMAdExposureReporterClass>(APMAdExposureReporterClassName, relay);
  }
  APMAdExposureReporter::sharedInstance();
}
