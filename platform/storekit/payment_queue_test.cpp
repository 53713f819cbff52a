#include "platform/storekit/payment_queue.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "platform/dispatch/test_environment.h"

namespace platform::storekit {
namespace {

struct Recorder : PaymentTransactionObserver {
  std::string name;
  std::vector<std::string>* log = nullptr;
  void
  paymentQueueUpdatedTransactions(PaymentQueue& queue,
                                  const std::vector<PaymentTransactionPtr>& transactions) override {
    EXPECT_EQ(&queue, &PaymentQueue::defaultQueue());
    for (const auto& t : transactions) {
      log->push_back(name + ":" + std::to_string(static_cast<int>(t->transactionState)) + ":" +
                     t->transactionIdentifier.value_or("-") + ":" + t->payment.productIdentifier);
    }
  }
};

TEST(PaymentQueueTest, ScriptedTransactionsReachEveryLiveObserverOnTheMainQueueInOrder) {
  TestEnvironment env;
  std::vector<std::string> log;
  auto first = std::make_shared<Recorder>();
  first->name = "a";
  first->log = &log;
  auto second = std::make_shared<Recorder>();
  second->name = "b";
  second->log = &log;
  auto& queue = PaymentQueue::defaultQueue();
  queue.addTransactionObserver(first);
  queue.addTransactionObserver(first);  // once only
  queue.addTransactionObserver(second);
  EXPECT_EQ(queue.transactionObserverCount(), 2u);

  ScriptedStore::deliver(
      {ScriptedStore::transaction(TransactionState::Purchased, "t1", "com.lumora.gold"),
       ScriptedStore::transaction(TransactionState::Purchasing, std::nullopt, "com.lumora.coins")});
  EXPECT_TRUE(log.empty());  // delivered from the main loop, not inside deliver()
  env.runUntilIdle();
  EXPECT_EQ(log, (std::vector<std::string>{"a:1:t1:com.lumora.gold", "a:0:-:com.lumora.coins",
                                           "b:1:t1:com.lumora.gold", "b:0:-:com.lumora.coins"}));

  // A removed observer and one that went away hear nothing more.
  log.clear();
  queue.removeTransactionObserver(first.get());
  second.reset();
  ScriptedStore::deliver({ScriptedStore::transaction(TransactionState::Failed, "t2", "x")});
  env.runUntilIdle();
  EXPECT_TRUE(log.empty());
  EXPECT_EQ(queue.transactionObserverCount(), 0u);
}

}  // namespace
}  // namespace platform::storekit
