#include "measurement/reporters/apm_in_app_purchase_transaction_reporter.h"

#include <algorithm>
#include <cctype>
#include <fstream>
#include <iterator>
#include <set>

#include "measurement/model/apm_event_model_environment.h"
#include "measurement/model/apm_utilities.h"
#include "measurement/reporters/apm_in_app_purchase_product_cache.h"
#include "measurement/reporters/apm_purchase_event_parameters.h"
#include "measurement/storage/apm_aeu.h"
#include "measurement/storage/apm_monitor.h"

namespace {

using platform::storekit::PaymentTransaction;
using platform::storekit::PaymentTransactionPtr;
using platform::storekit::TransactionState;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

platform::Value errorContext(const platform::ErrorPtr& error) {
  if (!error) return platform::Value();
  return platform::Value(error->domain + " " + std::to_string(error->code) + " " +
                         error->localizedDescription());
}

std::optional<platform::Bytes> readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  return platform::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::uint64_t unsignedQuantity(std::int64_t quantity) {
  return quantity > 0 ? static_cast<std::uint64_t>(quantity) : 0;
}

// The web order line item identifier's integer value: a number, or decimal text.
std::optional<std::uint64_t> webOrderLineItem(const platform::Value& value) {
  if (value.isInt()) {
    const auto n = value.asInt();
    if (n != 0) return static_cast<std::uint64_t>(n);
    return std::nullopt;
  }
  if (value.isString()) {
    const std::string& text = value.asString();
    if (text.empty() || text.size() > 20) return std::nullopt;
    std::uint64_t n = 0;
    for (char c : text) {
      if (c < '0' || c > '9') return std::nullopt;
      const std::uint64_t digit = static_cast<std::uint64_t>(c - '0');
      if (n > (UINT64_MAX - digit) / 10) return std::nullopt;
      n = n * 10 + digit;
    }
    if (n != 0) return n;
  }
  return std::nullopt;
}

bool isOne(const platform::ValueMap& map, const char* key) {
  auto found = map.find(platform::Value(key));
  return found != map.end() && found->second.isInt() && found->second.asInt() == 1;
}

}  // namespace

APMInAppPurchaseTransactionReporter::APMInAppPurchaseTransactionReporter()
    : stateQueue_(platform::makeSerialQueue("com.ziriza.duz.measurement.iap-reporter")),
      iapDateFormatter_("yyyy-MM-dd'T'HH:mm:ssZZZZZ") {}

std::shared_ptr<APMInAppPurchaseTransactionReporter>
APMInAppPurchaseTransactionReporter::sharedInstance() {
  static const auto shared = std::make_shared<APMInAppPurchaseTransactionReporter>();
  return shared;
}

std::optional<std::string>
APMInAppPurchaseTransactionReporter::transactionFingerprint(const PaymentTransaction* transaction) {
  if (!transaction) {
    report(2, 21014, "Transaction is nil");
    return std::nullopt;
  }
  if (transaction->transactionState != TransactionState::Purchased) return std::nullopt;
  const platform::Value code(transaction->errorCode);
  if (!transaction->transactionIdentifier) {
    report(2, 21015, "Transaction identifier is nil. Code", {code});
    return std::nullopt;
  }
  const std::string& id = *transaction->transactionIdentifier;
  if (id.empty()) {
    report(2, 21016, "Transaction identifier is empty. Code", {code});
    return std::nullopt;
  }
  if (id.find_first_not_of("0-") == std::string::npos) {
    report(2, 21017, "Transaction identifier is only zeroes. Code", {code});
    return std::nullopt;
  }
  return apm_MD5String(id);
}

