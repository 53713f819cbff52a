// The kernel's routing state, as reachability and the network path read it: which interfaces
// carry a usable default route, what kind of link each interface is, and a watcher that says
// when links, addresses or routes change (rtnetlink). One rule serves both readers, so host
// reachability and the network path never disagree.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace platform {

// Interfaces with a default route (IPv4 or IPv6) that is up and not a reject route, other than
// "lo", in the order the tables list them (each once). `ipv4` and `ipv6` are the texts of
// /proc/net/route and /proc/net/ipv6_route.
std::vector<std::string> defaultRouteInterfaces(const std::string& ipv4, const std::string& ipv6);
// The same over the running kernel's tables.
std::vector<std::string> currentDefaultRouteInterfaces();

enum class InterfaceKind { Other, Wifi, Cellular, WiredEthernet, Loopback };
// The kind of interface `name` under the sysfs root `sysfs` ("/sys" normally): a `wireless`
// folder or DEVTYPE=wlan is Wi-Fi, DEVTYPE=wwan cellular, link type 1 wired Ethernet, "lo" or
// link type 772 loopback, anything else other.
InterfaceKind interfaceKind(const std::string& sysfs, const std::string& name);

// Calls `onChange` on a thread of its own whenever the kernel reports a change of links,
// addresses or routes (a burst of messages is one call). Without netlink (a sandbox) it never
// calls. Destroying it stops the thread; no call runs after the destructor returns.
class RouteChangeWatcher {
 public:
  explicit RouteChangeWatcher(std::function<void()> onChange);
  ~RouteChangeWatcher();
  RouteChangeWatcher(const RouteChangeWatcher&) = delete;
  RouteChangeWatcher& operator=(const RouteChangeWatcher&) = delete;
  // False when the kernel's messages cannot be had.
  bool watching() const { return netlink_ >= 0; }

 private:
  int netlink_ = -1;
  int wake_ = -1;
  struct Thread;
  std::unique_ptr<Thread> thread_;
};

}  // namespace platform
