#include "zevevidi/utilities/gul_mutable_dictionary.h"

#include "platform/core/assertion.h"

// The entries live in a shared block captured by every queued write, so a write still pending
// when the dictionary is destroyed runs against live memory.
struct GULMutableDictionary::State {
  platform::ValueMap objects;
};

GULMutableDictionary::GULMutableDictionary()
    : state_(std::make_shared<State>()), queue_(platform::makeSerialQueue("GULMutableDictionary")) {
}

GULMutableDictionary::~GULMutableDictionary() = default;

platform::Value GULMutableDictionary::objectForKey(const platform::Value& key) const {
  platform::Value result;
  queue_->sync([&] {
    auto it = state_->objects.find(key);
    if (it != state_->objects.end()) result = it->second;
  });
  return result;
}

platform::Value GULMutableDictionary::objectForKeyedSubscript(const platform::Value& key) const {
  return objectForKey(key);
}

void GULMutableDictionary::setObject(platform::Value object, platform::Value key) {
  if (!LUMORA_CHECK(!object.isNull(), "GULMutableDictionary: setObject needs an object")) return;
  queue_->async([state = state_, object = std::move(object), key = std::move(key)]() mutable {
    state->objects.insert_or_assign(std::move(key), std::move(object));
  });
}

void GULMutableDictionary::setObjectForKeyedSubscript(platform::Value object, platform::Value key) {
  if (object.isNull()) {
    removeObjectForKey(std::move(key));
    return;
  }
  setObject(std::move(object), std::move(key));
}

void GULMutableDictionary::removeObjectForKey(platform::Value key) {
  queue_->async([state = state_, key = std::move(key)] { state->objects.erase(key); });
}

void GULMutableDictionary::removeAllObjects() {
  queue_->async([state = state_] { state->objects.clear(); });
}

std::size_t GULMutableDictionary::count() const {
  std::size_t n = 0;
  queue_->sync([&] { n = state_->objects.size(); });
  return n;
}

platform::ValueMap GULMutableDictionary::dictionary() const {
  platform::ValueMap copy;
  queue_->sync([&] { copy = state_->objects; });
  return copy;
}

std::string GULMutableDictionary::description() const {
  return platform::Value(dictionary()).debugString();
}
