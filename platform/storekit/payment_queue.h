// The store's payment queue and its transaction observers. Stands in for the store framework's
// default payment queue. Linux has no store: the default queue never receives a transaction by
// itself. A ScriptedStore (below) delivers transactions the way the store would, which is how
// tests and the test host drive purchases.
//
// Observers are held weakly and told about updated transactions on the main queue, in the order
// they were added. All methods are thread-safe; no lock is held while an observer runs.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace platform::storekit {

enum class TransactionState {
  Purchasing = 0,
  Purchased = 1,
  Failed = 2,
  Restored = 3,
  Deferred = 4
};

struct Payment {
  std::string productIdentifier;
  std::int64_t quantity = 1;
};

struct PaymentTransaction;
using PaymentTransactionPtr = std::shared_ptr<const PaymentTransaction>;

struct PaymentTransaction {
  TransactionState transactionState = TransactionState::Purchasing;
  // Set once the store has processed the payment (purchased, restored).
  std::optional<std::string> transactionIdentifier;
  Payment payment;
  // Seconds since 1970, when the store has recorded one.
  std::optional<double> transactionDate;
  // The first transaction of a restored or renewed purchase; null for a first purchase.
  PaymentTransactionPtr originalTransaction;
  // The store's error code of a failed transaction; 0 otherwise.
  std::int64_t errorCode = 0;
};

class PaymentQueue;

class PaymentTransactionObserver {
 public:
  virtual ~PaymentTransactionObserver() = default;
  virtual void
  paymentQueueUpdatedTransactions(PaymentQueue& queue,
                                  const std::vector<PaymentTransactionPtr>& transactions) = 0;
};

class PaymentQueue {
 public:
  static PaymentQueue& defaultQueue();

  // Adding an observer already added changes nothing.
  void addTransactionObserver(const std::shared_ptr<PaymentTransactionObserver>& observer);
  void removeTransactionObserver(const PaymentTransactionObserver* observer);
  // Live observers.
  std::size_t transactionObserverCount() const;

  // What the store does when transactions change: posts them to every observer on the main queue.
  void deliverTransactions(std::vector<PaymentTransactionPtr> transactions);

  PaymentQueue() = default;

 private:
  std::vector<std::shared_ptr<PaymentTransactionObserver>> liveObservers() const;

  mutable std::mutex mutex_;  // guards observers_
  std::vector<std::weak_ptr<PaymentTransactionObserver>> observers_;
};

// The scripted store: delivers transactions to the default payment queue's observers.
class ScriptedStore {
 public:
  static void deliver(std::vector<PaymentTransaction> transactions);
  // One transaction with the given state, identifier and product.
  static PaymentTransaction transaction(TransactionState state,
                                        std::optional<std::string> identifier,
                                        std::string productIdentifier);
};

}  // namespace platform::storekit
