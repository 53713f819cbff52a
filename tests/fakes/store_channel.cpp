#include "tests/fakes/store_channel.h"

#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>

#include "measurement/engine/apm_analytics.h"
#include "platform/core/error.h"
#include "platform/engine/channels.h"
#include "platform/storekit/payment_queue.h"
#include "platform/storekit/products.h"
#include "tests/fakes/test_channel_result.h"

namespace lumora::testing {

namespace {

using platform::Value;
namespace storekit = platform::storekit;

const Value* find(const Value& args, const char* key) {
  if (!args.isMap()) return nullptr;
  const Value* v = args.find(Value(key));
  return v && !v->isNull() ? v : nullptr;
}

std::optional<std::string> optionalText(const Value& args, const char* key) {
  const Value* v = find(args, key);
  if (!v) return std::nullopt;
  if (!v->isString()) throw std::invalid_argument(std::string("\"") + key + "\" is not a string");
  return v->asString();
}

std::string text(const Value& args, const char* key) {
  auto v = optionalText(args, key);
  if (!v) throw std::invalid_argument(std::string("missing string \"") + key + "\"");
  return *v;
}

std::optional<std::int64_t> optionalInteger(const Value& args, const char* key) {
  const Value* v = find(args, key);
  if (!v) return std::nullopt;
  if (!v->isInt()) throw std::invalid_argument(std::string("\"") + key + "\" is not an integer");
  return v->asInt();
}

std::optional<double> optionalSeconds(const Value& args, const char* key) {
  const Value* v = find(args, key);
  if (!v) return std::nullopt;
  if (v->isInt()) return static_cast<double>(v->asInt());
  if (v->isDouble() && std::isfinite(v->asDouble())) return v->asDouble();
  throw std::invalid_argument(std::string("\"") + key + "\" is not a number of seconds");
}

std::optional<platform::Date> optionalDate(const Value& args, const char* key) {
  auto seconds = optionalSeconds(args, key);
  if (!seconds) return std::nullopt;
  return platform::Date{*seconds};
}

bool flag(const Value& args, const char* key) {
  const Value* v = find(args, key);
  if (!v) return false;
  if (!v->isBool()) throw std::invalid_argument(std::string("\"") + key + "\" is not a boolean");
  return v->asBool();
}

Value setProducts(const Value& args) {
  const Value* list = find(args, "products");
  if (!list || !list->isList()) throw std::invalid_argument("missing list \"products\"");
  std::vector<storekit::Product> products;
  for (const Value& entry : list->asList()) {
    storekit::Product product;
    product.productIdentifier = text(entry, "id");
    if (auto price = optionalText(entry, "price")) {
      product.price = storekit::Decimal::fromString(*price);
      if (!product.price) throw std::invalid_argument("\"price\" is not a decimal: " + *price);
    }
    product.currencyCode = optionalText(entry, "currency");
    product.localizedTitle = optionalText(entry, "title");
    products.push_back(std::move(product));
  }
  storekit::StoreCatalog::setProducts(std::move(products));
  return true;
}

Value purchase(const Value& args) {
  auto transaction = storekit::ScriptedStore::transaction(
      storekit::TransactionState::Purchased, text(args, "transaction"), text(args, "product"));
  const auto quantity = optionalInteger(args, "quantity").value_or(1);
  if (quantity < 1) throw std::invalid_argument("\"quantity\" must be at least 1");
  transaction.payment.quantity = quantity;
  transaction.transactionDate = optionalSeconds(args, "date");
  if (auto original = optionalText(args, "originalTransaction")) {
    transaction.originalTransaction = std::make_shared<storekit::PaymentTransaction>(
        storekit::ScriptedStore::transaction(storekit::TransactionState::Restored, *original,
                                             transaction.payment.productIdentifier));
  }
  storekit::ScriptedStore::deliver({std::move(transaction)});
  return true;
}

Value logTransaction(const Value& args) {
  const std::string product = text(args, "product");
  const std::string transaction = optionalText(args, "transaction").value_or("");
  APMAnalytics::logTransactionWithProductID(
      product, transaction, optionalText(args, "originalTransaction").value_or(transaction),
      Value(), optionalInteger(args, "productType").value_or(0), flag(args, "freeTrial"),
      flag(args, "introductoryOffer"), optionalInteger(args, "quantity").value_or(1),
      optionalDate(args, "purchaseDate"), optionalDate(args, "originalPurchaseDate"), std::nullopt,
      std::nullopt, optionalText(args, "environment"), flag(args, "verified"));
  return true;
}

Value handle(const flutter::MethodCall& call) {
  const Value& a = call.arguments;
  const std::string& m = call.method;
  if (m == "setProducts") return setProducts(a);
  if (m == "failNextRequest") {
    storekit::StoreCatalog::failNextRequest(platform::Error::make(
        "lumora_test.store", 1,
        {{Value(platform::kLocalizedDescriptionKey),
          Value(optionalText(a, "message").value_or("the store failed the request"))}}));
    return true;
  }
  if (m == "purchase") return purchase(a);
  if (m == "logTransaction") return logTransaction(a);
  throw std::out_of_range(m);
}

class StoreChannel : public flutter::Plugin {
 public:
  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override {
    answerTestCall(result, [&] { return handle(call); });
  }
};

}  // namespace

void registerStoreChannel(const flutter::PluginRegistrarPtr& registrar) {
  registrar->addMethodCallDelegate(
      std::make_shared<StoreChannel>(),
      flutter::MethodChannel::methodChannelWithName("lumora_test/store", registrar->messenger()));
}

}  // namespace lumora::testing
