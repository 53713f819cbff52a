#include "platform/storekit/products.h"

#include <cmath>
#include <limits>
#include <map>

#include "platform/dispatch/queue.h"

namespace platform::storekit {

namespace {

struct Script {
  std::mutex mutex;  // guards everything below
  std::map<std::string, ProductPtr> catalog;
  ErrorPtr failNext;
  bool dropNext = false;
  bool creationFails = false;
  bool discountClass = true;
  bool introductoryPrice = true;
};

Script& script() {
  static auto* s = new Script();  // lives for the process
  return *s;
}

}  // namespace

std::optional<Decimal> Decimal::fromString(std::string_view text) {
  std::size_t pos = 0;
  bool negative = false;
  if (pos < text.size() && (text[pos] == '-' || text[pos] == '+')) negative = text[pos++] == '-';
  std::int64_t mantissa = 0;
  int exponent = 0;
  bool digits = false;
  bool fraction = false;
  for (; pos < text.size(); ++pos) {
    const char c = text[pos];
    if (c == '.' && !fraction) {
      fraction = true;
      continue;
    }
    if (c < '0' || c > '9') return std::nullopt;
    if (mantissa > (std::numeric_limits<std::int64_t>::max() - (c - '0')) / 10) return std::nullopt;
    mantissa = mantissa * 10 + (c - '0');
    digits = true;
    if (fraction) --exponent;
  }
  if (!digits) return std::nullopt;
  return Decimal{negative ? -mantissa : mantissa, exponent};
}

double Decimal::doubleValue() const {
  return static_cast<double>(mantissa) * std::pow(10.0, exponent);
}

std::shared_ptr<ProductsRequest>
ProductsRequest::initWithProductIdentifiers(std::set<std::string> ids) {
  {
    std::lock_guard lock(script().mutex);
    if (script().creationFails) return nullptr;
  }
  return std::make_shared<ProductsRequest>(std::move(ids));
}

void ProductsRequest::setDelegate(std::weak_ptr<ProductsRequestDelegate> delegate) {
  std::lock_guard lock(mutex_);
  delegate_ = std::move(delegate);
}

void ProductsRequest::start() {
  {
    std::lock_guard lock(mutex_);
    if (started_) return;
    started_ = true;
  }
  ErrorPtr error;
  ProductsResponse response;
  {
    auto& s = script();
    std::lock_guard lock(s.mutex);
    if (s.dropNext) {
      s.dropNext = false;
      return;
    }
    error = std::move(s.failNext);
    s.failNext = nullptr;
    if (!error) {
      for (const auto& id : ids_) {
        auto found = s.catalog.find(id);
        if (found != s.catalog.end()) {
          response.products.push_back(found->second);
        } else {
          response.invalidProductIdentifiers.push_back(id);
        }
      }
    }
  }
  std::shared_ptr<ProductsRequestDelegate> delegate;
  {
    std::lock_guard lock(mutex_);
    delegate = delegate_.lock();
  }
  if (!delegate) return;
  // The store answers from its own thread; the request and its delegate stay alive until it has.
  globalQueue()->async([self = shared_from_this(), delegate = std::move(delegate), error,
                        response = std::move(response)] {
    if (error) {
      delegate->requestDidFailWithError(*self, error);
    } else {
      delegate->productsRequestDidReceiveResponse(*self, response);
    }
  });
}

void StoreCatalog::setProducts(std::vector<Product> products) {
  std::map<std::string, ProductPtr> catalog;
  for (auto& product : products) {
    auto id = product.productIdentifier;
    catalog[id] = std::make_shared<const Product>(std::move(product));
  }
  std::lock_guard lock(script().mutex);
  script().catalog = std::move(catalog);
}

void StoreCatalog::failNextRequest(ErrorPtr error) {
  std::lock_guard lock(script().mutex);
  script().failNext = std::move(error);
}

void StoreCatalog::dropNextRequest() {
  std::lock_guard lock(script().mutex);
  script().dropNext = true;
}

void StoreCatalog::setRequestCreationFails(bool fails) {
  std::lock_guard lock(script().mutex);
  script().creationFails = fails;
}

void StoreCatalog::setDiscountClassAvailable(bool available) {
  std::lock_guard lock(script().mutex);
  script().discountClass = available;
}

void StoreCatalog::setIntroductoryPriceAvailable(bool available) {
  std::lock_guard lock(script().mutex);
  script().introductoryPrice = available;
}

bool StoreCatalog::discountClassAvailable() {
  std::lock_guard lock(script().mutex);
  return script().discountClass;
}

bool StoreCatalog::introductoryPriceAvailable() {
  std::lock_guard lock(script().mutex);
  return script().introductoryPrice;
}

void StoreCatalog::reset() {
  std::lock_guard lock(script().mutex);
  auto& s = script();
  s.catalog.clear();
  s.failNext = nullptr;
  s.dropNext = false;
  s.creationFails = false;
  s.discountClass = true;
  s.introductoryPrice = true;
}

}  // namespace platform::storekit
