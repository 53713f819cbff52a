// Connectivity through the real host in a network namespace of its own, where the test adds and
// removes a default route (root only: namespaces and links need it).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <thread>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kChannel = "dev.dovecresthalyard.plus/connectivity";
constexpr const char* kEvents = "dev.dovecresthalyard.plus/connectivity_status";

bool run(const std::string& command) {
  return std::system((command + " >/dev/null 2>&1").c_str()) == 0;
}

json invoke(const std::string& method) {
  return json{{"op", "invoke"}, {"channel", kChannel}, {"method", method}};
}

json pause(int ms) {
  return json{{"op", "sleep"}, {"ms", ms}};
}

TEST(ConnectivityEndToEndTest, FollowsTheDefaultRouteOfTheHostsNamespace) {
  if (::geteuid() != 0 || !run("unshare --net --mount true")) {
    GTEST_SKIP() << "needs root and network namespaces";
  }
  char pattern[] = "/tmp/lumora-netns-XXXXXX";
  fs::path dir = ::mkdtemp(pattern);
  fs::path wrapper = dir / "host-in-namespace";
  fs::path pidFile = dir / "host.pid";
  // The host keeps the wrapper's process id: unshare and sh replace themselves with it.
  std::ofstream(wrapper) << "#!/bin/sh\necho $$ > '" << pidFile.string() << "'\n"
                         << "exec unshare --net --mount sh -c "
                            "'mount -t sysfs sysfs /sys && exec \"$0\" \"$@\"' '"
                         << hostExecutable() << "' \"$@\"\n";
  ::chmod(wrapper.c_str(), 0755);

  Host host(HostOptions{wrapper.string(), {}, {}});
  std::string suffix = std::to_string(::getpid() % 100000);
  std::string outside = "lmo" + suffix;
  std::string inside = "lmi" + suffix;

  // Wait for the host to serve, so the peer's first commands run at once.
  for (int i = 0; i < 1000 && !fs::exists(host.socketPath()); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  // The peer's script, with pauses in which the test changes the host's network.
  auto peer = std::async(std::launch::async, [&] {
    return runPeer(host,
                   {invoke("check"), json{{"op", "listen"}, {"channel", kEvents}}, pause(2500),
                    invoke("check"), pause(2500), json{{"op", "cancel"}, {"channel", kEvents}},
                    invoke("check"), invoke("status")},
                   60);
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  std::string pid;
  std::ifstream(pidFile) >> pid;
  ASSERT_FALSE(pid.empty());
  std::string in = "nsenter -t " + pid + " -n ";
  // Documentation addresses: nothing is sent anywhere, only the route table changes.
  ASSERT_TRUE(run("ip link add " + outside + " type veth peer name " + inside));
  EXPECT_TRUE(run("ip link set " + inside + " netns " + pid));
  EXPECT_TRUE(run("ip link set " + outside + " up"));
  EXPECT_TRUE(run(in + "ip link set " + inside + " up"));
  EXPECT_TRUE(run(in + "ip addr add 192.0.2.2/24 dev " + inside));
  EXPECT_TRUE(run(in + "ip route add default via 192.0.2.1 dev " + inside));
  std::this_thread::sleep_for(std::chrono::milliseconds(2500));
  EXPECT_TRUE(run(in + "ip route del default"));

  PeerRun result = peer.get();
  run("ip link del " + outside);
  fs::remove_all(dir);
  ASSERT_EQ(result.exitCode, 0) << result.errors << host.log();

  auto results = result.withOp("result", kChannel);
  ASSERT_EQ(results.size(), 3u) << json(result.lines);
  EXPECT_EQ(results[0]["result"], json::array({"none"}));
  EXPECT_EQ(results[1]["result"], json::array({"ethernet"}));
  EXPECT_EQ(results[2]["result"], json::array({"none"}));  // after cancel: still the real state
  EXPECT_EQ(result.withOp("notImplemented", kChannel).size(), 1u);
  std::vector<json> events;
  for (const auto& e : result.withOp("event", kEvents))
    events.push_back(e["event"]);
  EXPECT_EQ(events, (std::vector<json>{json::array({"none"}), json::array({"ethernet"}),
                                       json::array({"none"})}))
      << host.log();
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

}  // namespace
}  // namespace lumora::e2e
