#include "platform/webkit/web_view_configuration.h"

#include <cstdio>
#include <utility>

namespace platform::webkit {

using platform::Value;

namespace {

std::string hex(std::uint64_t bits) {
  char text[24];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(bits));
  return text;
}

// Replaces `slot` under `mutex`; the old object is released after the lock is dropped.
template <class T>
void replace(std::mutex& mutex, std::shared_ptr<T>& slot, std::shared_ptr<T> object) {
  std::lock_guard lock(mutex);
  std::swap(slot, object);
}

}  // namespace

bool Preferences::javaScriptEnabled() const {
  std::lock_guard lock(mutex_);
  return javaScriptEnabled_;
}
void Preferences::setJavaScriptEnabled(bool enabled) {
  std::lock_guard lock(mutex_);
  javaScriptEnabled_ = enabled;
}
bool Preferences::javaScriptCanOpenWindowsAutomatically() const {
  std::lock_guard lock(mutex_);
  return javaScriptCanOpenWindowsAutomatically_;
}
void Preferences::setJavaScriptCanOpenWindowsAutomatically(bool enabled) {
  std::lock_guard lock(mutex_);
  javaScriptCanOpenWindowsAutomatically_ = enabled;
}
platform::ValueMap Preferences::engineState() const {
  std::lock_guard lock(mutex_);
  return {{Value("javaScriptEnabled"), Value(javaScriptEnabled_)},
          {Value("javaScriptCanOpenWindowsAutomatically"),
           Value(javaScriptCanOpenWindowsAutomatically_)}};
}

bool WebpagePreferences::allowsContentJavaScript() const {
  std::lock_guard lock(mutex_);
  return allowsContentJavaScript_;
}
void WebpagePreferences::setAllowsContentJavaScript(bool allow) {
  std::lock_guard lock(mutex_);
  allowsContentJavaScript_ = allow;
}
platform::ValueMap WebpagePreferences::engineState() const {
  std::lock_guard lock(mutex_);
  return {{Value("allowsContentJavaScript"), Value(allowsContentJavaScript_)}};
}

WebViewConfiguration::WebViewConfiguration()
    : userContentController_(std::make_shared<UserContentController>()),
      websiteDataStore_(WebsiteDataStore::defaultDataStore()),
      preferences_(std::make_shared<Preferences>()),
      defaultWebpagePreferences_(std::make_shared<WebpagePreferences>()) {}

std::shared_ptr<UserContentController> WebViewConfiguration::userContentController() const {
  std::lock_guard lock(mutex_);
  return userContentController_;
}
void WebViewConfiguration::setUserContentController(
    std::shared_ptr<UserContentController> controller) {
  replace(mutex_, userContentController_, std::move(controller));
}
std::shared_ptr<WebsiteDataStore> WebViewConfiguration::websiteDataStore() const {
  std::lock_guard lock(mutex_);
  return websiteDataStore_;
}
void WebViewConfiguration::setWebsiteDataStore(std::shared_ptr<WebsiteDataStore> store) {
  replace(mutex_, websiteDataStore_, std::move(store));
}
std::shared_ptr<Preferences> WebViewConfiguration::preferences() const {
  std::lock_guard lock(mutex_);
  return preferences_;
}
void WebViewConfiguration::setPreferences(std::shared_ptr<Preferences> preferences) {
  replace(mutex_, preferences_, std::move(preferences));
}
std::shared_ptr<WebpagePreferences> WebViewConfiguration::defaultWebpagePreferences() const {
  std::lock_guard lock(mutex_);
  return defaultWebpagePreferences_;
}
void WebViewConfiguration::setDefaultWebpagePreferences(
    std::shared_ptr<WebpagePreferences> preferences) {
  replace(mutex_, defaultWebpagePreferences_, std::move(preferences));
}
bool WebViewConfiguration::limitsNavigationsToAppBoundDomains() const {
  std::lock_guard lock(mutex_);
  return limitsNavigationsToAppBoundDomains_;
}
void WebViewConfiguration::setLimitsNavigationsToAppBoundDomains(bool limit) {
  std::lock_guard lock(mutex_);
  limitsNavigationsToAppBoundDomains_ = limit;
}
std::uint64_t WebViewConfiguration::mediaTypesRequiringUserActionForPlayback() const {
  std::lock_guard lock(mutex_);
  return mediaTypesRequiringUserActionForPlayback_;
}
void WebViewConfiguration::setMediaTypesRequiringUserActionForPlayback(std::uint64_t types) {
  std::lock_guard lock(mutex_);
  mediaTypesRequiringUserActionForPlayback_ = types;
}

platform::ValueMap WebViewConfiguration::engineState() const {
  auto describeObject = [](const std::shared_ptr<NativeObject>& object) {
    return object ? Value(object->debugDescription()) : Value();
  };
  std::lock_guard lock(mutex_);
  return {
      {Value("userContentController"), describeObject(userContentController_)},
      {Value("websiteDataStore"), describeObject(websiteDataStore_)},
      {Value("preferences"), describeObject(preferences_)},
      {Value("defaultWebpagePreferences"), describeObject(defaultWebpagePreferences_)},
      {Value("limitsNavigationsToAppBoundDomains"), Value(limitsNavigationsToAppBoundDomains_)},
      {Value("mediaTypesRequiringUserActionForPlayback"),
       Value(hex(mediaTypesRequiringUserActionForPlayback_))},
  };
}

}  // namespace platform::webkit
