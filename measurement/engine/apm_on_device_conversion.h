// The optional on-device conversion components, looked up by name in platform::ClassRegistry.
// None of them is part of this system; an application (or a test) that has one registers its
// class object once at start-up:
//   - "APMPrivateSetMembershipClient" or "ODCPrivateSetMembershipClient": an
//     APMPSMClientClass whose initialisers make one APMPSMClient per run;
//   - "ODCConversionService": an ODCConversionServiceClass whose sharedInstance gives the
//     conversion service.
// The core calls them on its worker queue; the service's completion may come on any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"

inline constexpr const char* APMPrivateSetMembershipClientClassName =
    "APMPrivateSetMembershipClient";
inline constexpr const char* ODCPrivateSetMembershipClientClassName =
    "ODCPrivateSetMembershipClient";
inline constexpr const char* ODCConversionServiceClassName = "ODCConversionService";

// One private-set-membership run: builds the request, names the data-set address and reads the
// answer.
class APMPSMClient {
 public:
  virtual ~APMPSMClient() = default;
  // 2 phone, 3 hashed e-mail, 4 hashed phone, anything else e-mail.
  virtual std::int64_t inputType() = 0;
  virtual platform::Bytes payloadWithPSMRequest() = 0;
  // The data-set address for the retry count; none when it has none.
  virtual std::optional<std::string> PSMRequestURLWithRetryCount(std::int64_t retryCount) = 0;
  // The matched value; empty when nothing matched.
  virtual std::string parsedPSMValueFromResponse(const platform::Bytes& response) = 0;
  // Optional: none when the client offers no debug key.
  virtual std::optional<std::string> debugKey() { return std::nullopt; }
};

// The client class: its initialisers. An empty function is an initialiser the class lacks; an
// initialiser may still answer none.
struct APMPSMClientClass {
  using TextInitWithPrefix = std::function<std::shared_ptr<APMPSMClient>(
      const std::string& input, const std::string& appID, std::int64_t prefixBitLength)>;
  using TextInit = std::function<std::shared_ptr<APMPSMClient>(const std::string& input,
                                                               const std::string& appID)>;
  using HashedInit = std::function<std::shared_ptr<APMPSMClient>(
      const platform::Bytes& hashed, const std::string& appID, std::int64_t prefixBitLength)>;

  TextInitWithPrefix initWithEmailAddressPrefixBitLength;
  TextInit initWithEmailAddress;
  TextInitWithPrefix initWithPhoneNumberPrefixBitLength;
  TextInit initWithPhoneNumber;
  HashedInit initWithHashedEmailAddress;
  HashedInit initWithHashedPhoneNumber;
};

// The ads conversion service.
class ODCConversionService {
 public:
  using Completion =
      std::function<void(const std::optional<std::string>& value, const platform::ErrorPtr& error)>;
  virtual ~ODCConversionService() = default;
  // At most 10000: the alpha flavour; above: the ads flavour.
  virtual std::int64_t versionNumber() = 0;
  // Seconds since 1970; none when the first launch is not known.
  virtual void setFirstLaunchTime(std::optional<double> secondsSince1970) = 0;
  // There is no interaction on this platform; the completion may run on any thread.
  virtual void fetchMeasurementInfoForInteraction(Completion completion) = 0;
};

struct ODCConversionServiceClass {
  // Empty when the class offers no shared instance.
  std::function<std::shared_ptr<ODCConversionService>()> sharedInstance;
};

// The exception raised when both the deprecated client and the ads service are present.
inline constexpr const char* APMODM1AndODM2LinkedExceptionName =
    "MeasurementDeprecatedOnDeviceConversionException";

class APMAlarm;

// The state of on-device conversion runs, kept by the core while a client class exists. Worker
// queue only.
struct APMPSMContext {
  std::shared_ptr<APMPSMClient> PSMClient;  // the current run's client; none between runs
  bool isPSMRequestInProgress = false;
  bool isPSMRequestPostponed = false;
  std::int32_t PSMStartCount = 0;
  std::int32_t PSMRetryCount = 0;
  std::shared_ptr<APMAlarm> PSMRetryAlarm;  // "On-device conversion measurement timer"
  double sessionStartTimestamp = 0;
};
