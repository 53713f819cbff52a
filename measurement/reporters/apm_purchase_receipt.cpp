#include "measurement/reporters/apm_purchase_receipt.h"

#include <algorithm>
#include <array>

#include "measurement/model/apm_utilities.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/foundation/date_format.h"

namespace {

constexpr int W = APMByteWildcard;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

enum class Decoding { Text, Flag, Integer, WebOrder };
enum class Property {
  ProductID,
  TransactionID,
  OriginalTransactionID,
  ExpirationDate,
  FreeTrial,
  IntroductoryOffer,
  PurchaseType,
  WebOrderLineItemID,
  PurchaseDate,
  OriginalPurchaseDate,
  CancellationDate,
};

struct Field {
  int type;  // the low byte of the attribute type 0x06xx
  int tag;   // the value's own tag inside the octet string
  Property property;
  Decoding decoding;
};

// In the order the fields are tried at each position.
constexpr std::array<Field, 11> kFields = {{
    {166, 12, Property::ProductID, Decoding::Text},
    {167, 12, Property::TransactionID, Decoding::Text},
    {169, 12, Property::OriginalTransactionID, Decoding::Text},
    {172, 22, Property::ExpirationDate, Decoding::Text},
    {177, 2, Property::FreeTrial, Decoding::Flag},
    {183, 2, Property::IntroductoryOffer, Decoding::Flag},
    {171, 2, Property::PurchaseType, Decoding::Integer},
    {175, 2, Property::WebOrderLineItemID, Decoding::WebOrder},
    {168, 22, Property::PurchaseDate, Decoding::Text},
    {170, 22, Property::OriginalPurchaseDate, Decoding::Text},
    {176, 22, Property::CancellationDate, Decoding::Text},
}};

std::vector<int> fieldPattern(const Field& field) {
  return {2, 2, 6, field.type, 2, 1, W, 4, W, field.tag, W};
}

const std::vector<std::vector<int>>& fieldPatterns() {
  static const auto* patterns = [] {
    auto* all = new std::vector<std::vector<int>>();
    for (const auto& field : kFields)
      all->push_back(fieldPattern(field));
    return all;
  }();
  return *patterns;
}

// Sets the record's property from the value; false when the value is refused.
bool acceptField(const Field& field, const platform::Bytes& value, APMInAppPurchaseItem* item) {
  const std::string text(value.begin(), value.end());
  switch (field.decoding) {
  case Decoding::Text:
    switch (field.property) {
    case Property::ProductID:
      item->productID = text;
      break;
    case Property::TransactionID:
      item->transactionID = text;
      break;
    case Property::OriginalTransactionID:
      item->originalTransactionID = text;
      break;
    case Property::ExpirationDate:
      item->subscriptionExpirationDateIA5String = text;
      break;
    case Property::PurchaseDate:
      item->purchaseDateIA5String = text;
      break;
    case Property::OriginalPurchaseDate:
      item->originalPurchaseDateIA5String = text;
      break;
    case Property::CancellationDate:
      item->cancellationDateIA5String = text;
      break;
    default:
      break;
    }
    return true;
  case Decoding::Flag: {
    if (value.size() != 1) return false;
    const bool trial = field.property == Property::FreeTrial;
    bool flag = false;
    if (value[0] == 1) {
      flag = true;
    } else if (value[0] != 0) {
      report(5, trial ? 39025 : 39028,
             trial ? "Subdata FT unexpected value" : "Subdata IO unexpected value",
             {platform::Value(static_cast<std::int64_t>(value[0]))});
    }
    (trial ? item->isFreeTrial : item->isIntroductoryOffer) = flag;
    return true;
  }
  case Decoding::Integer:
    if (value.size() != 1) return false;
    item->purchaseType = static_cast<std::int64_t>(value[0]);
    return true;
  case Decoding::WebOrder: {
    const std::uint64_t id = apm_64LeastSignificantBits(value);
    if (id != 0) item->webOrderLineItemID = id;
    return true;
  }
  }
  return false;
}

const platform::DateFormatter& purchaseDateFormatter() {
  static const auto* formatter = new platform::DateFormatter("yyyy-MM-dd'T'HH:mm:ssZZZZZ");
  return *formatter;
}

std::optional<platform::Date> purchaseDate(const APMInAppPurchaseItem& item) {
  if (!item.purchaseDateIA5String) return std::nullopt;
  return purchaseDateFormatter().dateFromString(*item.purchaseDateIA5String);
}

}  // namespace

