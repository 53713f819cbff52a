// APMLifetimeValueRecorder: keeps, per currency, the sum a user has spent as the internal user
// property "_ltv_" + currency code in capitals, in micros. The engine calls it for every purchase
// event it writes, inside the event's database transaction; a false answer makes the engine give
// up that transaction, so the event is not stored. Class operations, no state of its own (the
// values live in the database's user properties); the caller's queue (the engine's worker queue).
#pragma once

#include <cstdint>

class APMDatabase;
class APMEvent;

class APMLifetimeValueRecorder {
 public:
  // "_iap", or an ecommerce purchase event.
  static bool isPurchaseEvent(const APMEvent& event);
  // "ecommerce_purchase", "purchase" or "refund".
  static bool isEcommercePurchaseEvent(const APMEvent& event);
  // True when the event was handled or skipped (a malformed currency or value leaves every
  // lifetime value unchanged); false when a value could not be recorded: a database failure or
  // an amount (or a sum) outside the 64-bit range.
  static bool recordLifetimeValueToDatabase(APMDatabase& database, const APMEvent& event);
};
