// GULMutableDictionary: a dictionary usable from any thread. Each instance owns a private serial
// queue labelled "GULMutableDictionary"; every access runs there in submission order. Reads wait
// for their answer, writes are queued and return at once, so a read made after a write on the
// same thread sees that write. Reads must not be made from a task already running on the
// dictionary's own queue.
//
// Keys and objects are platform values; a null value stands for "no object" and is never stored.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/core/value.h"
#include "platform/dispatch/queue.h"

class GULMutableDictionary {
 public:
  GULMutableDictionary();
  ~GULMutableDictionary();
  GULMutableDictionary(const GULMutableDictionary&) = delete;
  GULMutableDictionary& operator=(const GULMutableDictionary&) = delete;

  // The object under `key`, or null when there is none.
  platform::Value objectForKey(const platform::Value& key) const;
  platform::Value objectForKeyedSubscript(const platform::Value& key) const;
  // Stores `object` under `key`. An object is required: a null object is a programming error
  // and changes nothing.
  void setObject(platform::Value object, platform::Value key);
  // Stores `object` under `key`; a null object removes the key.
  void setObjectForKeyedSubscript(platform::Value object, platform::Value key);
  void removeObjectForKey(platform::Value key);
  void removeAllObjects();
  std::size_t count() const;
  // A copy of the entries at this moment; later writes do not change it.
  platform::ValueMap dictionary() const;
  std::string description() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
  platform::QueuePtr queue_;
};
