// The purchase records of the store receipt: a byte-pattern scanner that finds the in-app
// purchase attribute sets of the receipt wherever they stand in its bytes (the container is not
// decoded), and the selection of the records that belong to one transaction. Plain functions;
// any thread. Every pattern is checked against the bytes that exist, so a truncated or malformed
// receipt gives fewer records, never a read past its end.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/value.h"

// One purchase record of the receipt (or one reported by the second store interface).
struct APMInAppPurchaseItem {
  bool isFreeTrial = false;
  bool isIntroductoryOffer = false;
  std::optional<std::string> subscriptionExpirationDateIA5String;
  std::optional<std::string> productID;
  std::optional<std::string> originalTransactionID;
  std::optional<std::string> transactionID;
  std::optional<std::uint64_t> webOrderLineItemID;
  std::optional<std::string> originalPurchaseDateIA5String;
  std::optional<std::string> purchaseDateIA5String;
  std::optional<std::string> cancellationDateIA5String;
  // 0 non-consumable, 1 consumable, 2 non-renewing subscription, 3 auto-renewable subscription.
  std::optional<std::int64_t> purchaseType;
};
using APMInAppPurchaseItems = std::vector<std::shared_ptr<const APMInAppPurchaseItem>>;

// A byte of a pattern that matches anything; the last one it met gives the value's length.
inline constexpr int APMByteWildcard = 255;

// The value after `pattern` at `position`, or none (see the .cpp for the exact rule).
std::optional<platform::Bytes> APMMatchByteSequence(const std::vector<int>& pattern,
                                                    const platform::Bytes& data,
                                                    std::int64_t position);
// The record-start pattern at `position`.
std::optional<platform::Bytes> APMMatchIWithData(const platform::Bytes& data,
                                                 std::int64_t position);
// The records of a receipt in file order; none for empty data.
std::optional<APMInAppPurchaseItems> APMParsePurchaseItems(const platform::Bytes& data);
// The records of a product and/or purchased at an instant, oldest purchase date first; none
// without records or without a date and a non-empty product identifier.
std::optional<APMInAppPurchaseItems>
APMMatchingInAppPurchaseItems(const APMInAppPurchaseItems* items,
                              const std::optional<std::string>& productID,
                              std::optional<platform::Date> date);
