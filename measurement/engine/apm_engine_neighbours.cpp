#include "measurement/engine/apm_engine_neighbours.h"

std::shared_ptr<APMAudience> APMAudience::initWithDatabase(std::shared_ptr<APMDatabase> database) {
  if (!database) return nullptr;
  return std::make_shared<APMAudience>(std::move(database));
}
