// lumora-fake-screensaver: a screen-saver service for the wakelock tests. It owns
// "org.freedesktop.ScreenSaver" on the bus of DBUS_SESSION_BUS_ADDRESS and answers Inhibit and
// UnInhibit at "/org/freedesktop/ScreenSaver", as told by its one argument:
//   grant   Inhibit answers a new cookie (1, 2, ...)
//   refuse  Inhibit answers an access-denied error
//   silent  Inhibit never answers
// Each call is written to standard output as one line ("Inhibit <application> <reason> <cookie>",
// "UnInhibit <cookie>"), after a first line "ready" once the name is owned. Ends on SIGTERM.
#include <signal.h>
#include <systemd/sd-bus.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string g_mode = "grant";
std::uint32_t g_nextCookie = 1;
std::vector<sd_bus_message*> g_unanswered;  // kept so that silent calls stay open
volatile sig_atomic_t g_stop = 0;

int onInhibit(sd_bus_message* m, void*, sd_bus_error*) {
  const char* application = nullptr;
  const char* reason = nullptr;
  int r = sd_bus_message_read(m, "ss", &application, &reason);
  if (r < 0) return r;
  if (g_mode == "refuse") {
    std::printf("Inhibit %s %s refused\n", application, reason);
    std::fflush(stdout);
    return sd_bus_reply_method_errorf(m, SD_BUS_ERROR_ACCESS_DENIED, "not now");
  }
  if (g_mode == "silent") {
    std::printf("Inhibit %s %s unanswered\n", application, reason);
    std::fflush(stdout);
    g_unanswered.push_back(sd_bus_message_ref(m));
    return 1;
  }
  std::uint32_t cookie = g_nextCookie++;
  std::printf("Inhibit %s %s %u\n", application, reason, cookie);
  std::fflush(stdout);
  return sd_bus_reply_method_return(m, "u", cookie);
}

int onUnInhibit(sd_bus_message* m, void*, sd_bus_error*) {
  std::uint32_t cookie = 0;
  int r = sd_bus_message_read(m, "u", &cookie);
  if (r < 0) return r;
  std::printf("UnInhibit %u\n", cookie);
  std::fflush(stdout);
  return sd_bus_reply_method_return(m, "");
}

const sd_bus_vtable kVtable[] = {
    SD_BUS_VTABLE_START(0),
    SD_BUS_METHOD("Inhibit", "ss", "u", onInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_METHOD("UnInhibit", "u", "", onUnInhibit, SD_BUS_VTABLE_UNPRIVILEGED),
    SD_BUS_VTABLE_END};

}  // namespace

int main(int argc, char** argv) {
  if (argc > 1) g_mode = argv[1];
  signal(SIGTERM, [](int) { g_stop = 1; });
  sd_bus* bus = nullptr;
  sd_bus_slot* slot = nullptr;
  int r = sd_bus_open_user(&bus);
  if (r >= 0) {
    r = sd_bus_add_object_vtable(bus, &slot, "/org/freedesktop/ScreenSaver",
                                 "org.freedesktop.ScreenSaver", kVtable, nullptr);
  }
  if (r >= 0) r = sd_bus_request_name(bus, "org.freedesktop.ScreenSaver", 0);
  if (r < 0) {
    std::fprintf(stderr, "fake screen saver: %s\n", std::strerror(-r));
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  while (!g_stop) {
    r = sd_bus_process(bus, nullptr);
    if (r < 0) break;
    if (r > 0) continue;
    sd_bus_wait(bus, 200000);  // wakes at least every 0.2 s to notice SIGTERM
  }
  for (auto* m : g_unanswered)
    sd_bus_message_unref(m);
  sd_bus_slot_unref(slot);
  sd_bus_flush_close_unref(bus);
  return 0;
}
