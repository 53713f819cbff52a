#include "plugins/desktop/connectivity_plus_plugin.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/dispatch/test_environment.h"

namespace {

namespace fs = std::filesystem;
using platform::Value;

// A sysfs tree with one folder per interface under class/net.
class FakeSysfs {
 public:
  FakeSysfs() {
    char pattern[] = "/tmp/lumora-sysfs-XXXXXX";
    root_ = ::mkdtemp(pattern);
  }
  ~FakeSysfs() { fs::remove_all(root_); }
  void add(const std::string& name, const std::string& type, const std::string& uevent = "",
           bool wirelessFolder = false) {
    fs::path dir = root_ / "class" / "net" / name;
    fs::create_directories(dir);
    std::ofstream(dir / "type") << type << "\n";
    std::ofstream(dir / "uevent") << "INTERFACE=" << name << "\n" << uevent;
    if (wirelessFolder) fs::create_directories(dir / "wireless");
  }
  std::string path() const { return root_.string(); }

 private:
  fs::path root_;
};

// /proc/net/route lines: a default route through `iface` with `flags`.
std::string ipv4Default(const std::string& iface, const std::string& flags = "0003") {
  return iface + "\t00000000\t0100A8C0\t" + flags + "\t0\t0\t100\t00000000\t0\t0\t0\n";
}
const std::string kIpv4Header =
    "Iface\tDestination\tGateway\tFlags\tRefCnt\tUse\tMetric\tMask\tMTU\tWindow\tIRTT\n";
std::string ipv6Default(const std::string& iface, const std::string& flags = "00000003") {
  return std::string(32, '0') + " 00 " + std::string(32, '0') + " 00 " +
         "fe800000000000000000000000000001 00000400 00000001 00000000 " + flags + " " + iface +
         "\n";
}

TEST(ConnectivityTypesTest, RoutesAndInterfaceKindsGiveTheStatusNames) {
  FakeSysfs sysfs;
  sysfs.add("wlan0", "1", "DEVTYPE=wlan\n");
  sysfs.add("wlp2s0", "1", "", /*wirelessFolder=*/true);
  sysfs.add("eth0", "1");
  sysfs.add("wwan0", "1", "DEVTYPE=wwan\n");
  sysfs.add("tun0", "65534");
  sysfs.add("lo", "772");
  struct Case {
    std::string ipv4;
    std::string ipv6;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {ipv4Default("eth0") + ipv4Default("wlan0"), "", {"wifi", "ethernet"}},
      {ipv4Default("eth0"), ipv6Default("wlp2s0"), {"wifi", "ethernet"}},
      {ipv4Default("wwan0"), "", {"mobile"}},
      {"", ipv6Default("tun0"), {"other"}},
      {"", "", {"none"}},
      {ipv4Default("lo"), ipv6Default("lo"), {"none"}},
      {ipv4Default("eth0", "0001"), "", {"ethernet"}},  // up, no gateway flag
      {ipv4Default("eth0", "0000"), "", {"none"}},      // not up
      {ipv4Default("eth0", "0201"), "", {"none"}},      // a reject route
      {"", ipv6Default("eth0", "00000201"), {"none"}},  // a reject route
  };
  for (const auto& c : cases) {
    auto interfaces = platform::defaultRouteInterfaces(kIpv4Header + c.ipv4, c.ipv6);
    auto path = platform::networkPathFromRoutes(interfaces, sysfs.path());
    std::vector<std::string> names;
    for (auto type : connectivityTypesForPath(path))
      names.push_back(connectivityStatusName(type));
    EXPECT_EQ(names, c.names) << c.ipv4 << c.ipv6;
  }
}

class ConnectivityPluginTest : public ::testing::Test {
 protected:
  void SetUp() override {
    platform::NetworkPathMonitor::setFactory([this] {
      auto monitor = std::make_shared<platform::NetworkPathMonitorTestDouble>();
      monitor->push(path);
      monitors.push_back(monitor);
      return monitor;
    });
    plugin = ConnectivityPlusPlugin::create(PathMonitorConnectivityProvider::create());
  }
  void TearDown() override { platform::NetworkPathMonitor::setFactory(nullptr); }

  Value check() {
    Value answer;
    plugin->handleMethodCall(flutter::MethodCall{"check", {}},
                             [&](flutter::MethodResponse r) { answer = r.value(); });
    return answer;
  }

  platform::TestEnvironment env;
  platform::NetworkPath path{true, {platform::InterfaceKind::WiredEthernet}};
  std::vector<std::shared_ptr<platform::NetworkPathMonitorTestDouble>> monitors;
  std::shared_ptr<ConnectivityPlusPlugin> plugin;
  std::vector<Value> events;
};

TEST_F(ConnectivityPluginTest, ListeningSendsTheCurrentStateThenEachChange) {
  env.runUntilIdle();  // the monitor's first path, with nobody listening
  plugin->onListenWithArguments({}, [&](flutter::StreamEvent e) { events.push_back(e.value()); });
  env.runUntilIdle();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0], Value::list({"ethernet"}));
  monitors.back()->push(platform::NetworkPath{false, {}});
  env.runUntilIdle();
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[1], Value::list({"none"}));
}

TEST_F(ConnectivityPluginTest, CheckAfterCancelStillTellsTheCurrentState) {
  env.runUntilIdle();
  plugin->onListenWithArguments({}, [&](flutter::StreamEvent e) { events.push_back(e.value()); });
  env.runUntilIdle();
  plugin->onCancelWithArguments({});
  EXPECT_FALSE(monitors.back()->isStarted());
  // A change delivered while cancelled reaches nobody.
  monitors.back()->push(platform::NetworkPath{true, {platform::InterfaceKind::Wifi}});
  path = platform::NetworkPath{true, {platform::InterfaceKind::Wifi}};
  env.runUntilIdle();
  EXPECT_EQ(events.size(), 1u);
  // "check" starts a fresh monitor, which knows the state at once.
  EXPECT_EQ(check(), Value::list({"wifi"}));
  EXPECT_EQ(monitors.size(), 2u);
  EXPECT_TRUE(monitors.back()->isStarted());
  plugin->handleMethodCall(flutter::MethodCall{"status", {}},
                           [&](flutter::MethodResponse r) { EXPECT_TRUE(r.isNotImplemented()); });
}

}  // namespace
