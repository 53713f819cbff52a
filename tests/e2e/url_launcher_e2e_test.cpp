// The URL launcher through the real host, with fake desktop tools first on PATH.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

std::string channel(const std::string& method) {
  return "dev.flutter.pigeon.url_launcher_macos.UrlLauncherApi." + method;
}

json send(const std::string& method, const std::string& url, bool noWait = false) {
  json command{{"op", "send"}, {"channel", channel(method)}, {"message", json::array({url})}};
  if (noWait) command["noWait"] = true;
  return command;
}

json result(bool value, json error = nullptr) {
  return json::array({{{"$ext", 130}, {"value", json::array({value, error})}}});
}

const json kInvalidUrl = {{"$ext", 129}, {"value", 0}};

void writeScript(const fs::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  ::chmod(path.c_str(), 0755);
}

// A folder with fake xdg-open and xdg-mime (each appends its arguments to calls.log, one line
// per run, arguments separated by "|"), and a data folder holding the browser's .desktop file.
class FakeDesktop {
 public:
  FakeDesktop() {
    char pattern[] = "/tmp/lumora-desktop-XXXXXX";
    root_ = ::mkdtemp(pattern);
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "share" / "applications");
    std::ofstream(root_ / "share" / "applications" / "fakebrowser.desktop")
        << "[Desktop Entry]\nName=Fake Browser\nExec=true %u\nType=Application\n";
    std::string log = (root_ / "calls.log").string();
    std::string record = "IFS='|'; echo \"$(basename \"$0\")|$*\" >> '" + log + "'\n";
    writeScript(root_ / "bin" / "xdg-open",
                record + "sleep \"${FAKE_OPEN_SLEEP:-0}\"\nexit \"${FAKE_OPEN_STATUS:-0}\"\n");
    writeScript(root_ / "bin" / "xdg-mime",
                record + "if [ \"$3\" = x-scheme-handler/https ]; then echo fakebrowser.desktop; "
                         "fi\nexit 0\n");
  }
  ~FakeDesktop() { fs::remove_all(root_); }

  std::map<std::string, std::string> environment(std::string status = "0",
                                                 std::string sleep = "0") const {
    return {{"PATH", (root_ / "bin").string() + ":/usr/bin:/bin"},
            {"XDG_DATA_DIRS", (root_ / "share").string()},
            {"XDG_DATA_HOME", (root_ / "nowhere").string()},
            {"FAKE_OPEN_STATUS", status},
            {"FAKE_OPEN_SLEEP", sleep}};
  }
  std::vector<std::string> calls() const {
    std::ifstream in(root_ / "calls.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }

 private:
  fs::path root_;
};

std::vector<json> replies(const PeerRun& run) {
  std::vector<json> out;
  for (const auto& line : run.withOp("reply"))
    out.push_back(line["reply"]);
  return out;
}

TEST(UrlLauncherEndToEndTest, AsksAndOpensThroughTheDesktopTools) {
  FakeDesktop desktop;
  Host host(HostOptions{hostExecutable(), {}, desktop.environment()});
  auto run = runPeer(host, {send("canLaunchUrl", "https://example.org"),
                            send("canLaunchUrl", "nohandler://example.org")});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto got = replies(run);
  ASSERT_EQ(got.size(), 2u);
  EXPECT_EQ(got[0], result(true));
  EXPECT_EQ(got[1], result(false));
  EXPECT_EQ(desktop.calls(),
            (std::vector<std::string>{"xdg-mime|query|default|x-scheme-handler/https",
                                      "xdg-mime|query|default|x-scheme-handler/nohandler"}));
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

TEST(UrlLauncherEndToEndTest, TheOpenerGetsExactlyTheUrlAndItsStatusDecides) {
  FakeDesktop desktop;
  {
    Host host(HostOptions{hostExecutable(), {}, desktop.environment()});
    auto run = runPeer(host, {send("launchUrl", "https://example.org/x?q=1&r=-2")});
    EXPECT_EQ(replies(run), (std::vector<json>{result(true)}));
    EXPECT_EQ(desktop.calls(),
              (std::vector<std::string>{"xdg-open|https://example.org/x?q=1&r=-2"}));
  }
  {
    Host host(HostOptions{hostExecutable(), {}, desktop.environment("4")});
    auto run = runPeer(host, {send("launchUrl", "https://example.org")});
    EXPECT_EQ(replies(run), (std::vector<json>{result(false)}));
  }
  {
    auto env = desktop.environment();
    env["PATH"] = "/nonexistent";  // no opener at all
    Host host(HostOptions{hostExecutable(), {}, env});
    auto run = runPeer(host, {send("launchUrl", "https://example.org")});
    EXPECT_EQ(replies(run), (std::vector<json>{result(false)}));
  }
}

TEST(UrlLauncherEndToEndTest, TextsThatAreNoAbsoluteUrlNeverReachATool) {
  FakeDesktop desktop;
  Host host(HostOptions{hostExecutable(), {}, desktop.environment()});
  auto run = runPeer(
      host, {send("launchUrl", "--help"),
             send("canLaunchUrl", "--help"),
             send("canLaunchUrl", "http://a b"),
             send("launchUrl", "http://a b"),
             {{"op", "send"}, {"channel", channel("launchUrl")}, {"message", json::array({5})}}});
  auto got = replies(run);
  ASSERT_EQ(got.size(), 5u);
  EXPECT_EQ(got[0], result(false));
  EXPECT_EQ(got[1], result(false));
  EXPECT_EQ(got[2], result(false, kInvalidUrl));
  EXPECT_EQ(got[3], result(false, kInvalidUrl));
  EXPECT_EQ(got[4][0], "invalid-arguments");
  EXPECT_TRUE(desktop.calls().empty());
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

TEST(UrlLauncherEndToEndTest, ASlowOpenerDoesNotStallOtherChannels) {
  FakeDesktop desktop;
  Host host(HostOptions{hostExecutable(), {}, desktop.environment("0", "3")});
  auto run = runPeer(host, {send("launchUrl", "https://example.org", /*noWait=*/true),
                            {{"op", "invoke"},
                             {"channel", "dev.quillmotive.plugins/screen_retriever"},
                             {"method", "getAllDisplays"}}});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  // The other channel's answer comes first; the launch answers once the opener ends.
  std::vector<std::string> order;
  for (const auto& line : run.lines)
    order.push_back(line.value("channel", ""));
  ASSERT_EQ(order.size(), 2u);
  EXPECT_EQ(order[0], "dev.quillmotive.plugins/screen_retriever");
  EXPECT_EQ(run.withOp("reply")[0]["reply"], result(true));
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

}  // namespace
}  // namespace lumora::e2e