void APMInAppPurchaseTransactionReporter::paymentQueueUpdatedFilteredTransactions(
    platform::storekit::PaymentQueue&, const std::vector<PaymentTransactionPtr>& transactions) {
  std::vector<PaymentTransactionPtr> kept;
  std::set<std::string> missing;
  auto cache = APMInAppPurchaseProductCache::sharedInstance();
  for (const auto& transaction : transactions) {
    if (!transaction || transaction->transactionState != TransactionState::Purchased) continue;
    const std::string productID = transaction->payment.productIdentifier;
    if (productID.empty()) continue;
    kept.push_back(transaction);
    if (!cache->cachedProductForProductIdentifier(productID)) missing.insert(productID);
  }
  if (kept.empty()) return;
  std::weak_ptr<APMInAppPurchaseTransactionReporter> weak = weak_from_this();
  if (!missing.empty()) {
    cache->requestProductsWithProductIdentifiers(
        std::move(missing), platform::globalQueue(),
        [weak, kept](std::optional<APMProductsByIdentifier> products,
                     std::optional<std::set<std::string>>, platform::ErrorPtr error) {
          if (!error || (products && !products->empty())) {
            if (auto self = weak.lock()) self->reportTransactionsFromArray(kept);
          } else {
            report(1, 21027, "Cannot request product information. Error", {errorContext(error)});
          }
        });
    return;
  }
  platform::globalQueue()->async([weak, kept] {
    if (auto self = weak.lock()) self->reportTransactionsFromArray(kept);
  });
}

void APMInAppPurchaseTransactionReporter::reportTransactionsFromArray(
    std::vector<PaymentTransactionPtr> list) {
  std::weak_ptr<APMInAppPurchaseTransactionReporter> weak = weak_from_this();
  stateQueue_->async([weak, list = std::move(list)] {
    auto self = weak.lock();
    if (!self) return;
    self->parsePurchasedItemsFromReceipt();
    auto cache = APMInAppPurchaseProductCache::sharedInstance();
    for (const auto& transaction : list) {
      if (!transaction) continue;
      const auto product =
          cache->cachedProductForProductIdentifier(transaction->payment.productIdentifier);
      std::optional<std::string> original;
      if (transaction->originalTransaction) {
        original = transaction->originalTransaction->transactionIdentifier;
      }
      std::optional<platform::Date> date;
      if (transaction->transactionDate) date = platform::Date{*transaction->transactionDate};
      self->reportProduct(product.get(), unsignedQuantity(transaction->payment.quantity),
                          transaction->transactionIdentifier, original, date, Mode::Plain,
                          std::nullopt, "1");
    }
    self->allPurchaseItems_.reset();
  });
}

void APMInAppPurchaseTransactionReporter::reportTransactionWithProductID(
    const std::string& productID, const std::string& transactionID,
    const std::string& originalTransactionID, const platform::Value& webOrderLineItemID,
    std::int64_t productType, bool isFreeTrial, bool isIntroductoryOffer,
    std::int64_t paymentQuantity, std::optional<platform::Date> purchaseDate,
    std::optional<platform::Date> originalPurchaseDate,
    std::optional<platform::Date> subscriptionExpirationDate,
    std::optional<platform::Date> cancellationDate, const std::optional<std::string>& environment,
    bool isVerified) {
  auto item = std::make_shared<APMInAppPurchaseItem>();
  item->isFreeTrial = isFreeTrial;
  item->isIntroductoryOffer = isIntroductoryOffer;
  item->subscriptionExpirationDateIA5String = ia5StringFromDate(subscriptionExpirationDate);
  item->originalPurchaseDateIA5String = ia5StringFromDate(originalPurchaseDate);
  item->purchaseDateIA5String = ia5StringFromDate(purchaseDate);
  item->cancellationDateIA5String = ia5StringFromDate(cancellationDate);
  item->productID = productID;
  item->originalTransactionID = originalTransactionID;
  item->transactionID = transactionID;
  item->webOrderLineItemID = webOrderLineItem(webOrderLineItemID);
  item->purchaseType = productType;

  // The purchase date in whole seconds, as the receipt would hold it.
  std::optional<platform::Date> normalised;
  if (purchaseDate) {
    normalised = iapDateFormatter_.dateFromString(iapDateFormatter_.stringFromDate(*purchaseDate));
  }
  const Mode mode = isVerified ? Mode::StoreVerified : Mode::Plain;
  const std::uint64_t quantity = unsignedQuantity(paymentQuantity);
  std::weak_ptr<APMInAppPurchaseTransactionReporter> weak = weak_from_this();
  auto reportOn = [weak, quantity, transactionID, originalTransactionID, normalised, mode,
                   environment](platform::storekit::ProductPtr product) {
    auto self = weak.lock();
    if (!self) return;
    self->stateQueue_->async([weak, product, quantity, transactionID, originalTransactionID,
                              normalised, mode, environment] {
      if (auto self = weak.lock()) {
        self->reportProduct(product.get(), quantity, transactionID, originalTransactionID,
                            normalised, mode, environment, "2");
      }
    });
  };

  stateQueue_->async([weak, item, isVerified, productID, reportOn] {
    auto self = weak.lock();
    if (!self) return;
    self->parsePurchasedItemsFromReceipt();
    if (isVerified) {
      auto& items = self->allPurchaseItems_;
      const bool listed = items && std::any_of(items->begin(), items->end(), [&](const auto& i) {
                            return i && i->transactionID == item->transactionID;
                          });
      if (!listed) {
        if (!items) items.emplace();
        items->insert(items->begin(), item);
      }
    }
    auto cache = APMInAppPurchaseProductCache::sharedInstance();
    if (auto product = cache->cachedProductForProductIdentifier(productID)) {
      reportOn(product);
      return;
    }
    cache->requestProductsWithProductIdentifiers(
        {productID}, platform::globalQueue(),
        [reportOn](std::optional<APMProductsByIdentifier> products,
                   std::optional<std::set<std::string>>, platform::ErrorPtr error) {
          if (!products || products->empty()) {
            report(1, 21027, "Cannot request product information. Error", {errorContext(error)});
            return;
          }
          reportOn(products->begin()->second);
        });
  });
}

