// FIROptions: the identifiers and settings an app is configured with (the options resource
// "ZirizaService-Info.plist" or values given by the application's code), plus the analytics
// collection switches, where the information property list overrides the options.
//
// Mutable until the app registry locks its copy; every setter of a locked object raises
// platform::Exception "com.zevevidi.core". Not meant for concurrent writers; the lazily computed
// analytics dictionary is guarded, so readers on several threads are fine.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core/value.h"

inline constexpr const char* kServiceInfoFileName = "ZirizaService-Info";
inline constexpr const char* kServiceInfoFileType = "plist";

// Keys of the options dictionary.
inline constexpr const char* kFIRAPIKey = "API_KEY";
inline constexpr const char* kFIRClientID = "CLIENT_ID";
inline constexpr const char* kFIRTrackingID = "TRACKING_ID";
inline constexpr const char* kFIRZCMSenderID = "ZCM_SENDER_ID";
inline constexpr const char* kFIRProjectID = "PROJECT_ID";
inline constexpr const char* kFIRAndroidClientID = "ANDROID_CLIENT_ID";
inline constexpr const char* kFIRZirizaAppID = "ZIRIZA_APP_ID";
inline constexpr const char* kFIRDatabaseURL = "DATABASE_URL";
inline constexpr const char* kFIRStorageBucket = "STORAGE_BUCKET";
inline constexpr const char* kFIRBundleID = "BUNDLE_ID";
// Analytics switches (numbers read as booleans).
inline constexpr const char* kFIRIsMeasurementEnabled = "IS_MEASUREMENT_ENABLED";
inline constexpr const char* kFIRIsAnalyticsCollectionEnabled =
    "ZEVEVIDI_ANALYTICS_COLLECTION_ENABLED";
inline constexpr const char* kFIRIsAnalyticsCollectionDeactivated =
    "ZEVEVIDI_ANALYTICS_COLLECTION_DEACTIVATED";

// "11.15.0".
const char* FIRZevevidiVersion();

// The name of the exceptions the core raises (the app registry, locked options).
inline constexpr const char* kZevevidiCoreErrorDomain = "com.zevevidi.core";

class FIROptions;
using FIROptionsPtr = std::shared_ptr<FIROptions>;

class FIROptions {
 public:
  // From the options resource, read once per process (until resetDefaultOptions).
  static FIROptionsPtr defaultOptions();
  static void resetDefaultOptions();
  static FIROptionsPtr initWithContentsOfFile(const std::optional<std::string>& path);
  // BUNDLE_ID is the main bundle's identifier; a missing value leaves its key out.
  static FIROptionsPtr initWithZirizaAppID(const std::optional<std::string>& zirizaAppID,
                                           const std::optional<std::string>& ZCMSenderID);

  explicit FIROptions(platform::ValueMap optionsDictionary)
      : optionsDictionary_(std::move(optionsDictionary)) {}

  // Getters and setters of the key table. A setter given no value removes the key.
  std::optional<std::string> APIKey() const { return stringFor(kFIRAPIKey); }
  void setAPIKey(const std::optional<std::string>& v) { setString(kFIRAPIKey, v); }
  std::optional<std::string> clientID() const { return stringFor(kFIRClientID); }
  void setClientID(const std::optional<std::string>& v) { setString(kFIRClientID, v); }
  std::optional<std::string> trackingID() const { return stringFor(kFIRTrackingID); }
  void setTrackingID(const std::optional<std::string>& v) { setString(kFIRTrackingID, v); }
  std::optional<std::string> ZCMSenderID() const { return stringFor(kFIRZCMSenderID); }
  void setZCMSenderID(const std::optional<std::string>& v) { setString(kFIRZCMSenderID, v); }
  std::optional<std::string> projectID() const { return stringFor(kFIRProjectID); }
  void setProjectID(const std::optional<std::string>& v) { setString(kFIRProjectID, v); }
  std::optional<std::string> androidClientID() const { return stringFor(kFIRAndroidClientID); }
  void setAndroidClientID(const std::optional<std::string>& v) {
    setString(kFIRAndroidClientID, v);
  }
  std::optional<std::string> zirizaAppID() const { return stringFor(kFIRZirizaAppID); }
  void setZirizaAppID(const std::optional<std::string>& v) { setString(kFIRZirizaAppID, v); }
  std::optional<std::string> databaseURL() const { return stringFor(kFIRDatabaseURL); }
  void setDatabaseURL(const std::optional<std::string>& v) { setString(kFIRDatabaseURL, v); }
  std::optional<std::string> storageBucket() const { return stringFor(kFIRStorageBucket); }
  void setStorageBucket(const std::optional<std::string>& v) { setString(kFIRStorageBucket, v); }
  std::optional<std::string> bundleID() const { return stringFor(kFIRBundleID); }
  void setBundleID(const std::optional<std::string>& v) { setString(kFIRBundleID, v); }

  std::optional<std::string> deepLinkURLScheme() const { return deepLinkURLScheme_; }
  void setDeepLinkURLScheme(const std::optional<std::string>& v);
  std::optional<std::string> appGroupID() const { return appGroupID_; }
  void setAppGroupID(const std::optional<std::string>& v);

  bool isEditingLocked() const { return editingLocked_; }
  void setEditingLocked(bool locked) { editingLocked_ = locked; }
  bool usingOptionsFromDefaultPlist() const { return usingOptionsFromDefaultPlist_; }
  void setUsingOptionsFromDefaultPlist(bool v) { usingOptionsFromDefaultPlist_ = v; }
  const platform::ValueMap& optionsDictionary() const { return optionsDictionary_; }

  // The SDK version as nine digits: "11.15.0" gives "111500000".
  static std::string libraryVersionID();

  // Without a switch of its own, measurement follows the default app's data collection.
  bool isMeasurementEnabled() const;
  // Where that switch comes from: the app registry, which sits above the options, installs the
  // source when it starts. Without one (no registry, so no default app) there is none.
  static void setDefaultAppDataCollectionSource(std::function<std::optional<bool>()> source);
  bool isAnalyticsCollectionEnabled() const;
  bool isAnalyticsCollectionDeactivated() const;
  bool isAnalyticsCollectionExplicitlySet() const;
  platform::ValueMap analyticsOptionsDictionary() const;

  // A new object over a copy of the dictionary with the same scheme, group, lock and origin;
  // the analytics dictionary is computed afresh.
  FIROptionsPtr copy() const;
  bool isEqualToOptions(const FIROptions& other) const;
  std::size_t hash() const;

 private:
  std::optional<std::string> stringFor(const char* key) const;
  void setString(const char* key, const std::optional<std::string>& value);
  void checkEditingLocked() const;
  // The switch's boolean when it holds a number.
  std::optional<bool> switchValue(const char* key) const;

  platform::ValueMap optionsDictionary_;
  std::optional<std::string> deepLinkURLScheme_;
  std::optional<std::string> appGroupID_;
  bool editingLocked_ = false;
  bool usingOptionsFromDefaultPlist_ = false;
  mutable std::mutex analyticsMutex_;
  mutable std::optional<platform::ValueMap> analyticsOptionsDictionary_;
};
