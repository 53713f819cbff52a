// The "lumora_test/store" method channel of lumora-test-host: it plays the store, which Linux
// does not have, by scripting the store double (platform/storekit) and reporting transactions
// through the measurement facade's second store interface.
//
//   "setProducts" {"products": [{"id", "price" (decimal text like "0.99"), "currency",
//                  "title"}]}                       replaces the catalog -> true
//   "failNextRequest" {"message"}                    the next products request fails -> true
//   "purchase" {"transaction", "product", "quantity", "originalTransaction", "date"}
//                                                    a purchased transaction posted to the
//                                                    payment-queue observers -> true
//   "logTransaction" {"product", "transaction", "originalTransaction", "productType",
//                     "quantity", "purchaseDate", "originalPurchaseDate", "environment",
//                     "verified", "freeTrial", "introductoryOffer"}
//                                                    one transaction as an application reports it
//                                                    through the second store interface -> true
// Only "product" (and "transaction" of "purchase") are required; dates are seconds since 1970.
// Bad arguments are answered "invalid-arguments". Main thread.
#pragma once

#include "platform/engine/plugin_registrar.h"

namespace lumora::testing {

void registerStoreChannel(const flutter::PluginRegistrarPtr& registrar);

}  // namespace lumora::testing
