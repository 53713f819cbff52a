#include "platform/glib/glib_main_context.h"

#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include <gtest/gtest.h>

#include "platform/dispatch/main_loop.h"

namespace platform {
namespace {

using std::chrono::milliseconds;
using std::chrono::steady_clock;

gboolean quitLoop(gpointer) {
  MainLoop::instance().quit();
  return G_SOURCE_REMOVE;
}

// A GLib idle callback that stays ready for good, counting its runs.
guint addAlwaysReadyIdle(int* runs) {
  return g_idle_add(
      [](gpointer data) -> gboolean {
        ++*static_cast<int*>(data);
        return G_SOURCE_CONTINUE;
      },
      runs);
}

// Runs the main loop until something quits it; a watchdog quits it through GLib after ten
// seconds (a GLib source added from another thread wakes the context by itself) and says so.
class GLibMainContextTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_TRUE(integrateGLibMainContext()); }

  // Returns whether the loop ended before the watchdog.
  bool runLoop() {
    std::atomic<bool> ended{false};
    std::atomic<bool> timedOut{false};
    std::thread watchdog([&] {
      const auto deadline = steady_clock::now() + std::chrono::seconds(10);
      while (!ended.load() && steady_clock::now() < deadline)
        std::this_thread::sleep_for(milliseconds(5));
      if (!ended.load()) {
        timedOut = true;
        g_idle_add(quitLoop, nullptr);
      }
    });
    MainLoop::instance().run();
    ended = true;
    watchdog.join();
    MainLoop::instance().drain();
    return !timedOut.load();
  }
};

TEST_F(GLibMainContextTest, GLibSourcesRunOnTheMainThreadWhileTheLoopRuns) {
  struct Seen {
    bool onMain = false;
    int fired = 0;
  } seen;
  g_timeout_add(
      5,
      [](gpointer data) -> gboolean {
        auto* s = static_cast<Seen*>(data);
        s->onMain = MainLoop::isMainThread();
        if (++s->fired == 3) {
          MainLoop::instance().quit();
          return G_SOURCE_REMOVE;
        }
        return G_SOURCE_CONTINUE;
      },
      &seen);
  ASSERT_TRUE(runLoop());
  EXPECT_EQ(seen.fired, 3);
  EXPECT_TRUE(seen.onMain);
}

TEST_F(GLibMainContextTest, ATaskPostedFromAnotherThreadWakesALoopWaitingOnGLib) {
  // No GLib source is ready, so the loop sits in GLib's poll when the task arrives.
  std::atomic<bool> ran{false};
  const auto start = steady_clock::now();
  std::thread poster([&] {
    std::this_thread::sleep_for(milliseconds(50));
    MainLoop::instance().post([&] {
      ran = MainLoop::isMainThread();
      MainLoop::instance().quit();
    });
  });
  const bool ended = runLoop();
  poster.join();
  ASSERT_TRUE(ended);
  EXPECT_TRUE(ran.load());
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(5));
}

TEST_F(GLibMainContextTest, AFileDescriptorWatchFiresWhenAnotherThreadWrites) {
  int fds[2];
  ASSERT_EQ(::pipe(fds), 0);
  struct Seen {
    int fd;
    char byte = 0;
    bool onMain = false;
  } seen{fds[0]};
  const guint watch = g_unix_fd_add(
      fds[0], G_IO_IN,
      [](gint fd, GIOCondition, gpointer data) -> gboolean {
        auto* s = static_cast<Seen*>(data);
        s->onMain = MainLoop::isMainThread();
        if (::read(fd, &s->byte, 1) != 1) s->byte = '?';
        MainLoop::instance().quit();
        return G_SOURCE_REMOVE;
      },
      &seen);
  ASSERT_NE(watch, 0u);
  std::thread writer([&] {
    std::this_thread::sleep_for(milliseconds(20));
    EXPECT_EQ(::write(fds[1], "x", 1), 1);
  });
  const bool ended = runLoop();
  writer.join();
  ASSERT_TRUE(ended);
  ::close(fds[0]);
  ::close(fds[1]);
  EXPECT_EQ(seen.byte, 'x');
  EXPECT_TRUE(seen.onMain);
}

TEST_F(GLibMainContextTest, NeitherSideStarvesTheOther) {
  // A GLib idle callback that is always ready, and a chain of five tasks each posting the next:
  // the chain completes, and GLib gets a turn between its steps.
  int idles = 0;
  const guint idle = addAlwaysReadyIdle(&idles);
  int steps = 0;
  std::function<void()> step = [&] {
    if (++steps == 5)
      MainLoop::instance().quit();
    else
      MainLoop::instance().post(step);
  };
  MainLoop::instance().post(step);
  ASSERT_TRUE(runLoop());
  g_source_remove(idle);
  EXPECT_EQ(steps, 5);
  EXPECT_GE(idles, 4);

  // A task that posts itself again forever, and a GLib timeout that quits: the timeout fires.
  std::atomic<bool> keepPosting{true};
  int reposts = 0;
  std::function<void()> again = [&] {
    ++reposts;
    if (keepPosting.load()) MainLoop::instance().post(again);
  };
  MainLoop::instance().post(again);
  g_timeout_add(
      20,
      [](gpointer data) -> gboolean {
        static_cast<std::atomic<bool>*>(data)->store(false);
        MainLoop::instance().quit();
        return G_SOURCE_REMOVE;
      },
      &keepPosting);
  ASSERT_TRUE(runLoop());
  EXPECT_FALSE(keepPosting.load());
  EXPECT_GT(reposts, 1);
}

TEST_F(GLibMainContextTest, DrainGivesGLibOneTurnAndReturnsEvenWhenGLibIsAlwaysReady) {
  bool once = false;
  g_idle_add(
      [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        // What a GLib callback posts runs in the same drain.
        MainLoop::instance().post([] {});
        return G_SOURCE_REMOVE;
      },
      &once);
  EXPECT_EQ(MainLoop::instance().drain(), 2);
  EXPECT_TRUE(once);

  int idles = 0;
  const guint idle = addAlwaysReadyIdle(&idles);
  MainLoop::instance().drain();
  MainLoop::instance().drain();
  g_source_remove(idle);
  EXPECT_EQ(idles, 2);
}

TEST_F(GLibMainContextTest, IntegratingAgainChangesNothing) {
  EXPECT_TRUE(integrateGLibMainContext());
  bool fired = false;
  g_idle_add(
      [](gpointer data) -> gboolean {
        *static_cast<bool*>(data) = true;
        MainLoop::instance().quit();
        return G_SOURCE_REMOVE;
      },
      &fired);
  ASSERT_TRUE(runLoop());
  EXPECT_TRUE(fired);
}

}  // namespace
}  // namespace platform
