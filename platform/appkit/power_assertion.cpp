#include "platform/appkit/power_assertion.h"

#include <systemd/sd-bus.h>

#include "platform/dispatch/pending_work.h"
#include "platform/dispatch/queue.h"
#include "platform/log/log.h"

namespace platform {

namespace {

std::mutex g_sharedMutex;
std::shared_ptr<PowerAssertions> g_shared;

constexpr const char* kService = "org.freedesktop.ScreenSaver";
constexpr const char* kPath = "/org/freedesktop/ScreenSaver";
constexpr std::uint64_t kCallTimeoutMicroseconds = 2'000'000;

std::shared_ptr<Log> powerLog() {
  static const auto log = Log::cached("com.lumora.appkit", "power");
  return log;
}

}  // namespace

std::shared_ptr<PowerAssertions> PowerAssertions::shared() {
  std::lock_guard<std::mutex> guard(g_sharedMutex);
  if (!g_shared) g_shared = std::make_shared<ScreenSaverPowerAssertions>();
  return g_shared;
}

void PowerAssertions::setShared(std::shared_ptr<PowerAssertions> assertions) {
  std::lock_guard<std::mutex> guard(g_sharedMutex);
  g_shared = std::move(assertions);
}

// Everything here is touched only on `queue`.
struct ScreenSaverPowerAssertions::State {
  QueuePtr queue = makeSerialQueue("com.lumora.power-assertions");
  sd_bus* bus = nullptr;
  PowerAssertionID nextID = 1;
  std::map<PowerAssertionID, std::uint32_t> cookies;

  ~State() {
    if (bus) sd_bus_flush_close_unref(bus);
  }

  bool connect() {
    if (bus && sd_bus_is_open(bus) > 0) return true;
    if (bus) {
      // The connection broke: the service has dropped what it held for us.
      sd_bus_flush_close_unref(bus);
      bus = nullptr;
      cookies.clear();
    }
    int r = sd_bus_open_user(&bus);
    if (r < 0) {
      bus = nullptr;
      powerLog()->error(std::string("no session bus: ") + strerror(-r));
      return false;
    }
    return true;
  }

  // Inhibit; the status and, when granted, the cookie.
  std::pair<int, std::uint32_t> inhibit(const std::string& reason) {
    if (!connect()) return {kPowerAssertionUnavailable, 0};
    sd_bus_message* call = nullptr;
    sd_bus_message* reply = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int status = kPowerAssertionSuccess;
    std::uint32_t cookie = 0;
    int r = sd_bus_message_new_method_call(bus, &call, kService, kPath, kService, "Inhibit");
    if (r >= 0) r = sd_bus_message_append(call, "ss", "Lumora", reason.c_str());
    if (r >= 0) r = sd_bus_call(bus, call, kCallTimeoutMicroseconds, &error, &reply);
    if (r >= 0) r = sd_bus_message_read(reply, "u", &cookie);
    if (r < 0) {
      if (r == -ETIMEDOUT) {
        status = kPowerAssertionTimedOut;
      } else if (sd_bus_error_has_name(&error, SD_BUS_ERROR_SERVICE_UNKNOWN) ||
                 sd_bus_error_has_name(&error, SD_BUS_ERROR_NAME_HAS_NO_OWNER) ||
                 sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_METHOD) ||
                 sd_bus_error_has_name(&error, SD_BUS_ERROR_UNKNOWN_OBJECT)) {
        status = kPowerAssertionUnavailable;
      } else {
        status = kPowerAssertionRefused;
      }
      powerLog()->error(std::string("screen saver refused to inhibit: ") +
                        (error.message ? error.message : strerror(-r)));
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(reply);
    sd_bus_message_unref(call);
    return {status, cookie};
  }

  void uninhibit(std::uint32_t cookie) {
    if (!bus || sd_bus_is_open(bus) <= 0) return;
    sd_bus_message* call = nullptr;
    sd_bus_error error = SD_BUS_ERROR_NULL;
    int r = sd_bus_message_new_method_call(bus, &call, kService, kPath, kService, "UnInhibit");
    if (r >= 0) r = sd_bus_message_append(call, "u", cookie);
    if (r >= 0) r = sd_bus_call(bus, call, kCallTimeoutMicroseconds, &error, nullptr);
    if (r < 0) {
      powerLog()->error(std::string("screen saver did not release: ") +
                        (error.message ? error.message : strerror(-r)));
    }
    sd_bus_error_free(&error);
    sd_bus_message_unref(call);
  }
};

ScreenSaverPowerAssertions::ScreenSaverPowerAssertions() : state_(std::make_shared<State>()) {}

ScreenSaverPowerAssertions::~ScreenSaverPowerAssertions() = default;

void ScreenSaverPowerAssertions::create(const std::string& /*type*/, int /*level*/,
                                        const std::string& reason, CreateCallback done) {
  auto pending = std::make_shared<PendingWork>();
  state_->queue->async([state = state_, reason, done = std::move(done), pending] {
    auto [inhibited, cookie] = state->inhibit(reason);
    // A plain copy to capture below: clang 14 (the fuzzing build) cannot capture a binding.
    const auto status = inhibited;
    PowerAssertionID id = 0;
    if (status == kPowerAssertionSuccess) {
      id = state->nextID++;
      state->cookies[id] = cookie;
    }
    mainQueue()->async([done, status, id, pending] {
      if (done) done(status, id);
      pending->done();
    });
  });
}

void ScreenSaverPowerAssertions::release(PowerAssertionID id) {
  state_->queue->async([state = state_, id] {
    auto it = state->cookies.find(id);
    if (it == state->cookies.end()) return;
    std::uint32_t cookie = it->second;
    state->cookies.erase(it);
    state->uninhibit(cookie);
  });
}

void PowerAssertionsTestDouble::create(const std::string& /*type*/, int /*level*/,
                                       const std::string& reason, CreateCallback done) {
  int status = kPowerAssertionRefused;
  PowerAssertionID id = 0;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    if (grants_) {
      status = kPowerAssertionSuccess;
      id = nextID_++;
      held_[id] = reason;
      ++created_;
    }
  }
  mainQueue()->async([done = std::move(done), status, id] {
    if (done) done(status, id);
  });
}

void PowerAssertionsTestDouble::release(PowerAssertionID id) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (held_.erase(id)) ++released_;
}

void PowerAssertionsTestDouble::setGrants(bool grants) {
  std::lock_guard<std::mutex> guard(mutex_);
  grants_ = grants;
}

int PowerAssertionsTestDouble::created() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return created_;
}

int PowerAssertionsTestDouble::released() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return released_;
}

std::map<PowerAssertionID, std::string> PowerAssertionsTestDouble::held() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return held_;
}

}  // namespace platform
