// The store's product records by product identifier, kept in memory for the purchase reporter,
// and the one-shot products request that fetches missing ones. Purchase events need a product's
// price, currency and title, which a store transaction does not carry.
//
// APMInAppPurchaseProductCache: both collections live on its lock queue
// ("com.ziriza.duz.measurement.iap-cache"); reads wait on it, answers are merged on it and handed
// to the caller on the caller's queue. The cache grows until products plus invalid identifiers
// pass 100, then starts again from the last answer alone.
//
// APMProductsRequest: answers once, on the queue it was given; a second answer does nothing.
// The pending store request keeps it alive until its answer has run.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/core/error.h"
#include "platform/dispatch/queue.h"
#include "platform/storekit/products.h"

using APMProductsByIdentifier = std::map<std::string, platform::storekit::ProductPtr>;
// (products, invalid identifiers, error); none stands for no products / no identifiers.
using APMProductsCompletion =
    std::function<void(std::optional<APMProductsByIdentifier>, std::optional<std::set<std::string>>,
                       platform::ErrorPtr)>;

inline constexpr std::size_t APMInAppPurchaseProductCacheLimit = 100;

class APMProductsRequest : public platform::storekit::ProductsRequestDelegate,
                           public std::enable_shared_from_this<APMProductsRequest> {
 public:
  // Nothing without a queue or a completion. A request the store refuses to create answers the
  // measurement error 1 "Invalid product identifiers.".
  static void requestProductsWithProductIdentifiers(std::set<std::string> identifiers,
                                                    platform::QueuePtr queue,
                                                    APMProductsCompletion completion);
  static std::shared_ptr<APMProductsRequest>
  initWithProductIdentifiers(std::set<std::string> identifiers);
  void requestWithQueue(platform::QueuePtr queue, APMProductsCompletion completion);

  void
  productsRequestDidReceiveResponse(platform::storekit::ProductsRequest& request,
                                    const platform::storekit::ProductsResponse& response) override;
  void requestDidFailWithError(platform::storekit::ProductsRequest& request,
                               platform::ErrorPtr error) override;

  explicit APMProductsRequest(std::shared_ptr<platform::storekit::ProductsRequest> request)
      : productsRequest_(std::move(request)) {}

 private:
  // Takes the stored completion and queue, dropping them (and the store request) so that a
  // second answer does nothing; false when they are already gone.
  bool takeCompletion(APMProductsCompletion* completion, platform::QueuePtr* queue);

  std::mutex mutex_;  // guards the three below
  std::shared_ptr<platform::storekit::ProductsRequest> productsRequest_;
  APMProductsCompletion completionHandler_;
  platform::QueuePtr queue_;
};

class APMInAppPurchaseProductCache
    : public std::enable_shared_from_this<APMInAppPurchaseProductCache> {
 public:
  static std::shared_ptr<APMInAppPurchaseProductCache> sharedInstance();

  platform::storekit::ProductPtr cachedProductForProductIdentifier(const std::string& identifier);
  // Nothing without a queue or a completion.
  void requestProductsWithProductIdentifiers(std::set<std::string> identifiers,
                                             platform::QueuePtr queue,
                                             APMProductsCompletion completion);

  // Both collections, read on the lock queue.
  std::pair<std::set<std::string>, std::set<std::string>> contentsForTesting();
  void resetForTesting();

  APMInAppPurchaseProductCache();

 private:
  void mergeAnswer(const std::optional<APMProductsByIdentifier>& products,
                   const std::optional<std::set<std::string>>& invalid);

  std::set<std::string> invalidProductIdentifiers_;  // lock queue only
  APMProductsByIdentifier validProducts_;            // lock queue only
  platform::QueuePtr lockQueue_;
};
