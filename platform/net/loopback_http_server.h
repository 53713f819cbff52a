// Test helper: an HTTP server on 127.0.0.1 (a free port) that runs on its own thread for the life
// of the object, plus a bounded wait that pumps the main loop. Only test binaries include this.
#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/dispatch/main_loop.h"

namespace platform::testing {

class LoopbackHTTPServer {
 public:
  LoopbackHTTPServer() : server_(std::make_unique<httplib::Server>()) {}
  explicit LoopbackHTTPServer(std::unique_ptr<httplib::Server> server)
      : server_(std::move(server)) {}
  ~LoopbackHTTPServer() { stop(); }

  httplib::Server& server() { return *server_; }

  // Binds 127.0.0.1 on a free port and starts serving; returns false when that fails.
  bool start() {
    port_ = server_->bind_to_any_port("127.0.0.1");
    if (port_ <= 0) return false;
    thread_ = std::thread([this] { server_->listen_after_bind(); });
    // Bounded wait for the listener thread to come up.
    for (int i = 0; i < 5000 && !server_->is_running(); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return server_->is_running();
  }
  void stop() {
    if (thread_.joinable()) {
      server_->stop();
      thread_.join();
    }
  }
  int port() const { return port_; }
  std::string url(const std::string& path, const std::string& scheme = "http") const {
    return scheme + "://127.0.0.1:" + std::to_string(port_) + path;
  }

 private:
  std::unique_ptr<httplib::Server> server_;
  std::thread thread_;
  int port_ = 0;
};

// Pumps the main loop until `done` holds or `seconds` of real time pass (transfers run on real
// sockets, so this waits for I/O, never for a timer). Returns whether `done` held.
inline bool pumpMainLoopUntil(const std::function<bool()>& done, double seconds = 20) {
  const auto deadline = std::chrono::steady_clock::now() +
                        std::chrono::milliseconds(static_cast<long>(seconds * 1000));
  while (std::chrono::steady_clock::now() < deadline) {
    platform::MainLoop::instance().drain();
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  platform::MainLoop::instance().drain();
  return done();
}

}  // namespace platform::testing
