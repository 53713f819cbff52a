// The process main loop: the main thread runs it, every channel handler and reply runs on it.
// `post` is thread-safe; `run` must be called on the main thread and returns after `quit`.
// The main thread is the thread that started the process.
#pragma once

#include "platform/dispatch/queue.h"

namespace platform {

class MainLoop {
 public:
  static MainLoop& instance();

  // Queues `task` to run on the main thread. Safe from any thread.
  void post(Task task);
  // Runs posted tasks and due main-queue timers until quit() is called. Main thread only.
  void run();
  // Makes run() return once the task running now has finished. Safe from any thread.
  void quit();
  // Runs every task posted so far (and any they post in turn) without blocking; returns how
  // many ran. Main thread only. Tests use this to pump the loop.
  int drain();
  // True once quit() has been called and run() has not been re-entered.
  bool quitRequested() const;

  static bool isMainThread();

 private:
  MainLoop();
  struct Impl;
  Impl* impl_;
};

}  // namespace platform
