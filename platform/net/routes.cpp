#include "platform/net/routes.h"

#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace platform {

namespace {

constexpr unsigned long kRouteUp = 0x1;        // RTF_UP
constexpr unsigned long kRouteReject = 0x200;  // RTF_REJECT

std::string readFile(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

void addOnce(std::vector<std::string>& list, const std::string& name) {
  if (std::find(list.begin(), list.end(), name) == list.end()) list.push_back(name);
}

}  // namespace

std::vector<std::string> defaultRouteInterfaces(const std::string& ipv4, const std::string& ipv6) {
  std::vector<std::string> interfaces;
  {
    std::istringstream lines(ipv4);
    std::string line;
    std::getline(lines, line);  // column titles
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string iface, destination, gateway, flags, refs, use, metric, mask;
      fields >> iface >> destination >> gateway >> flags >> refs >> use >> metric >> mask;
      unsigned long f = std::strtoul(flags.c_str(), nullptr, 16);
      if (iface.empty() || iface == "lo") continue;
      if (destination == "00000000" && (mask.empty() || mask == "00000000") && (f & kRouteUp) &&
          !(f & kRouteReject)) {
        addOnce(interfaces, iface);
      }
    }
  }
  {
    std::istringstream lines(ipv6);
    std::string line;
    while (std::getline(lines, line)) {
      std::istringstream fields(line);
      std::string destination, prefix, source, sourcePrefix, nextHop, metric, refs, use, flags,
          iface;
      fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refs >>
          use >> flags >> iface;
      if (iface.empty() || iface == "lo") continue;
      unsigned long f = std::strtoul(flags.c_str(), nullptr, 16);
      if (prefix == "00" && destination == std::string(32, '0') && (f & kRouteUp) &&
          !(f & kRouteReject)) {
        addOnce(interfaces, iface);
      }
    }
  }
  return interfaces;
}

std::vector<std::string> currentDefaultRouteInterfaces() {
  return defaultRouteInterfaces(readFile("/proc/net/route"), readFile("/proc/net/ipv6_route"));
}

InterfaceKind interfaceKind(const std::string& sysfs, const std::string& name) {
  if (name == "lo") return InterfaceKind::Loopback;
  std::filesystem::path base = std::filesystem::path(sysfs) / "class" / "net" / name;
  std::error_code ec;
  if (std::filesystem::is_directory(base / "wireless", ec)) return InterfaceKind::Wifi;
  std::istringstream uevent(readFile((base / "uevent").string()));
  for (std::string line; std::getline(uevent, line);) {
    if (line == "DEVTYPE=wlan") return InterfaceKind::Wifi;
    if (line == "DEVTYPE=wwan") return InterfaceKind::Cellular;
  }
  std::string type = readFile((base / "type").string());
  while (!type.empty() && (type.back() == '\n' || type.back() == ' '))
    type.pop_back();
  if (type == "1") return InterfaceKind::WiredEthernet;
  if (type == "772") return InterfaceKind::Loopback;
  return InterfaceKind::Other;
}

struct RouteChangeWatcher::Thread {
  std::thread thread;
};

RouteChangeWatcher::RouteChangeWatcher(std::function<void()> onChange) {
  int netlink = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE);
  if (netlink >= 0) {
    sockaddr_nl address{};
    address.nl_family = AF_NETLINK;
    address.nl_groups = RTMGRP_LINK | RTMGRP_IPV4_IFADDR | RTMGRP_IPV6_IFADDR | RTMGRP_IPV4_ROUTE |
                        RTMGRP_IPV6_ROUTE;
    if (::bind(netlink, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
      ::close(netlink);
      netlink = -1;
    }
  }
  int wake = netlink >= 0 ? ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK) : -1;
  if (wake < 0) {
    if (netlink >= 0) ::close(netlink);
    return;
  }
  netlink_ = netlink;
  wake_ = wake;
  thread_ = std::make_unique<Thread>();
  thread_->thread = std::thread([netlink, wake, onChange = std::move(onChange)] {
    char buffer[8192];
    int fd = netlink;
    for (;;) {
      pollfd fds[2] = {{fd, POLLIN, 0}, {wake, POLLIN, 0}};
      if (::poll(fds, 2, -1) < 0) continue;
      if (fds[1].revents) return;
      if (fds[0].revents & POLLIN) {
        // Drain what the kernel sent; its content only says "something changed".
        while (::recv(fd, buffer, sizeof buffer, MSG_DONTWAIT) > 0) {
        }
        onChange();
      } else if (fds[0].revents) {
        fd = -1;  // socket error: stop watching changes rather than spin
      }
    }
  });
}

RouteChangeWatcher::~RouteChangeWatcher() {
  if (!thread_) return;
  std::uint64_t one = 1;
  (void)!::write(wake_, &one, sizeof one);
  thread_->thread.join();
  ::close(netlink_);
  ::close(wake_);
}

}  // namespace platform
