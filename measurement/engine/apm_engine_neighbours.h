// The measurement core's neighbours that other work will bring: the audience evaluator, the
// experiments manager, the search-ad reporter and the in-app purchase reporter. Until each
// arrives, the core holds the least it asks of them: no audiences are evaluated, the experiments
// manager does not exist (so there are no experiment IDs), the search-ad reporter never reports
// and the purchase reporter lets transactions go. Each keeps the name and operations the core
// calls, so the real one replaces it without touching the core.
//
// Thread: the core calls these on its worker queue; the switches are atomics.
#pragma once

#include <atomic>
#include <memory>
#include <vector>

#include "measurement/engine/apm_tcf_client.h"
#include "platform/dispatch/queue.h"
#include "platform/storekit/payment_queue.h"

class APMDatabase;
class APMPersistedConfig;

class APMAudience {
 public:
  // None without a database.
  static std::shared_ptr<APMAudience> initWithDatabase(std::shared_ptr<APMDatabase> database);
  explicit APMAudience(std::shared_ptr<APMDatabase> database) : database_(std::move(database)) {}

 private:
  std::weak_ptr<APMDatabase> database_;
};

// The experiments manager: `sharedInstance` answers none until the experiments client runs
// inside the engine.
class APMEManager {
 public:
  static std::shared_ptr<APMEManager> sharedInstance() { return nullptr; }
  virtual ~APMEManager() = default;
};

// The lifetime-value recorder of the purchase reporters: until it arrives no event is a
// purchase it records, so the write path records nothing and never fails on it.
class APMEvent;
class APMLifetimeValueRecorder {
 public:
  static bool isPurchaseEvent(const APMEvent&) { return false; }
  // True when recorded.
  static bool recordLifetimeValueToDatabase(APMDatabase&, const APMEvent&) { return false; }
};

class APMSearchAdReporter {
 public:
  static std::shared_ptr<APMSearchAdReporter>
  initWithWorkerQueue(platform::QueuePtr workerQueue,
                      std::shared_ptr<APMPersistedConfig> persistedConfig);
  void setSearchAdReporterEnabled(bool enabled) { enabled_ = enabled; }
  bool isEnabled() const { return enabled_; }
  // Asks for the search-ads attribution: nothing to ask yet.
  void start() {}

 private:
  std::atomic<bool> enabled_{false};
};

class APMInAppPurchaseTransactionReporter {
 public:
  static std::shared_ptr<APMInAppPurchaseTransactionReporter> sharedInstance();
  // Turns purchased transactions into events: none yet, the transactions are let go.
  void paymentQueueUpdatedFilteredTransactions(
      platform::storekit::PaymentQueue& queue,
      const std::vector<platform::storekit::PaymentTransactionPtr>& transactions) {
    (void)queue;
    (void)transactions;
  }
};
