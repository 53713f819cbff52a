// The process main loop: the main thread runs it, every channel handler and reply runs on it.
// `post` is thread-safe; `run` must be called on the main thread and returns after `quit`.
// The main thread is the thread that started the process.
#pragma once

#include <memory>

#include "platform/dispatch/queue.h"

namespace platform {

// Events the main loop waits for besides its own tasks: a second event loop's sources run on the
// main thread through it (there is no second loop thread). GLib's default main context is the one
// there is (platform/glib).
class LoopEventSource {
 public:
  virtual ~LoopEventSource() = default;
  // Main thread. Dispatches what is ready; when `mayBlock`, first waits until something is ready
  // or wake() is called. A wake() that comes before the wait makes the wait return at once.
  // Returns whether anything was dispatched.
  virtual bool dispatch(bool mayBlock) = 0;
  // Makes a blocking dispatch return. Safe from any thread.
  virtual void wake() = 0;
};

class MainLoop {
 public:
  static MainLoop& instance();

  // Queues `task` to run on the main thread. Safe from any thread.
  void post(Task task);
  // Runs posted tasks and due main-queue timers until quit() is called. Main thread only.
  void run();
  // Makes run() return once the task running now has finished. Safe from any thread.
  void quit();
  // Runs every task posted so far (and any they post in turn) without blocking, then gives the
  // event source one turn and runs what that posted; returns how many tasks and dispatches ran.
  // Main thread only. Tests use this to pump the loop.
  int drain();
  // Installs the source the loop also waits on; once per process, on the main thread, before or
  // while the loop runs. Tasks and the source's events take turns, so neither starves the other.
  void setEventSource(std::shared_ptr<LoopEventSource> source);
  // True once quit() has been called and run() has not been re-entered.
  bool quitRequested() const;

  static bool isMainThread();

 private:
  MainLoop();
  struct Impl;
  Impl* impl_;
};

}  // namespace platform
