// Stands in for the web engine's web view configuration and the preferences it holds.
//
// A new configuration holds a new user content controller, the process's default website data
// store, new preferences and new web page preferences. Setters replace the object held (nothing
// is copied); getters return the very object held. Media types are a bit set; "all" is every
// bit. Thread-safe (one mutex per object, never held while calling out).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

#include "platform/core/value.h"
#include "platform/webkit/native_object.h"
#include "platform/webkit/user_content_controller.h"
#include "platform/webkit/website_data_store.h"

namespace platform::webkit {

// Media types whose playback needs a user action, as bits.
namespace audiovisual_media_type {
inline constexpr std::uint64_t kNone = 0;
inline constexpr std::uint64_t kAudio = 1;
inline constexpr std::uint64_t kVideo = 2;
inline constexpr std::uint64_t kAll = ~std::uint64_t{0};
}  // namespace audiovisual_media_type

class Preferences : public NativeObject {
 public:
  std::string className() const override { return "WKPreferences"; }
  platform::ValueMap engineState() const override;

  bool javaScriptEnabled() const;
  void setJavaScriptEnabled(bool enabled);
  bool javaScriptCanOpenWindowsAutomatically() const;
  void setJavaScriptCanOpenWindowsAutomatically(bool enabled);

 private:
  mutable std::mutex mutex_;
  bool javaScriptEnabled_ = true;
  bool javaScriptCanOpenWindowsAutomatically_ = false;
};

class WebpagePreferences : public NativeObject {
 public:
  std::string className() const override { return "WKWebpagePreferences"; }
  platform::ValueMap engineState() const override;

  bool allowsContentJavaScript() const;
  void setAllowsContentJavaScript(bool allow);

 private:
  mutable std::mutex mutex_;
  bool allowsContentJavaScript_ = true;
};

class WebViewConfiguration : public NativeObject {
 public:
  WebViewConfiguration();
  std::string className() const override { return "WKWebViewConfiguration"; }
  platform::ValueMap engineState() const override;

  std::shared_ptr<UserContentController> userContentController() const;
  void setUserContentController(std::shared_ptr<UserContentController> controller);
  std::shared_ptr<WebsiteDataStore> websiteDataStore() const;
  void setWebsiteDataStore(std::shared_ptr<WebsiteDataStore> store);
  std::shared_ptr<Preferences> preferences() const;
  void setPreferences(std::shared_ptr<Preferences> preferences);
  std::shared_ptr<WebpagePreferences> defaultWebpagePreferences() const;
  void setDefaultWebpagePreferences(std::shared_ptr<WebpagePreferences> preferences);

  bool limitsNavigationsToAppBoundDomains() const;
  void setLimitsNavigationsToAppBoundDomains(bool limit);
  std::uint64_t mediaTypesRequiringUserActionForPlayback() const;
  void setMediaTypesRequiringUserActionForPlayback(std::uint64_t types);

 private:
  mutable std::mutex mutex_;
  std::shared_ptr<UserContentController> userContentController_;
  std::shared_ptr<WebsiteDataStore> websiteDataStore_;
  std::shared_ptr<Preferences> preferences_;
  std::shared_ptr<WebpagePreferences> defaultWebpagePreferences_;
  bool limitsNavigationsToAppBoundDomains_ = false;
  std::uint64_t mediaTypesRequiringUserActionForPlayback_ = audiovisual_media_type::kNone;
};

}  // namespace platform::webkit
