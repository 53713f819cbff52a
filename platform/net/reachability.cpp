#include "platform/net/reachability.h"

#include <arpa/inet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <fstream>
#include <sstream>
#include <thread>

#include "platform/dispatch/pending_work.h"
#include "platform/dispatch/queue.h"

namespace platform {

namespace {

bool isLoopbackHost(std::string host) {
  std::transform(host.begin(), host.end(), host.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  if (host == "localhost" || host.ends_with(".localhost") || host == "::1" || host == "[::1]") {
    return true;
  }
  in_addr v4{};
  if (inet_pton(AF_INET, host.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  return false;
}

// A default route through a non-loopback interface, from the kernel's route tables.
bool hasDefaultRoute() {
  {
    std::ifstream routes("/proc/net/route");
    std::string line;
    std::getline(routes, line);  // column titles
    while (std::getline(routes, line)) {
      std::istringstream fields(line);
      std::string iface, destination, gateway;
      unsigned flags = 0;
      fields >> iface >> destination >> gateway >> std::hex >> flags;
      if (iface != "lo" && destination == "00000000" && (flags & 0x1 /* RTF_UP */)) return true;
    }
  }
  {
    std::ifstream routes("/proc/net/ipv6_route");
    std::string line;
    while (std::getline(routes, line)) {
      std::istringstream fields(line);
      std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags,
          iface;
      fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refs >>
          use >> flags >> iface;
      if (iface.empty() || iface == "lo") continue;
      unsigned long f = std::strtoul(flags.c_str(), nullptr, 16);
      if (prefix == "00" && destination == std::string(32, '0') && (f & 0x1) &&
          !(f & 0x200 /* RTF_REJECT */)) {
        return true;
      }
    }
  }
  return false;
}

class LinuxReachabilityHandle : public ReachabilityHandle {
 public:
  explicit LinuxReachabilityHandle(std::string host) : host_(std::move(host)) {}
  ~LinuxReachabilityHandle() override { unschedule(); }

  bool setCallback(ReachabilityCallback callback) {
    std::lock_guard lock(shared_->mutex);
    shared_->callback = std::move(callback);
    return true;
  }

  bool schedule() {
    std::lock_guard lock(scheduleMutex_);
    if (watcher_.joinable()) return true;
    // Where the kernel's routing messages cannot be had (a sandbox without netlink), the handle
    // still reports the state it finds once, rather than leave its owner without any answer.
    int netlink = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
    if (netlink >= 0) {
      sockaddr_nl address{};
      address.nl_family = AF_NETLINK;
      address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR |
                          RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE;
      if (::bind(netlink, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(netlink);
        netlink = -1;
      }
    }
    int wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wake < 0) {
      if (netlink >= 0) ::close(netlink);
      return false;
    }
    {
      std::lock_guard l(shared_->mutex);
      shared_->scheduled = true;
    }
    netlink_ = netlink;
    wake_ = wake;
    // The first report counts as work in flight until it is on the main queue; so does each
    // change from the moment the kernel announces it.
    watcher_ = std::thread([this, netlink, wake, shared = shared_, host = host_,
                            firstReport = PendingWork()]() mutable {
      ReachabilityFlags last = currentReachabilityFlags(host);
      report(shared, last);
      firstReport.done();
      char buffer[8192];
      for (;;) {
        pollfd fds[2] = {{netlink, POLLIN, 0}, {wake, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) return;
        if (fds[0].revents & POLLIN) {
          PendingWork change;
          // Drain what the kernel sent; its content only says "something changed".
          while (::recv(netlink, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
          }
          ReachabilityFlags now = currentReachabilityFlags(host);
          if (now != last) {
            last = now;
            report(shared, now);
          }
        } else if (fds[0].revents) {
          netlink = -1;  // socket error: stop watching changes rather than spin
        }
      }
    });
    return true;
  }

  bool unschedule() {
    std::lock_guard lock(scheduleMutex_);
    {
      std::lock_guard l(shared_->mutex);
      shared_->scheduled = false;
    }
    if (!watcher_.joinable()) return true;
    std::uint64_t one = 1;
    (void)!::write(wake_, &one, sizeof one);
    watcher_.join();
    if (netlink_ >= 0) ::close(netlink_);
    ::close(wake_);
    netlink_ = -1;
    wake_ = -1;
    return true;
  }

 private:
  struct Shared {
    std::mutex mutex;
    ReachabilityCallback callback;
    bool scheduled = false;
    ReachabilityHandle* handle = nullptr;
  };

  void report(const std::shared_ptr<Shared>& shared, ReachabilityFlags flags) {
    mainQueue()->async([shared, flags] {
      ReachabilityCallback callback;
      ReachabilityHandle* handle = nullptr;
      {
        std::lock_guard lock(shared->mutex);
        if (!shared->scheduled) return;
        callback = shared->callback;
        handle = shared->handle;
      }
      if (callback) callback(handle, flags);
    });
  }

  const std::string host_;
  std::shared_ptr<Shared> shared_ = [this] {
    auto s = std::make_shared<Shared>();
    s->handle = this;
    return s;
  }();
  std::mutex scheduleMutex_;
  std::thread watcher_;
  int netlink_ = -1;
  int wake_ = -1;
};

LinuxReachabilityHandle* linuxHandle(ReachabilityHandle* handle) {
  return dynamic_cast<LinuxReachabilityHandle*>(handle);
}

}  // namespace

ReachabilityFlags currentReachabilityFlags(const std::string& host) {
  if (isLoopbackHost(host)) {
    return kReachabilityFlagsReachable | kReachabilityFlagsIsLocalAddress |
           kReachabilityFlagsIsDirect;
  }
  return hasDefaultRoute() ? kReachabilityFlagsReachable : 0;
}

const ReachabilityApi& defaultReachabilityApi() {
  static const ReachabilityApi api{
      [](const char* host) -> ReachabilityHandle* {
        if (!host || !*host) return nullptr;
        return new LinuxReachabilityHandle(host);
      },
      [](ReachabilityHandle* h, ReachabilityCallback callback) {
        auto* handle = linuxHandle(h);
        return handle && handle->setCallback(std::move(callback));
      },
      [](ReachabilityHandle* h) {
        auto* handle = linuxHandle(h);
        return handle && handle->schedule();
      },
      [](ReachabilityHandle* h) {
        auto* handle = linuxHandle(h);
        return handle && handle->unschedule();
      },
      [](ReachabilityHandle* h) { delete linuxHandle(h); },
  };
  return api;
}

// ---------------------------------------------------------------------------------------------

struct ReachabilityTestDouble::State {
  mutable std::mutex mutex;
  ReachabilityFlags flags = kReachabilityFlagsReachable;
  bool failCreate = false;
  bool failSetCallback = false;
  bool failSchedule = false;
  int created = 0;
  std::vector<std::string> hosts;

  struct Handle : ReachabilityHandle {
    ReachabilityCallback callback;
    bool scheduled = false;
    bool released = false;
  };
  std::vector<Handle*> handles;  // live handles

  void deliver(Handle* handle, ReachabilityFlags value, const std::shared_ptr<State>& self) {
    mainQueue()->async([self, handle, value] {
      ReachabilityCallback callback;
      {
        std::lock_guard lock(self->mutex);
        auto it = std::find(self->handles.begin(), self->handles.end(), handle);
        if (it == self->handles.end() || !handle->scheduled) return;
        callback = handle->callback;
      }
      if (callback) callback(handle, value);
    });
  }
};

ReachabilityTestDouble::ReachabilityTestDouble() : state_(std::make_shared<State>()) {
  std::weak_ptr<State> weak = state_;
  api_.createWithName = [weak](const char* host) -> ReachabilityHandle* {
    auto s = weak.lock();
    if (!s) return nullptr;
    std::lock_guard lock(s->mutex);
    s->hosts.push_back(host ? host : "");
    if (s->failCreate || !host || !*host) return nullptr;
    auto* handle = new State::Handle();
    s->handles.push_back(handle);
    ++s->created;
    return handle;
  };
  api_.setCallback = [weak](ReachabilityHandle* h, ReachabilityCallback callback) {
    auto s = weak.lock();
    if (!s) return false;
    std::lock_guard lock(s->mutex);
    if (s->failSetCallback) return false;
    static_cast<State::Handle*>(h)->callback = std::move(callback);
    return true;
  };
  api_.scheduleWithMainLoop = [weak](ReachabilityHandle* h) {
    auto s = weak.lock();
    if (!s) return false;
    auto* handle = static_cast<State::Handle*>(h);
    ReachabilityFlags flags;
    {
      std::lock_guard lock(s->mutex);
      if (s->failSchedule) return false;
      handle->scheduled = true;
      flags = s->flags;
    }
    s->deliver(handle, flags, s);
    return true;
  };
  api_.unscheduleFromMainLoop = [weak](ReachabilityHandle* h) {
    auto s = weak.lock();
    if (!s) return false;
    std::lock_guard lock(s->mutex);
    static_cast<State::Handle*>(h)->scheduled = false;
    return true;
  };
  api_.release = [weak](ReachabilityHandle* h) {
    auto* handle = static_cast<State::Handle*>(h);
    if (auto s = weak.lock()) {
      std::lock_guard lock(s->mutex);
      std::erase(s->handles, handle);
    }
    delete handle;
  };
}

ReachabilityTestDouble::~ReachabilityTestDouble() = default;

void ReachabilityTestDouble::setFlags(ReachabilityFlags flags) {
  std::vector<State::Handle*> targets;
  {
    std::lock_guard lock(state_->mutex);
    if (state_->flags == flags) return;
    state_->flags = flags;
    for (auto* h : state_->handles) {
      if (h->scheduled) targets.push_back(h);
    }
  }
  for (auto* h : targets)
    state_->deliver(h, flags, state_);
}

void ReachabilityTestDouble::deliverAgain() {
  std::vector<State::Handle*> targets;
  ReachabilityFlags flags;
  {
    std::lock_guard lock(state_->mutex);
    flags = state_->flags;
    for (auto* h : state_->handles) {
      if (h->scheduled) targets.push_back(h);
    }
  }
  for (auto* h : targets)
    state_->deliver(h, flags, state_);
}

void ReachabilityTestDouble::setFailCreate(bool fail) {
  std::lock_guard lock(state_->mutex);
  state_->failCreate = fail;
}
void ReachabilityTestDouble::setFailSetCallback(bool fail) {
  std::lock_guard lock(state_->mutex);
  state_->failSetCallback = fail;
}
void ReachabilityTestDouble::setFailSchedule(bool fail) {
  std::lock_guard lock(state_->mutex);
  state_->failSchedule = fail;
}
int ReachabilityTestDouble::createdHandles() const {
  std::lock_guard lock(state_->mutex);
  return state_->created;
}
int ReachabilityTestDouble::liveHandles() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(state_->handles.size());
}
int ReachabilityTestDouble::scheduledHandles() const {
  std::lock_guard lock(state_->mutex);
  return static_cast<int>(std::count_if(state_->handles.begin(), state_->handles.end(),
                                        [](const State::Handle* h) { return h->scheduled; }));
}
std::vector<std::string> ReachabilityTestDouble::hostsRequested() const {
  std::lock_guard lock(state_->mutex);
  return state_->hosts;
}

}  // namespace platform
