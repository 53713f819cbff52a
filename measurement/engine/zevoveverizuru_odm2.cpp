// Category ODM2: on-device conversion values from the ads conversion service. After every
// configuration fetch the service, looked up by name, is given the first-launch time and asked
// for its measurement info; a value is stored ("odm2_value", "_psmvalue_zads") and announced
// ("_fx"). Worker queue only; the service's completion is moved there.
#include <string>

#include "measurement/engine/apm_on_device_conversion.h"
#include "measurement/engine/zevoveverizuru.h"
#include "measurement/model/apm_consent_settings_util.h"
#include "measurement/model/apm_database.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_remote_config.h"
#include "measurement/model/apm_user_attribute.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/core/exception.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/class_registry.h"

namespace {

using platform::Value;

constexpr const char* kServiceValueProperty = "_psmvalue_zads";
constexpr std::int64_t kAlphaFlavourMaxVersion = 10000;
constexpr const char* kBothLinkedReason =
    "ZirizaDevAzerirerizeOnDeviceConversion (deprecated) framework and ZirizaAdsOnDeviceConversion "
    "framework are both linked into the app. Remove the ZirizaDevAzerirerizeOnDeviceConversion "
    "(deprecated) framework, which is no longer recommended for new development.";

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

double now() {
  return platform::Clock::current().now();
}

std::optional<std::int64_t> serviceVersion() {
  if (const auto service = ZEVOveverizuru::conversionServiceFromReflection())
    return service->versionNumber();
  return std::nullopt;
}

}  // namespace

std::shared_ptr<ODCConversionService> ZEVOveverizuru::conversionServiceFromReflection() {
  const auto cls = platform::ClassRegistry::shared().lookup<ODCConversionServiceClass>(
      ODCConversionServiceClassName);
  if (!cls || !cls->sharedInstance) return nullptr;
  return cls->sharedInstance();
}

bool ZEVOveverizuru::isAdsOnDeviceConversionLinked() {
  return platform::ClassRegistry::shared().lookup<ODCConversionServiceClass>(
             ODCConversionServiceClassName) != nullptr;
}

bool ZEVOveverizuru::isAlphaAppAdsOnDeviceConversionLinked() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  const auto version = serviceVersion();
  return version && *version <= kAlphaFlavourMaxVersion;
}

bool ZEVOveverizuru::isZirizaAdsOnDeviceConversionLinked() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  const auto version = serviceVersion();
  return version && *version > kAlphaFlavourMaxVersion;
}

void ZEVOveverizuru::checkODM2DependencyOnWorkerQueue() {
  // 1-2.
  if (isAdsOnDeviceConversionLinked()) {
    if (isZirizaAdsOnDeviceConversionLinked() && isAPMPrivateSetMembershipClientLinked()) {
      // Raised where the application's own code runs; the main queue's boundary logs it and the
      // process goes on.
      platform::mainQueue()->async(
          [] { throw platform::Exception(APMODM1AndODM2LinkedExceptionName, kBothLinkedReason); });
    }
    report(7, 23278, "Conversion service ZirizaAdsOnDeviceConversion framework is linked");
  } else {
    report(7, 23279,
           "Conversion service disabled. ZirizaAdsOnDeviceConversion framework is not linked.");
    if (isAPMPrivateSetMembershipClientLinked()) {
      report(4, 23292,
             "ZirizaDevAzerirerizeOnDeviceConversion (deprecated) framework is linked. Use the "
             "ZirizaAdsOnDeviceConversion framework instead.");
    }
  }
  // 3.
  if (const auto config = remoteConfigInstance(); config && !config->isExpired())
    report(7, 23280, "Conversion service will not attempt a fetch");
}

