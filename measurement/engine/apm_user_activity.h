// A user activity as the application hands it over: its type and, for web browsing, the page.
// Linux has no source of user activities (no hand-off, no launch options), so the application
// passes this plain record to APMAnalytics::handleUserActivity. Value type; any thread.
#pragma once

#include <optional>
#include <string>

inline constexpr const char* APMUserActivityTypeBrowsingWeb = "NSUserActivityTypeBrowsingWeb";

struct APMUserActivity {
  std::string activityType;
  std::optional<std::string> webpageURL;
};
