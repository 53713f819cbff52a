// Test helpers of the purchase reporters: a receipt writer that lays out purchase attribute sets
// the way the store's receipt does, and products. Test-only.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "platform/core/value.h"
#include "platform/storekit/products.h"

namespace reporters_testing {

struct ReceiptField {
  int type;  // low byte of 0x06xx
  int tag;   // 12 UTF8String, 22 IA5String, 2 INTEGER
  platform::Bytes value;
};

inline ReceiptField text(int type, const std::string& value, int tag = 12) {
  return {type, tag, platform::Bytes(value.begin(), value.end())};
}
inline ReceiptField date(int type, const std::string& value) {
  return text(type, value, 22);
}
inline ReceiptField integer(int type, platform::Bytes value) {
  return {type, 2, std::move(value)};
}

// One purchase attribute set: the in-app attribute (17), then each field's attribute.
inline platform::Bytes purchaseRecord(const std::vector<ReceiptField>& fields) {
  platform::Bytes body;
  for (const auto& field : fields) {
    const auto length = static_cast<std::uint8_t>(field.value.size());
    const platform::Bytes head = {
        2,     2, 6, static_cast<std::uint8_t>(field.type), 2,
        1,     1, 4, static_cast<std::uint8_t>(length + 2), static_cast<std::uint8_t>(field.tag),
        length};
    body.insert(body.end(), head.begin(), head.end());
    body.insert(body.end(), field.value.begin(), field.value.end());
  }
  platform::Bytes record = {0x30, 0x80, 2, 1, 17, 2, 1, 1, 4, 0x82};
  record.push_back(static_cast<std::uint8_t>(body.size() >> 8));
  record.push_back(static_cast<std::uint8_t>(body.size()));
  record.insert(record.end(), body.begin(), body.end());
  return record;
}

inline platform::Bytes receipt(const std::vector<platform::Bytes>& records) {
  platform::Bytes out = {0x30, 0x82, 0x10, 0x00, 0x31, 0x00};  // a container header, unread
  for (const auto& record : records)
    out.insert(out.end(), record.begin(), record.end());
  out.push_back(0);
  return out;
}

// Product id, transaction, original transaction, purchase date and type.
inline platform::Bytes simpleRecord(const std::string& product, const std::string& transaction,
                                    const std::string& original, const std::string& purchased,
                                    std::uint8_t type) {
  return purchaseRecord({text(166, product), text(167, transaction), text(169, original),
                         integer(171, {type}), date(168, purchased)});
}

inline platform::storekit::Product product(const std::string& id, const std::string& price,
                                           const std::string& currency = "USD",
                                           const std::string& title = "") {
  platform::storekit::Product p;
  p.productIdentifier = id;
  p.price = platform::storekit::Decimal::fromString(price);
  p.currencyCode = currency;
  if (!title.empty()) p.localizedTitle = title;
  return p;
}

}  // namespace reporters_testing