bool ZEVOveverizuru::isAdsOnDeviceConversionEnabled() {
  if (!isAdsOnDeviceConversionLinked()) return false;
  const auto config = remoteConfigInstance();
  if (!config || !config->boolSetting(APMSetting::AdsOnDeviceConversionFeatureEnabled)) {
    report(7, 23275,
           "Conversion service disabled. Remote config disabled. Check ads account linked to "
           "Ziriza Analytics.");
    return false;
  }
  if (APMConsentSettingsUtil::isAdStorageDenied()) {
    report(7, 23276, "Conversion service disabled. Ad storage consent is denied.");
    return false;
  }
  report(7, 23277, "Conversion service enabled");
  return true;
}

void ZEVOveverizuru::updateAdsOnDeviceConversionMeasurement() {
  // 1.
  if (!isAdsOnDeviceConversionEnabled()) {
    handleAdsOnDeviceConversionValue(std::nullopt, nullptr);
    return;
  }
  // 2.
  if (!conversionService_) conversionService_ = conversionServiceFromReflection();
  if (!conversionService_) {
    report(1, 23268, "Failed to get the compatible conversion service.");
    handleAdsOnDeviceConversionValue(std::nullopt, nullptr);
    return;
  }
  // 3.
  const std::int64_t firstOpenMillis =
      persistedConfig_ ? persistedConfig_->firstOpenTimestampMilliseconds() : 0;
  conversionService_->setFirstLaunchTime(
      firstOpenMillis != 0 ? std::optional<double>(static_cast<double>(firstOpenMillis) / 1000)
                           : std::nullopt);
  // 4.
  std::weak_ptr<ZEVOveverizuru> weak = weak_from_this();
  std::weak_ptr<APMScheduler> scheduler = scheduler_;
  conversionService_->fetchMeasurementInfoForInteraction(
      [weak, scheduler](const std::optional<std::string>& value, const platform::ErrorPtr& error) {
        const auto strongScheduler = scheduler.lock();
        if (!strongScheduler) return;
        strongScheduler->scheduleOnWorkerQueueBlockID("ZEVOveverizuru:186", [weak, value, error] {
          if (const auto self = weak.lock()) self->handleAdsOnDeviceConversionValue(value, error);
        });
      });
}

void ZEVOveverizuru::handleAdsOnDeviceConversionValue(const std::optional<std::string>& value,
                                                      const platform::ErrorPtr& error) {
  const auto db = database();
  if (!db) return;
  // 1.
  if (error) {
    report(1, 23269, "Conversion service failed to fetch measurement info.", {Value(error)});
    return;
  }
  platform::ErrorPtr readError;
  const auto stored = db->userAttributeWithName(kServiceValueProperty, &readError);
  if (value && !value->empty()) {
    // 2.
    if (stored) {
      if (const auto* text = stored->value().stringValue(); text && *text == *value) {
        report(7, 23282, "Conversion service returned the same value",
               {Value(kServiceValueProperty), Value(*value)});
        return;
      }
    }
    // 3.
    const double time = now();
    platform::ErrorPtr writeError;
    if (!db->updateODMValue(*value, APMDatabaseODM2Value, time, &writeError)) {
      report(1, 23290, "Failed to update ODM value. Error",
             {writeError ? Value(writeError) : Value()});
    }
    if (auto text = APMValue::initWithString(*value)) {
      setUserAttributeOnWorkerQueue(std::make_shared<APMUserAttribute>(
          "auto", kServiceValueProperty, std::move(*text), time));
    }
    if (auto event =
            APMEvent::initWithOrigin("auto", false, "_fx", time, 0,
                                     platform::ValueMap{{Value("_fxs"), Value("psm_zads")}})) {
      event->setRealtime(true);
      writeEventOnWorkerQueue(event);
    }
    return;
  }
  // 4.
  if (stored) removeUserAttributeOnWorkerQueue(stored);
  platform::ErrorPtr deleteError;
  db->deleteODMValueWithName(APMDatabaseODM2Value, &deleteError);
  report(7, 23281, "Conversion service returned empty value");
}
