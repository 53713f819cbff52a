#include "zevevidi/core/keyed_turns.h"

namespace zevevidi_core_internal {

bool KeyedTurns::take(std::unique_lock<std::mutex>& lock, const std::string& key) {
  const std::thread::id self = std::this_thread::get_id();
  for (;;) {
    auto it = holders_.find(key);
    if (it == holders_.end()) {
      holders_.emplace(key, Holder{self, 1});
      return false;
    }
    if (it->second.thread == self) {
      ++it->second.depth;
      return true;
    }
    given_.wait(lock);
  }
}

void KeyedTurns::give(const std::string& key) {
  auto it = holders_.find(key);
  if (it == holders_.end() || --it->second.depth > 0) return;
  holders_.erase(it);
  given_.notify_all();
}

}  // namespace zevevidi_core_internal
