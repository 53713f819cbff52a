// Power assertions: while one is held the display does not go to sleep. Stands in for the
// platform's power-management assertions (create with a type, a level and a reason; release).
//
// PowerAssertions::shared() is the process's implementation: by default the desktop's screen
// saver on the session bus (ScreenSaverPowerAssertions), replaceable for tests. `create` answers
// on the main queue; every call of an implementation may come from any thread.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace platform {

using PowerAssertionID = std::uint32_t;

// Statuses of `create`: 0 grants; anything else is a refusal.
inline constexpr int kPowerAssertionSuccess = 0;
inline constexpr int kPowerAssertionRefused = 1;      // the service said no
inline constexpr int kPowerAssertionUnavailable = 2;  // no bus, or no such service
inline constexpr int kPowerAssertionTimedOut = 3;     // no answer in time

// The display-sleep assertion type, as the platform names it.
inline constexpr const char* kPowerAssertionNoDisplaySleep = "NoDisplaySleepAssertion";
inline constexpr int kPowerAssertionLevelOn = 255;

class PowerAssertions {
 public:
  using CreateCallback = std::function<void(int status, PowerAssertionID id)>;

  virtual ~PowerAssertions() = default;
  // Asks for an assertion; `done` runs once on the main queue with the status and, when granted,
  // the assertion's id.
  virtual void create(const std::string& type, int level, const std::string& reason,
                      CreateCallback done) = 0;
  // Gives an assertion back; an unknown id is ignored.
  virtual void release(PowerAssertionID id) = 0;

  static std::shared_ptr<PowerAssertions> shared();
  // Installs `assertions` as shared() (null restores the default).
  static void setShared(std::shared_ptr<PowerAssertions> assertions);
};

// The Linux default: org.freedesktop.ScreenSaver's Inhibit("Lumora", reason) at
// "/org/freedesktop/ScreenSaver" on the session bus (DBUS_SESSION_BUS_ADDRESS), UnInhibit(cookie)
// on release. The bus connection stays open while assertions are held (services drop a client's
// inhibitions when it disconnects). Calls run on a serial queue of their own, never on the main
// loop; no bus, no service, a refusal or no answer within 2 s is a refused assertion.
class ScreenSaverPowerAssertions : public PowerAssertions {
 public:
  ScreenSaverPowerAssertions();
  ~ScreenSaverPowerAssertions() override;
  void create(const std::string& type, int level, const std::string& reason,
              CreateCallback done) override;
  void release(PowerAssertionID id) override;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

// A scriptable stand-in: grants or refuses, and counts.
class PowerAssertionsTestDouble : public PowerAssertions {
 public:
  void create(const std::string& type, int level, const std::string& reason,
              CreateCallback done) override;
  void release(PowerAssertionID id) override;

  void setGrants(bool grants);
  int created() const;
  int released() const;
  // Reasons of the assertions held now, by id.
  std::map<PowerAssertionID, std::string> held() const;

 private:
  mutable std::mutex mutex_;
  bool grants_ = true;
  int created_ = 0;
  int released_ = 0;
  PowerAssertionID nextID_ = 1;
  std::map<PowerAssertionID, std::string> held_;
};

}  // namespace platform
