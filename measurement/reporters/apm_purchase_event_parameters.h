// The parameters of a purchase event from one store transaction and its product, and the
// classification of the transaction against the receipt's purchase records: one-time purchase,
// subscription start, renewal, trial, introductory offer, or a case reported as invalid. Money
// is in micros (millionths of the currency unit). Every decision is logged at level 8.
// Plain functions; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "measurement/reporters/apm_purchase_receipt.h"
#include "platform/core/value.h"
#include "platform/storekit/products.h"

// Log code of a price or value whose micros leave the 64-bit range (the parameter is left out).
inline constexpr std::int64_t APMPurchaseMicrosOutOfRangeCode = 40028;

// The parameters, or none when the product is missing or a required parameter ("price",
// "value", "currency", "product_id") is.
std::optional<platform::ValueMap> APMInAppPurchaseEventParametersFromProductAndTransactionFields(
    const platform::storekit::Product* product, std::uint64_t quantity,
    const std::optional<std::string>& transactionID,
    const std::optional<std::string>& originalTransactionID,
    std::optional<platform::Date> transactionDate, const APMInAppPurchaseItems* items);

// quantity x price x 1,000,000 in decimal, then as a double truncated toward zero; none when
// the result leaves the 64-bit range.
std::optional<std::int64_t> APMValueInMicrosFromPriceAndQuantity(platform::storekit::Decimal price,
                                                                 std::int64_t quantity);

// The de-duplication identifier of a purchase chain: the low 64 bits of the MD5 of original
// transaction + web order line item (decimal, when present) + product, as a signed number;
// -1 when the original transaction or the product identifier is empty.
std::int64_t APMTransactionDedupeID(const std::optional<std::string>& originalTransactionID,
                                    std::optional<std::uint64_t> webOrderLineItemID,
                                    const std::optional<std::string>& productID);

// Marks a renewal: "sub_convert" after a free trial, else "sub_renew". `items` are the
// product's records oldest first; `item` is the matched one.
void APMMaybeAddSubscriptionParameters(platform::ValueMap& result,
                                       const APMInAppPurchaseItems& items,
                                       const APMInAppPurchaseItem& item);
