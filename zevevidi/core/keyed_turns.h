// Work on a key (an app name, a component protocol) that one thread at a time may do while the
// caller's own lock is released in between: a call out (a creation block, a deletion hook) must
// not run under that lock, yet a second thread must not start the same work meanwhile. Other
// threads wait for their turn; the thread holding a key may take it again (nested calls).
//
// Not locked itself: every method runs under the caller's mutex, which `take` releases while it
// waits.
#pragma once

#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>

namespace zevevidi_core_internal {

class KeyedTurns {
 public:
  // Waits until no other thread holds `key`, then holds it. Returns true when the calling thread
  // already held it (a nested take).
  bool take(std::unique_lock<std::mutex>& lock, const std::string& key);
  // Ends one take of `key`; the last one lets a waiting thread have its turn.
  void give(const std::string& key);

 private:
  struct Holder {
    std::thread::id thread;
    int depth = 0;
  };
  std::map<std::string, Holder> holders_;
  std::condition_variable given_;
};

}  // namespace zevevidi_core_internal
