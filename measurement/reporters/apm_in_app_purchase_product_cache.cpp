#include "measurement/reporters/apm_in_app_purchase_product_cache.h"

#include "measurement/storage/apm_error.h"

void APMProductsRequest::requestProductsWithProductIdentifiers(std::set<std::string> identifiers,
                                                               platform::QueuePtr queue,
                                                               APMProductsCompletion completion) {
  if (!queue || !completion) return;
  auto request = initWithProductIdentifiers(std::move(identifiers));
  if (!request) {
    queue->async([completion = std::move(completion)] {
      completion(std::nullopt, std::nullopt, apm_errorWithCode(1, "Invalid product identifiers."));
    });
    return;
  }
  request->requestWithQueue(std::move(queue), std::move(completion));
}

std::shared_ptr<APMProductsRequest>
APMProductsRequest::initWithProductIdentifiers(std::set<std::string> identifiers) {
  auto storeRequest =
      platform::storekit::ProductsRequest::initWithProductIdentifiers(std::move(identifiers));
  if (!storeRequest) return nullptr;
  return std::make_shared<APMProductsRequest>(std::move(storeRequest));
}

void APMProductsRequest::requestWithQueue(platform::QueuePtr queue,
                                          APMProductsCompletion completion) {
  if (!queue || !completion) return;
  std::shared_ptr<platform::storekit::ProductsRequest> storeRequest;
  {
    std::lock_guard lock(mutex_);
    queue_ = std::move(queue);
    completionHandler_ = std::move(completion);
    storeRequest = productsRequest_;
  }
  if (!storeRequest) return;
  storeRequest->setDelegate(weak_from_this());
  storeRequest->start();
}

bool APMProductsRequest::takeCompletion(APMProductsCompletion* completion,
                                        platform::QueuePtr* queue) {
  std::lock_guard lock(mutex_);
  if (!completionHandler_ || !queue_) return false;
  *completion = std::move(completionHandler_);
  *queue = std::move(queue_);
  completionHandler_ = nullptr;
  queue_ = nullptr;
  productsRequest_ = nullptr;
  return true;
}

void APMProductsRequest::productsRequestDidReceiveResponse(
    platform::storekit::ProductsRequest&, const platform::storekit::ProductsResponse& response) {
  APMProductsCompletion completion;
  platform::QueuePtr queue;
  if (!takeCompletion(&completion, &queue)) return;
  APMProductsByIdentifier products;
  for (const auto& product : response.products) {
    if (!product || product->productIdentifier.empty()) continue;
    products[product->productIdentifier] = product;
  }
  std::set<std::string> invalid(response.invalidProductIdentifiers.begin(),
                                response.invalidProductIdentifiers.end());
  queue->async([completion = std::move(completion), products = std::move(products),
                invalid = std::move(invalid)] { completion(products, invalid, nullptr); });
}

void APMProductsRequest::requestDidFailWithError(platform::storekit::ProductsRequest&,
                                                 platform::ErrorPtr error) {
  APMProductsCompletion completion;
  platform::QueuePtr queue;
  if (!takeCompletion(&completion, &queue)) return;
  queue->async([completion = std::move(completion), error = std::move(error)] {
    completion(std::nullopt, std::nullopt, error);
  });
}

APMInAppPurchaseProductCache::APMInAppPurchaseProductCache()
    : lockQueue_(platform::makeSerialQueue("com.ziriza.duz.measurement.iap-cache")) {}

std::shared_ptr<APMInAppPurchaseProductCache> APMInAppPurchaseProductCache::sharedInstance() {
  static const auto shared = std::make_shared<APMInAppPurchaseProductCache>();
  return shared;
}

platform::storekit::ProductPtr
APMInAppPurchaseProductCache::cachedProductForProductIdentifier(const std::string& identifier) {
  platform::storekit::ProductPtr product;
  lockQueue_->sync([&] {
    auto found = validProducts_.find(identifier);
    if (found != validProducts_.end()) product = found->second;
  });
  return product;
}

void APMInAppPurchaseProductCache::requestProductsWithProductIdentifiers(
    std::set<std::string> identifiers, platform::QueuePtr queue, APMProductsCompletion completion) {
  if (!queue || !completion) return;
  std::weak_ptr<APMInAppPurchaseProductCache> weak = weak_from_this();
  APMProductsRequest::requestProductsWithProductIdentifiers(
      std::move(identifiers), lockQueue_,
      [weak, queue, completion](std::optional<APMProductsByIdentifier> products,
                                std::optional<std::set<std::string>> invalid,
                                platform::ErrorPtr error) {
        auto cache = weak.lock();
        if (!cache) return;
        cache->mergeAnswer(products, invalid);
        queue->async([completion, products = std::move(products), invalid = std::move(invalid),
                      error = std::move(error)] { completion(products, invalid, error); });
      });
}

void APMInAppPurchaseProductCache::mergeAnswer(
    const std::optional<APMProductsByIdentifier>& products,
    const std::optional<std::set<std::string>>& invalid) {
  // A failed request brings nothing; the cache keeps its content.
  if (!products && !invalid) return;
  if (products) {
    for (const auto& [id, product] : *products)
      validProducts_[id] = product;
  }
  if (invalid) {
    for (const auto& id : *invalid)
      validProducts_.erase(id);
    invalidProductIdentifiers_.insert(invalid->begin(), invalid->end());
  }
  if (products) {
    for (const auto& entry : *products)
      invalidProductIdentifiers_.erase(entry.first);
  }
  if (validProducts_.size() + invalidProductIdentifiers_.size() >
      APMInAppPurchaseProductCacheLimit) {
    validProducts_ = products.value_or(APMProductsByIdentifier{});
    invalidProductIdentifiers_ = invalid.value_or(std::set<std::string>{});
  }
}

std::pair<std::set<std::string>, std::set<std::string>>
APMInAppPurchaseProductCache::contentsForTesting() {
  std::pair<std::set<std::string>, std::set<std::string>> contents;
  lockQueue_->sync([&] {
    for (const auto& entry : validProducts_)
      contents.first.insert(entry.first);
    contents.second = invalidProductIdentifiers_;
  });
  return contents;
}

void APMInAppPurchaseProductCache::resetForTesting() {
  lockQueue_->sync([&] {
    validProducts_.clear();
    invalidProductIdentifiers_.clear();
  });
}
