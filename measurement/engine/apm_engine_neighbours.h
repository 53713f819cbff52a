// The measurement core's neighbours that other work will bring: the experiments manager. Until it
// arrives, the core holds the least it asks of it: the experiments manager does not exist (so
// there are no experiment IDs). The audience evaluator, the session reporter, the TCF consent
// client, the purchase reporter, the lifetime-value recorder and the search-ad reporter are the
// real ones (their headers follow). Each keeps the name and operations the core calls, so the
// real one replaces it without touching the core.
//
// Thread: the core calls these on its worker queue; the switches are atomics.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "measurement/audiences/apm_audience.h"
#include "measurement/engine/apm_tcf_client.h"
#include "measurement/reporters/apm_in_app_purchase_transaction_reporter.h"
#include "measurement/reporters/apm_lifetime_value_recorder.h"
#include "measurement/reporters/apm_search_ad_reporter.h"
#include "platform/dispatch/queue.h"
#include "platform/storekit/payment_queue.h"

class APMDatabase;
class APMPersistedConfig;

// The experiments manager: `sharedInstance` answers none until the experiments client runs
// inside the engine.
class APMEManager {
 public:
  static std::shared_ptr<APMEManager> sharedInstance() { return nullptr; }
  virtual ~APMEManager() = default;
};
