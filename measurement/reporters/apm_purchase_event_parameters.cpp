#include "measurement/reporters/apm_purchase_event_parameters.h"

#include <cmath>
#include <limits>

#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_monitor.h"

namespace {

using platform::storekit::Decimal;

void report(std::int64_t code, std::string_view text, const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(8, code, text, contexts);
}

platform::Value one() {
  return platform::Value(std::int64_t{1});
}

bool isOne(const platform::ValueMap& map, const char* key) {
  auto found = map.find(platform::Value(key));
  return found != map.end() && found->second.isInt() && found->second.asInt() == 1;
}

bool nonEmpty(const std::optional<std::string>& text) {
  return text && !text->empty();
}

// Micros of a price, or none (with the line that says why) when they leave the 64-bit range.
std::optional<std::int64_t> micros(Decimal price, std::int64_t quantity, const char* what) {
  auto result = APMValueInMicrosFromPriceAndQuantity(price, quantity);
  if (!result) {
    report(APMPurchaseMicrosOutOfRangeCode,
           "Purchase amount in micros is out of range and will be left out",
           {platform::Value(what)});
  }
  return result;
}

void setMicros(platform::ValueMap& result, const char* key, std::optional<std::int64_t> value) {
  if (value) {
    result[platform::Value(key)] = platform::Value(*value);
  } else {
    result.erase(platform::Value(key));
  }
}

void setFreeTrialPrice(platform::ValueMap& result) {
  // Copied first: inserting into the map may move its entries.
  const auto price = result.find(platform::Value("price"));
  if (price != result.end()) {
    platform::Value listPrice = price->second;
    result[platform::Value("original_price")] = std::move(listPrice);
  }
  result[platform::Value("price_is_discounted")] = one();
  result[platform::Value("price")] = platform::Value(std::int64_t{0});
  result[platform::Value("value")] = platform::Value(std::int64_t{0});
}

}  // namespace

std::optional<std::int64_t> APMValueInMicrosFromPriceAndQuantity(Decimal price,
                                                                 std::int64_t quantity) {
  __int128 n = static_cast<__int128>(price.mantissa) * quantity;
  int scale = price.exponent + 6;
  constexpr __int128 kLimit = static_cast<__int128>(1) << 100;
  double result = 0;
  if (scale >= 0) {
    for (; scale > 0; --scale) {
      if (n > kLimit || n < -kLimit) return std::nullopt;
      n *= 10;
    }
    result = static_cast<double>(n);
  } else {
    // Beyond 10^38 nothing of a 64-bit mantissa times quantity is left above zero.
    if (scale < -38) return std::int64_t{0};
    __int128 divisor = 1;
    for (; scale < 0; ++scale)
      divisor *= 10;
    const __int128 whole = n / divisor;
    const __int128 rest = n % divisor;
    result = static_cast<double>(whole) + static_cast<double>(rest) / static_cast<double>(divisor);
  }
  result = std::trunc(result);
  // 2^63 is the first double past the range; everything below it down to -2^63 fits.
  if (!(result < 9223372036854775808.0) || result < -9223372036854775808.0) return std::nullopt;
  return static_cast<std::int64_t>(result);
}

std::int64_t APMTransactionDedupeID(const std::optional<std::string>& originalTransactionID,
                                    std::optional<std::uint64_t> webOrderLineItemID,
                                    const std::optional<std::string>& productID) {
  if (!nonEmpty(originalTransactionID) || !nonEmpty(productID)) return -1;
  std::string text = *originalTransactionID;
  if (webOrderLineItemID) text += std::to_string(*webOrderLineItemID);
  text += *productID;
  return static_cast<std::int64_t>(apm_64LSBMD5(platform::Bytes(text.begin(), text.end())));
}

void APMMaybeAddSubscriptionParameters(platform::ValueMap& result,
                                       const APMInAppPurchaseItems& items,
                                       const APMInAppPurchaseItem& item) {
  if (items.empty() || item.originalTransactionID == item.transactionID) return;
  const APMInAppPurchaseItem* previous = nullptr;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (items[i].get() == &item) {
      if (i > 0) previous = items[i - 1].get();
      break;
    }
  }
  if (previous && previous->isFreeTrial) {
    result[platform::Value("sub_convert")] = one();
  } else {
    result[platform::Value("sub_renew")] = one();
  }
}

