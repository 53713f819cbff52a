// The wakelock against a private session bus holding a fake screen-saver service.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

constexpr const char* kChannel = "wakelock_plus_macos";

// A child process whose standard output goes to a file; stopped with SIGTERM at the end.
class Child {
 public:
  Child(std::vector<std::string> argv, const fs::path& output,
        std::vector<std::pair<std::string, std::string>> env = {}) {
    pid_ = ::fork();
    if (pid_ == 0) {
      int out = ::open(output.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      ::dup2(out, 1);
      ::dup2(out, 2);
      for (const auto& [k, v] : env)
        ::setenv(k.c_str(), v.c_str(), 1);
      std::vector<char*> args;
      for (auto& a : argv)
        args.push_back(a.data());
      args.push_back(nullptr);
      ::execvp(args[0], args.data());
      ::_exit(127);
    }
  }
  ~Child() {
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      ::waitpid(pid_, nullptr, 0);
    }
  }

 private:
  pid_t pid_ = -1;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

// Waits (real time: other processes) until `done` holds, at most 10 s.
template <class F> bool waitUntil(F done) {
  for (int i = 0; i < 1000; ++i) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// A private bus and, unless `mode` is empty, a fake screen saver on it.
class PrivateBus {
 public:
  explicit PrivateBus(const std::string& mode) {
    char pattern[] = "/tmp/lumora-bus-XXXXXX";
    dir_ = ::mkdtemp(pattern);
    fs::path socket = dir_ / "bus";
    std::ofstream(dir_ / "bus.conf")
        << "<!DOCTYPE busconfig PUBLIC \"-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN\" "
           "\"http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd\">\n"
           "<busconfig><type>session</type><listen>unix:path="
        << socket.string()
        << "</listen><auth>EXTERNAL</auth><policy context=\"default\">"
           "<allow send_destination=\"*\" eavesdrop=\"true\"/><allow eavesdrop=\"true\"/>"
           "<allow own=\"*\"/></policy></busconfig>\n";
    address_ = "unix:path=" + socket.string();
    daemon_ = std::make_unique<Child>(
        std::vector<std::string>{"dbus-daemon", "--nofork",
                                 "--config-file=" + (dir_ / "bus.conf").string()},
        dir_ / "daemon.log");
    EXPECT_TRUE(waitUntil([&] { return fs::exists(socket); })) << readFile(dir_ / "daemon.log");
    if (!mode.empty()) {
      fake_ = std::make_unique<Child>(
          std::vector<std::string>{LUMORA_E2E_FAKE_SCREENSAVER, mode}, calls(),
          std::vector<std::pair<std::string, std::string>>{{"DBUS_SESSION_BUS_ADDRESS", address_}});
      EXPECT_TRUE(waitUntil([&] { return readFile(calls()).find("ready") != std::string::npos; }))
          << readFile(calls());
    }
  }
  ~PrivateBus() {
    fake_.reset();
    daemon_.reset();
    fs::remove_all(dir_);
  }
  const std::string& address() const { return address_; }
  fs::path calls() const { return dir_ / "calls.log"; }
  // The fake's lines after "ready".
  std::vector<std::string> callLines() const {
    std::vector<std::string> lines;
    std::istringstream in(readFile(calls()));
    for (std::string line; std::getline(in, line);) {
      if (line != "ready") lines.push_back(line);
    }
    return lines;
  }

 private:
  fs::path dir_;
  std::string address_;
  std::unique_ptr<Child> daemon_;
  std::unique_ptr<Child> fake_;
};

json invoke(const std::string& method, json args = nullptr) {
  json command{{"op", "invoke"}, {"channel", kChannel}, {"method", method}};
  if (!args.is_null()) command["args"] = std::move(args);
  return command;
}

std::vector<json> answers(const PeerRun& run) {
  std::vector<json> out;
  for (const auto& line : run.lines) {
    std::string op = line.value("op", "");
    if (op == "result") out.push_back(line["result"]);
    if (op == "error") out.push_back(line["code"]);
    if (op == "notImplemented") out.push_back("notImplemented");
  }
  return out;
}

TEST(WakelockEndToEndTest, HoldsOneInhibitionAndReleasesItsCookie) {
  PrivateBus bus("grant");
  Host host(HostOptions{hostExecutable(), {}, {{"DBUS_SESSION_BUS_ADDRESS", bus.address()}}});
  auto run =
      runPeer(host, {invoke("toggle", {{"enable", true}}), invoke("toggle", {{"enable", true}}),
                     invoke("enabled"), invoke("toggle", {{"enable", false}}), invoke("enabled"),
                     invoke("toggle", {{"enable", false}}), invoke("toggle", {{"enable", "yes"}}),
                     invoke("toggle"), invoke("enabled"), invoke("status")});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(answers(run),
            (std::vector<json>{true, true, true, true, false, true, "invalid-arguments",
                               "invalid-arguments", false, "notImplemented"}));
  // The release is sent off the main loop; give it a moment to reach the fake.
  waitUntil([&] { return bus.callLines().size() >= 2; });
  EXPECT_EQ(bus.callLines(),
            (std::vector<std::string>{"Inhibit Lumora Disabling display sleep 1", "UnInhibit 1"}));
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

// A service that says no, one that never answers, a bus without the service, and no bus at all.
TEST(WakelockEndToEndTest, ARefusedAssertionLeavesTheWakelockOffAndTheHostServing) {
  for (const char* mode : {"refuse", "silent", "", "no-bus"}) {
    SCOPED_TRACE(mode);
    std::unique_ptr<PrivateBus> bus;
    std::string address = "unix:path=/nonexistent/lumora-bus";
    if (std::string(mode) != "no-bus") {
      bus = std::make_unique<PrivateBus>(mode);
      address = bus->address();
    }
    Host host(HostOptions{hostExecutable(), {}, {{"DBUS_SESSION_BUS_ADDRESS", address}}});
    auto start = std::chrono::steady_clock::now();
    auto run = runPeer(host, {invoke("toggle", {{"enable", true}}),
                              invoke("enabled"),
                              {{"op", "invoke"},
                               {"channel", "dev.quillmotive.plugins/screen_retriever"},
                               {"method", "getAllDisplays"}}});
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    auto got = answers(run);
    ASSERT_EQ(got.size(), 3u);
    EXPECT_EQ(got[0], true);
    EXPECT_EQ(got[1], false);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(6));
    EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
  }
}

}  // namespace
}  // namespace lumora::e2e
