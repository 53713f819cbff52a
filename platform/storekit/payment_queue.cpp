#include "platform/storekit/payment_queue.h"

#include <algorithm>

#include "platform/dispatch/queue.h"

namespace platform::storekit {

PaymentQueue& PaymentQueue::defaultQueue() {
  static auto* queue = new PaymentQueue();  // lives for the process
  return *queue;
}

void PaymentQueue::addTransactionObserver(
    const std::shared_ptr<PaymentTransactionObserver>& observer) {
  if (!observer) return;
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [](const auto& weak) { return weak.expired(); });
  for (const auto& weak : observers_) {
    if (weak.lock() == observer) return;
  }
  observers_.push_back(observer);
}

void PaymentQueue::removeTransactionObserver(const PaymentTransactionObserver* observer) {
  std::lock_guard lock(mutex_);
  std::erase_if(observers_, [observer](const auto& weak) {
    auto live = weak.lock();
    return !live || live.get() == observer;
  });
}

std::size_t PaymentQueue::transactionObserverCount() const {
  return liveObservers().size();
}

std::vector<std::shared_ptr<PaymentTransactionObserver>> PaymentQueue::liveObservers() const {
  std::lock_guard lock(mutex_);
  std::vector<std::shared_ptr<PaymentTransactionObserver>> live;
  for (const auto& weak : observers_) {
    if (auto observer = weak.lock()) live.push_back(std::move(observer));
  }
  return live;
}

void PaymentQueue::deliverTransactions(std::vector<PaymentTransactionPtr> transactions) {
  mainQueue()->async([this, transactions = std::move(transactions)] {
    for (const auto& observer : liveObservers())
      observer->paymentQueueUpdatedTransactions(*this, transactions);
  });
}

void ScriptedStore::deliver(std::vector<PaymentTransaction> transactions) {
  std::vector<PaymentTransactionPtr> shared;
  shared.reserve(transactions.size());
  for (auto& transaction : transactions)
    shared.push_back(std::make_shared<const PaymentTransaction>(std::move(transaction)));
  PaymentQueue::defaultQueue().deliverTransactions(std::move(shared));
}

PaymentTransaction ScriptedStore::transaction(TransactionState state,
                                              std::optional<std::string> identifier,
                                              std::string productIdentifier) {
  PaymentTransaction transaction;
  transaction.transactionState = state;
  transaction.transactionIdentifier = std::move(identifier);
  transaction.payment.productIdentifier = std::move(productIdentifier);
  return transaction;
}

}  // namespace platform::storekit
