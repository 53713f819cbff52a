// The facade's opened-URL entry points. Not built yet: opened URLs are not handled.
#include "measurement/engine/apm_analytics.h"

void APMAnalytics::handleOpenURL(const std::string&) {}
void APMAnalytics::setOpenURLListener(std::function<void(const std::string&)>) {}
