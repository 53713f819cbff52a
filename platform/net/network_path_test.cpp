#include "platform/net/network_path.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/dispatch/test_environment.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

// A Linux monitor over a scripted route table and a sysfs tree holding one wired interface.
class LinuxNetworkPathMonitorTest : public ::testing::Test {
 protected:
  LinuxNetworkPathMonitorTest() {
    fs::create_directories(sysfs_ / "class" / "net" / "eth0");
    std::ofstream(sysfs_ / "class" / "net" / "eth0" / "type") << "1\n";
    monitor->setPathUpdateHandler([this](const NetworkPath& path) {
      std::lock_guard<std::mutex> guard(mutex_);
      seen_.push_back(path);
    });
  }
  ~LinuxNetworkPathMonitorTest() override { fs::remove_all(sysfs_); }

  static fs::path makeRoot() {
    char pattern[] = "/tmp/lumora-sysfs-XXXXXX";
    return ::mkdtemp(pattern);
  }
  void setConnected(bool connected) {
    std::lock_guard<std::mutex> guard(mutex_);
    connected_ = connected;
  }
  std::vector<NetworkPath> seen() {
    std::lock_guard<std::mutex> guard(mutex_);
    return seen_;
  }

  const NetworkPath wired{true, {InterfaceKind::WiredEthernet}};
  const NetworkPath none{false, {}};

  fs::path sysfs_ = makeRoot();
  TestEnvironment env;
  std::mutex mutex_;
  bool connected_ = false;
  std::vector<NetworkPath> seen_;
  std::shared_ptr<LinuxNetworkPathMonitor> monitor =
      std::make_shared<LinuxNetworkPathMonitor>(sysfs_.string(), [this] {
        std::lock_guard<std::mutex> guard(mutex_);
        return connected_ ? std::vector<std::string>{"eth0"} : std::vector<std::string>{};
      });
};

TEST_F(LinuxNetworkPathMonitorTest, KnowsThePathBeforeStartingAndReportsOnlyChanges) {
  setConnected(true);
  EXPECT_EQ(monitor->currentPath(), wired);
  monitor->start(globalQueue(QueuePriority::Utility));
  env.runUntilIdle();
  EXPECT_EQ(seen(), std::vector<NetworkPath>{wired});
  // Messages that change neither the state nor the kinds send nothing.
  monitor->routesChanged();
  monitor->routesChanged();
  env.runUntilIdle();
  EXPECT_EQ(seen().size(), 1u);
  setConnected(false);
  monitor->routesChanged();
  env.runUntilIdle();
  EXPECT_EQ(seen(), (std::vector<NetworkPath>{wired, none}));
  monitor->cancel();
  setConnected(true);
  monitor->routesChanged();
  env.runUntilIdle();
  EXPECT_EQ(seen().size(), 2u);
  EXPECT_EQ(monitor->currentPath(), wired);  // still the kernel's state after the cancel
}

TEST_F(LinuxNetworkPathMonitorTest, ChangesArriveInOrderOnAConcurrentQueue) {
  monitor->start(globalQueue(QueuePriority::Utility));
  std::vector<NetworkPath> expected{none};
  for (int i = 0; i < 300; ++i) {
    bool connected = i % 2 == 0;
    setConnected(connected);
    monitor->routesChanged();
    expected.push_back(connected ? wired : none);
  }
  env.runUntilIdle();
  // Every change, each once, in order: the last event is the state now.
  EXPECT_EQ(seen(), expected);
}

}  // namespace
}  // namespace platform
