#include "platform/glib/glib_main_context.h"

#include <glib.h>

#include <memory>
#include <mutex>

#include "platform/core/assertion.h"
#include "platform/dispatch/main_loop.h"

namespace platform {

namespace {

// Waiting on GLib is one g_main_context_iteration: it prepares, polls and dispatches the
// default context's sources. g_main_context_wakeup is thread-safe, and a wake-up that comes
// before the poll makes the next iteration return at once, so no post is ever lost.
class GLibEventSource final : public LoopEventSource {
 public:
  explicit GLibEventSource(GMainContext* context) : context_(context) {}

  bool dispatch(bool mayBlock) override {
    return g_main_context_iteration(context_, mayBlock ? TRUE : FALSE) == TRUE;
  }

  void wake() override { g_main_context_wakeup(context_); }

 private:
  GMainContext* context_;  // the default context: never freed
};

}  // namespace

bool integrateGLibMainContext() {
  if (!LUMORA_CHECK(MainLoop::isMainThread(), "integrateGLibMainContext off the main thread"))
    return false;
  static bool integrated = false;
  if (integrated) return true;
  GMainContext* context = g_main_context_default();
  // Owning the context for good: iterations on the main thread then never contend for it.
  if (!g_main_context_acquire(context)) return false;
  MainLoop::instance().setEventSource(std::make_shared<GLibEventSource>(context));
  integrated = true;
  return true;
}

}  // namespace platform