std::optional<platform::Bytes> APMMatchByteSequence(const std::vector<int>& pattern,
                                                    const platform::Bytes& data,
                                                    std::int64_t position) {
  if (position < 0 || data.empty() || pattern.empty()) return std::nullopt;
  const auto start = static_cast<std::size_t>(position);
  if (start >= data.size() || pattern.size() >= data.size() - start) return std::nullopt;
  std::optional<std::uint8_t> last;
  for (std::size_t i = 0; i < pattern.size(); ++i) {
    const std::uint8_t byte = data[start + i];
    if (pattern[i] == W) {
      last = byte;
    } else if (pattern[i] != byte) {
      return std::nullopt;
    }
  }
  if (!last || *last == 0) return std::nullopt;
  const std::size_t length = *last;
  const std::size_t from = start + pattern.size();
  if (data.size() - from < length) return std::nullopt;
  if (length >= 128) report(5, 39027, "Data is longer than 127");
  return platform::Bytes(data.begin() + static_cast<std::ptrdiff_t>(from),
                         data.begin() + static_cast<std::ptrdiff_t>(from + length));
}

std::optional<platform::Bytes> APMMatchIWithData(const platform::Bytes& data,
                                                 std::int64_t position) {
  static const std::vector<int> kStart = {2, 1, 17, 2, 1, W, 4};
  return APMMatchByteSequence(kStart, data, position);
}

std::optional<APMInAppPurchaseItems> APMParsePurchaseItems(const platform::Bytes& data) {
  if (data.empty()) return std::nullopt;
  APMInAppPurchaseItems items;
  std::shared_ptr<APMInAppPurchaseItem> current;
  std::array<bool, kFields.size()> found{};
  const auto& patterns = fieldPatterns();
  std::size_t position = 0;
  while (position < data.size()) {
    const auto pos = static_cast<std::int64_t>(position);
    if (auto start = APMMatchIWithData(data, pos)) {
      if (current && current->productID) items.push_back(current);
      current = std::make_shared<APMInAppPurchaseItem>();
      found.fill(false);
      position += start->size() + 1;
      continue;
    }
    bool accepted = false;
    if (current) {
      for (std::size_t i = 0; i < kFields.size() && !accepted; ++i) {
        if (found[i]) continue;
        auto value = APMMatchByteSequence(patterns[i], data, pos);
        if (!value) continue;
        found[i] = true;
        if (acceptField(kFields[i], *value, current.get())) {
          accepted = true;
          position += value->size() + 1;
        }
      }
    }
    if (!accepted) ++position;
  }
  if (current) items.push_back(current);
  return items;
}

std::optional<APMInAppPurchaseItems>
APMMatchingInAppPurchaseItems(const APMInAppPurchaseItems* items,
                              const std::optional<std::string>& productID,
                              std::optional<platform::Date> date) {
  const bool byProduct = productID && !productID->empty();
  if (!items || items->empty() || (!date && !byProduct)) return std::nullopt;
  struct Kept {
    std::shared_ptr<const APMInAppPurchaseItem> item;
    std::optional<platform::Date> date;
  };
  std::vector<Kept> kept;
  for (const auto& item : *items) {
    if (!item) continue;
    const auto parsed = purchaseDate(*item);
    if (date && !(parsed && *parsed == *date)) continue;
    if (byProduct && item->productID != productID) continue;
    kept.push_back({item, parsed});
  }
  // Records whose purchase date can't be read keep their order after every dated one.
  std::stable_sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) {
    if (!a.date || !b.date) return a.date.has_value() && !b.date.has_value();
    return a.date->secondsSince1970 < b.date->secondsSince1970;
  });
  APMInAppPurchaseItems out;
  for (auto& k : kept)
    out.push_back(std::move(k.item));
  return out;
}
