// APMInAppPurchaseTransactionReporter: turns store purchases into measurement events of origin
// "auto": "_iap" (a purchase), "_iapx" (a purchase classified invalid), "_assr" (a renewal of an
// auto-renewable subscription) and "_assc" (a free trial converted to a paid subscription).
// Purchases come from the payment queue's observer (first store interface, through the engine's
// purchase filter) or field by field from the application (second store interface). Each report
// needs the product from the product cache and the receipt's purchase records, and ends in the
// internal-event entry.
//
// One shared instance. The purchase records it keeps for classification live on its own serial
// queue, where every report runs its steps in order; product answers arrive on a global queue.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "measurement/reporters/apm_purchase_receipt.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/date_format.h"
#include "platform/storekit/payment_queue.h"
#include "platform/storekit/products.h"

class APMInAppPurchaseTransactionReporter
    : public std::enable_shared_from_this<APMInAppPurchaseTransactionReporter> {
 public:
  enum class Mode { Plain, StoreVerified };

  static std::shared_ptr<APMInAppPurchaseTransactionReporter> sharedInstance();

  // The key of a purchased transaction in the purchase-fingerprint table: the lower-case hex MD5
  // of its identifier; none (mostly with a report) for anything else.
  static std::optional<std::string>
  transactionFingerprint(const platform::storekit::PaymentTransaction* transaction);

  // First store interface: purchased transactions the engine has not seen before.
  void paymentQueueUpdatedFilteredTransactions(
      platform::storekit::PaymentQueue& queue,
      const std::vector<platform::storekit::PaymentTransactionPtr>& transactions);
  void reportTransactionsFromArray(std::vector<platform::storekit::PaymentTransactionPtr> list);

  // Second store interface: one transaction as the application describes it. The web order line
  // item identifier is a string or a number (anything else counts as none).
  void reportTransactionWithProductID(
      const std::string& productID, const std::string& transactionID,
      const std::string& originalTransactionID, const platform::Value& webOrderLineItemID,
      std::int64_t productType, bool isFreeTrial, bool isIntroductoryOffer,
      std::int64_t paymentQuantity, std::optional<platform::Date> purchaseDate,
      std::optional<platform::Date> originalPurchaseDate,
      std::optional<platform::Date> subscriptionExpirationDate,
      std::optional<platform::Date> cancellationDate, const std::optional<std::string>& environment,
      bool isVerified);

  // The date in the formatter's text (whole seconds, GMT); none for none.
  std::optional<std::string> ia5StringFromDate(std::optional<platform::Date> date) const;

  // The purchase records now kept (read on the state queue).
  std::optional<APMInAppPurchaseItems> allPurchaseItemsForTesting();
  void resetForTesting();

  APMInAppPurchaseTransactionReporter();

 private:
  // State queue only.
  void parsePurchasedItemsFromReceipt();
  void reportProduct(const platform::storekit::Product* product, std::uint64_t quantity,
                     const std::optional<std::string>& transactionID,
                     const std::optional<std::string>& originalTransactionID,
                     std::optional<platform::Date> transactionDate, Mode mode,
                     const std::optional<std::string>& environment, const std::string& version);

  platform::QueuePtr stateQueue_;
  std::optional<APMInAppPurchaseItems> allPurchaseItems_;  // state queue only
  platform::DateFormatter iapDateFormatter_;
};
