// The store's product records and one-shot product requests. Stands in for the store framework's
// products, product discounts and products request. Linux has no store, so the products a request
// can find are the ones a test (or the test host) put into the scripted catalog with
// ScriptedStore; an identifier the catalog lacks is answered as invalid.
//
// A request answers at most once, on a global queue, through its delegate; the delegate is held
// weakly until the request starts, then strongly until the answer has been delivered. The
// catalog is guarded by one mutex, never held while a delegate runs. Thread-safe.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/error.h"

namespace platform::storekit {

// An exact decimal number: mantissa x 10^exponent ("0.99" is 99 x 10^-2).
struct Decimal {
  std::int64_t mantissa = 0;
  int exponent = 0;

  // Plain decimal text: optional sign, digits, optional fraction ("4.99", "-1", "0.000001").
  // None for anything else or for more digits than fit the mantissa.
  static std::optional<Decimal> fromString(std::string_view text);
  double doubleValue() const;
  friend bool operator==(const Decimal&, const Decimal&) = default;
};

enum class ProductDiscountPaymentMode { PayAsYouGo = 0, PayUpFront = 1, FreeTrial = 2 };

struct ProductDiscount {
  Decimal price;
  ProductDiscountPaymentMode paymentMode = ProductDiscountPaymentMode::PayAsYouGo;
};

struct Product {
  std::string productIdentifier;
  std::optional<Decimal> price;
  // The currency code of the price locale, when it has one.
  std::optional<std::string> currencyCode;
  std::optional<std::string> localizedTitle;
  std::optional<ProductDiscount> introductoryPrice;
};
using ProductPtr = std::shared_ptr<const Product>;

struct ProductsResponse {
  std::vector<ProductPtr> products;
  std::vector<std::string> invalidProductIdentifiers;
};

class ProductsRequest;

class ProductsRequestDelegate {
 public:
  virtual ~ProductsRequestDelegate() = default;
  virtual void productsRequestDidReceiveResponse(ProductsRequest& request,
                                                 const ProductsResponse& response) = 0;
  virtual void requestDidFailWithError(ProductsRequest& request, ErrorPtr error) = 0;
};

class ProductsRequest : public std::enable_shared_from_this<ProductsRequest> {
 public:
  // None when the store gives no request (ScriptedStore::setRequestCreationFails).
  static std::shared_ptr<ProductsRequest> initWithProductIdentifiers(std::set<std::string> ids);

  void setDelegate(std::weak_ptr<ProductsRequestDelegate> delegate);
  // Asks the catalog; the answer reaches the delegate later on a global queue (or never, when
  // the script says so). A second start does nothing.
  void start();
  const std::set<std::string>& productIdentifiers() const { return ids_; }

  explicit ProductsRequest(std::set<std::string> ids) : ids_(std::move(ids)) {}

 private:
  std::set<std::string> ids_;
  std::mutex mutex_;  // guards delegate_, started_
  std::weak_ptr<ProductsRequestDelegate> delegate_;
  bool started_ = false;
};

// The scripted side of the store: its catalog and the switches tests turn.
class StoreCatalog {
 public:
  // Replaces the catalog.
  static void setProducts(std::vector<Product> products);
  // The next request fails with this error (once).
  static void failNextRequest(ErrorPtr error);
  // The next request never answers (once).
  static void dropNextRequest();
  static void setRequestCreationFails(bool fails);
  // Whether the discount class exists, and whether products answer their introductory price.
  static void setDiscountClassAvailable(bool available);
  static void setIntroductoryPriceAvailable(bool available);
  static bool discountClassAvailable();
  static bool introductoryPriceAvailable();
  // Empty catalog, every switch back to its default.
  static void reset();
};

}  // namespace platform::storekit