std::optional<platform::ValueMap> APMInAppPurchaseEventParametersFromProductAndTransactionFields(
    const platform::storekit::Product* product, std::uint64_t quantity,
    const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID,
    std::optional<platform::Date> transactionDate, const APMInAppPurchaseItems* items) {
  using platform::Value;
  if (!product) {
    report(40026, "IAP Transaction cannot be created from nil product");
    return std::nullopt;
  }
  const std::string& productID = product->productIdentifier;
  if (productID.empty()) {
    report(40027, "IAP Transaction cannot be created from empty or nil product ID");
    return std::nullopt;
  }
  // A quantity past the signed range is no real purchase; it leaves the value out.
  const bool quantityFits = quantity <= static_cast<std::uint64_t>(INT64_MAX);
  const auto signedQuantity = static_cast<std::int64_t>(quantityFits ? quantity : 0);

  platform::ValueMap result;
  result[Value("product_id")] = Value(productID);
  if (product->price) {
    setMicros(result, "price", micros(*product->price, 1, "price"));
    if (quantity != 0 && quantityFits) {
      setMicros(result, "value", micros(*product->price, signedQuantity, "value"));
      result[Value("quantity")] = Value(signedQuantity);
    }
  }
  if (product->currencyCode) result[Value("currency")] = Value(*product->currencyCode);
  if (product->localizedTitle) result[Value("product_name")] = Value(*product->localizedTitle);

  [&] {
    if (!nonEmpty(transactionID)) report(40003, "Transaction ID cannot be nil or empty.");
    const std::optional<std::string> byProduct = productID;
    const auto matches = APMMatchingInAppPurchaseItems(items, byProduct, std::nullopt);
    if (!matches || matches->empty()) {
      report(40020, "Transaction missing in receipt will be reported as invalid",
             {Value(productID)});
      result[Value("invalid")] = one();
      return;
    }
    const auto& latest = *matches->back();
    const auto type = latest.purchaseType;
    if (type == 0 && nonEmpty(transactionID) && nonEmpty(originalTransactionID) &&
        *transactionID != *originalTransactionID) {
      report(40005, "Restore/repurchase of non-consumable item will be reported as invalid");
      result[Value("invalid")] = one();
      return;
    }
    const bool subscriptionLike = type == 3 || type == 2 || latest.webOrderLineItemID.has_value();
    const bool same = latest.transactionID == latest.originalTransactionID;
    if (same && !subscriptionLike) {
      if (type == 1) report(40021, "Transaction of consumable item will be reported");
      if (type == 0) report(40022, "Transaction of non-consumable item will be reported");
      result[Value("_did")] = Value(
          APMTransactionDedupeID(latest.originalTransactionID, std::nullopt, latest.productID));
      return;
    }
    if (!subscriptionLike) {
      report(40007, "Transaction with mismatched transaction ID and original transaction ID will "
                    "be reported as consumable");
      return;
    }
    const auto dated = APMMatchingInAppPurchaseItems(&*matches, std::nullopt, transactionDate);
    const std::size_t count = dated ? dated->size() : 0;
    if (count == 0) {
      report(40023, "Subscription transaction missing in receipt will be reported as invalid",
             {Value(productID)});
      result[Value("invalid")] = one();
      result[Value("subscription")] = one();
      return;
    }
    if (count > 1) {
      report(40024,
             "Subscription transaction with duplicate transaction date will be reported as invalid",
             {Value(productID), Value(static_cast<std::int64_t>(count))});
      result[Value("invalid")] = one();
      result[Value("subscription")] = one();
      return;
    }
    const auto& item = *dated->front();
    if (type == 2) {
      result[Value("subscription")] = one();
      result[Value("_did")] =
          Value(APMTransactionDedupeID(item.originalTransactionID, std::nullopt, item.productID));
      report(40025, "Transaction of non-renewing subscription will be reported");
      return;
    }
    if (item.originalTransactionID == item.transactionID) result[Value("subscription")] = one();
    result[Value("_did")] = Value(APMTransactionDedupeID(item.originalTransactionID,
                                                         item.webOrderLineItemID, item.productID));
    if (item.isFreeTrial || item.isIntroductoryOffer) {
      if (item.isFreeTrial) {
        result[Value("free_trial")] = one();
        if (nonEmpty(transactionID) && nonEmpty(originalTransactionID) &&
            *transactionID != *originalTransactionID) {
          report(40011, "Repurchase of free-trial auto-renewable subscription will be reported "
                        "as invalid");
          result[Value("invalid")] = one();
          return;
        }
        report(40009, "Transaction of free-trial auto-renewable subscription will be reported");
      }
      if (item.isIntroductoryOffer) {
        result[Value("price_is_discounted")] = one();
        APMMaybeAddSubscriptionParameters(result, *matches, *dated->front());
        report(40018, "Transaction of introductory offer will be reported");
      }
      report(40010, "Transaction of auto-renewable subscription renewal will be reported");
      return;
    }
    report(40008, "Transaction of auto-renewable subscription will be reported");
    APMMaybeAddSubscriptionParameters(result, *matches, *dated->front());
  }();

  if (isOne(result, "free_trial")) {
    setFreeTrialPrice(result);
  } else if (isOne(result, "price_is_discounted") &&
             platform::storekit::StoreCatalog::discountClassAvailable() &&
             platform::storekit::StoreCatalog::introductoryPriceAvailable() &&
             product->introductoryPrice) {
    const auto& discount = *product->introductoryPrice;
    if (discount.paymentMode == platform::storekit::ProductDiscountPaymentMode::FreeTrial) {
      setFreeTrialPrice(result);
    } else {
      const auto price = result.find(Value("price"));
      if (price != result.end()) {
        Value listPrice = price->second;
        result[Value("original_price")] = std::move(listPrice);
      }
      setMicros(result, "price", micros(discount.price, 1, "price"));
      if (quantity != 0 && quantityFits) {
        setMicros(result, "value", micros(discount.price, signedQuantity, "value"));
      }
    }
  }

  for (const char* required : {"price", "value", "currency", "product_id"}) {
    if (!result.contains(Value(required))) return std::nullopt;
  }
  return result;
}
