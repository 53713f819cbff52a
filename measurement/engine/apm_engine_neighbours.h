// The measurement core's neighbours: the audience evaluator, the experiments manager, the session
// reporter, the TCF consent client, the purchase reporter, the lifetime-value recorder and the
// search-ad reporter (their headers follow). Each keeps the name and operations the core calls.
//
// Thread: the core calls these on its worker queue; the switches are atomics.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "measurement/audiences/apm_audience.h"
#include "measurement/engine/apm_tcf_client.h"
#include "measurement/experiments/apme_manager.h"
#include "measurement/reporters/apm_in_app_purchase_transaction_reporter.h"
#include "measurement/reporters/apm_lifetime_value_recorder.h"
#include "measurement/reporters/apm_search_ad_reporter.h"
#include "platform/dispatch/queue.h"
#include "platform/storekit/payment_queue.h"

class APMDatabase;
class APMPersistedConfig;
