// Purchase de-duplication: the store's purchased transactions pass here, on the worker queue,
// before the purchase reporter sees them; a transaction whose fingerprint is already stored is
// dropped, so one purchase is reported once even when the store tells about it again.
#include "measurement/engine/zevoveverizuru.h"

#include "measurement/model/apm_database.h"
#include "measurement/reporters/apm_in_app_purchase_transaction_reporter.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/dispatch/queue.h"

namespace {

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

}  // namespace

void ZEVOveverizuru::filterPurchaseTransactions(
    const std::vector<platform::storekit::PaymentTransactionPtr>& transactions,
    PurchaseFilterCallback callback) {
  if (!callback) return;
  auto self = shared_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID(
      "ZEVOveverizuru:filterPurchaseTransactions", [self, transactions, callback] {
        std::vector<platform::storekit::PaymentTransactionPtr> kept;
        const auto db = self->database();
        for (const auto& transaction : transactions) {
          if (!transaction ||
              transaction->transactionState != platform::storekit::TransactionState::Purchased) {
            continue;
          }
          const platform::Value productID(transaction->payment.productIdentifier);
          const auto fingerprint =
              APMInAppPurchaseTransactionReporter::transactionFingerprint(transaction.get());
          if (!fingerprint || fingerprint->empty()) {
            report(2, 23139,
                   "Purchase has nil or empty fingerprint. Purchase will not be checked for "
                   "duplicates. Product ID",
                   {productID});
            kept.push_back(transaction);
            continue;
          }
          platform::ErrorPtr error;
          const auto inserted =
              db ? db->insertIfNotDuplicatePurchaseFingerprint(*fingerprint, &error) : std::nullopt;
          if (!inserted) {
            report(1, 23140,
                   "Failed to save purchase fingerprint. Purchase will not be checked for "
                   "duplicates. Product ID, error",
                   {productID,
                    error ? platform::Value(error->localizedDescription()) : platform::Value()});
            kept.push_back(transaction);
          } else if (*inserted) {
            kept.push_back(transaction);
          } else {
            report(4, 23141, "Purchase is a duplicate and will not be reported. Product ID",
                   {productID});
          }
        }
        platform::globalQueue()->async([callback, kept = std::move(kept)] { callback(kept); });
      });
}
