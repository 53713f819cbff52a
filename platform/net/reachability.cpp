#include "platform/net/reachability.h"

#include <arpa/inet.h>

#include <algorithm>
#include <atomic>
#include <cctype>

#include "platform/dispatch/queue.h"
#include "platform/net/routes.h"

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

// A default route through a non-loopback interface, from the kernel's route tables (the rule the
// network path follows too).
bool hasDefaultRoute() {
  return !currentDefaultRouteInterfaces().empty();
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
    if (watcher_) return true;
    {
      std::lock_guard l(shared_->mutex);
      shared_->scheduled = true;
    }
    auto last = std::make_shared<ReachabilityFlags>(currentReachabilityFlags(host_));
    report(shared_, *last);
    // Where the kernel's routing messages cannot be had (a sandbox without netlink), the handle
    // still reported the state it found once, rather than leave its owner without any answer.
    // Changes are judged on the watcher's thread only, so `last` needs no lock.
    watcher_ = std::make_unique<RouteChangeWatcher>([shared = shared_, host = host_, last] {
      ReachabilityFlags now = currentReachabilityFlags(host);
      if (now != *last) {
        *last = now;
        report(shared, now);
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
    watcher_.reset();
    return true;
  }

 private:
  struct Shared {
    std::mutex mutex;
    ReachabilityCallback callback;
    bool scheduled = false;
    ReachabilityHandle* handle = nullptr;
  };

  static void report(const std::shared_ptr<Shared>& shared, ReachabilityFlags flags) {
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
  std::unique_ptr<RouteChangeWatcher> watcher_;
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
