#include "measurement/engine/apm_engine_startup.h"

#include "measurement/engine/apm_analytics.h"
#include "measurement/engine/zevoveverizuru.h"

void APMEngineLoad() {
  APMAnalytics::load();
  ZEVOveverizuru::load();
}