void APMInAppPurchaseTransactionReporter::parsePurchasedItemsFromReceipt() {
  const auto location = APMAEU::appStoreRURL();
  if (!location) return;
  const auto data = readFile(*location);
  if (!data || data->empty()) return;
  allPurchaseItems_ = APMParsePurchaseItems(*data);
  report(7, 21028, "Parsed purchase items from receipt");
}

std::optional<std::string>
APMInAppPurchaseTransactionReporter::ia5StringFromDate(std::optional<platform::Date> date) const {
  if (!date) return std::nullopt;
  return iapDateFormatter_.stringFromDate(*date);
}

void APMInAppPurchaseTransactionReporter::reportProduct(
    const platform::storekit::Product* product, std::uint64_t quantity,
    const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID,
    std::optional<platform::Date> transactionDate, Mode mode,
    const std::optional<std::string>& environment, const std::string& version) {
  const APMInAppPurchaseItems* items = allPurchaseItems_ ? &*allPurchaseItems_ : nullptr;
  auto parameters = APMInAppPurchaseEventParametersFromProductAndTransactionFields(
      product, quantity, transactionID, originalTransactionID, transactionDate, items);
  if (!parameters || parameters->empty()) return;

  bool sandbox = false;
  if (environment) {
    std::string lowered = *environment;
    std::transform(lowered.begin(), lowered.end(), lowered.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    sandbox = lowered == "sandbox" || lowered == "xcode";
  } else {
    sandbox = APMAEU::isASRS();
  }

  const platform::Value one(std::int64_t{1});
  std::string name = "_iap";
  if (isOne(*parameters, "invalid")) {
    if (sandbox) (*parameters)[platform::Value("sandbox")] = one;
    parameters->erase(platform::Value("invalid"));
    name = "_iapx";
  } else if (mode == Mode::StoreVerified) {
    (*parameters)[platform::Value("validated")] = one;
    if (sandbox) (*parameters)[platform::Value("sandbox")] = one;
  }
  if (isOne(*parameters, "sub_renew")) {
    parameters->erase(platform::Value("sub_renew"));
    name = "_assr";
  }
  if (isOne(*parameters, "sub_convert")) {
    parameters->erase(platform::Value("sub_convert"));
    name = "_assc";
  }
  (*parameters)[platform::Value("_skv")] = platform::Value(version);
  APMLogInternalEvent("auto", name, *parameters);
}

std::optional<APMInAppPurchaseItems>
APMInAppPurchaseTransactionReporter::allPurchaseItemsForTesting() {
  std::optional<APMInAppPurchaseItems> items;
  stateQueue_->sync([&] { items = allPurchaseItems_; });
  return items;
}

void APMInAppPurchaseTransactionReporter::resetForTesting() {
  stateQueue_->sync([&] { allPurchaseItems_.reset(); });
}
