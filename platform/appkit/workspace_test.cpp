#include "platform/appkit/workspace.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/dispatch/test_environment.h"
#include "platform/foundation/environment.h"

namespace platform {
namespace {

namespace fs = std::filesystem;

void writeScript(const fs::path& path, const std::string& body) {
  std::ofstream(path) << "#!/bin/sh\n" << body;
  ::chmod(path.c_str(), 0755);
}

// Fake desktop tools first on PATH, each appending its arguments to calls.log, and a
// data folder holding two .desktop files. The slow cases would answer otherwise once they end,
// which is long after the workspace's deadline.
class XdgWorkspaceTest : public ::testing::Test {
 protected:
  XdgWorkspaceTest() {
    fs::create_directories(root_ / "bin");
    fs::create_directories(root_ / "share" / "applications");
    std::ofstream(root_ / "share" / "applications" / "browser.desktop") << "[Desktop Entry]\n";
    std::ofstream(root_ / "share" / "applications" / "editor.desktop") << "[Desktop Entry]\n";
    std::string record = "echo \"${0##*/} $*\" >> '" + (root_ / "calls.log").string() + "'\n";
    writeScript(root_ / "bin" / "xdg-mime", record + R"(case "$1 $2 $3" in
  "query filetype "*) echo text/plain ;;
  "query default x-scheme-handler/https") echo browser.desktop ;;
  "query default x-scheme-handler/ghost") echo missing.desktop ;;
  "query default x-scheme-handler/slow") sleep 3; echo browser.desktop ;;
  "query default text/plain") echo editor.desktop ;;
esac
)");
    writeScript(root_ / "bin" / "xdg-open", record + R"(case "$1" in
  *slow*) sleep 3; exit 4 ;;
  *fail*) exit 4 ;;
esac
)");
  }
  ~XdgWorkspaceTest() override { fs::remove_all(root_); }

  std::optional<std::string> applicationFor(const std::string& text) {
    std::optional<std::string> got = "(no answer)";
    workspace.urlForApplicationToOpenURL(*URL::parse(text), [&](std::optional<URL> application) {
      got = application ? std::optional(application->path()) : std::nullopt;
    });
    env.runUntilIdle();
    return got;
  }
  std::optional<bool> opens(const std::string& text) {
    std::optional<bool> got;
    workspace.openURL(*URL::parse(text), [&](bool opened) { got = opened; });
    env.runUntilIdle();
    return got;
  }
  std::vector<std::string> calls() const {
    std::ifstream in(root_ / "calls.log");
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
      lines.push_back(line);
    return lines;
  }

  static fs::path makeRoot() {
    char pattern[] = "/tmp/lumora-workspace-XXXXXX";
    return ::mkdtemp(pattern);
  }

  fs::path root_ = makeRoot();  // first: the members below use it
  TestEnvironment env;
  ScopedEnvironmentForTesting environment{{"PATH", (root_ / "bin").string() + ":/usr/bin:/bin"},
                                          {"XDG_DATA_DIRS", (root_ / "share").string()},
                                          {"XDG_DATA_HOME", (root_ / "nowhere").string()}};
  XdgWorkspace workspace{0.5};
};

TEST_F(XdgWorkspaceTest, NamesTheDesktopFileOfTheDefaultApplication) {
  std::string applications = (root_ / "share" / "applications").string();
  struct Case {
    std::string url;
    std::optional<std::string> application;
    std::vector<std::string> calls;
  };
  const Case cases[] = {
      {"https://example.org/a?b=c",
       applications + "/browser.desktop",
       {"xdg-mime query default x-scheme-handler/https"}},
      {"nohandler:x", std::nullopt, {"xdg-mime query default x-scheme-handler/nohandler"}},
      // A handler whose .desktop file is nowhere under the data folders names no application.
      {"ghost://x", std::nullopt, {"xdg-mime query default x-scheme-handler/ghost"}},
      {"file://" + (root_ / "notes.txt").string(),
       applications + "/editor.desktop",
       {"xdg-mime query filetype " + (root_ / "notes.txt").string(),
        "xdg-mime query default text/plain"}},
  };
  for (const auto& c : cases) {
    fs::remove(root_ / "calls.log");
    EXPECT_EQ(applicationFor(c.url), c.application) << c.url;
    EXPECT_EQ(calls(), c.calls) << c.url;
  }
}

TEST_F(XdgWorkspaceTest, TheOpenersStatusDecidesAndASlowOneCountsAsOpened) {
  EXPECT_EQ(opens("https://example.org/?q=-x"), true);
  EXPECT_EQ(calls(), (std::vector<std::string>{"xdg-open https://example.org/?q=-x"}));
  EXPECT_EQ(opens("https://fail.example"), false);
  // Still running at the deadline (it would fail later): the desktop took the URL and is busy.
  EXPECT_EQ(opens("https://slow.example"), true);
}

TEST_F(XdgWorkspaceTest, AQueryPastTheDeadlineIsNoApplication) {
  // It would name the browser, but only after the deadline.
  EXPECT_EQ(applicationFor("slow://x"), std::nullopt);
}

TEST_F(XdgWorkspaceTest, WithoutTheToolsNothingOpensAndNothingIsNamed) {
  ScopedEnvironmentForTesting noTools("PATH", (root_ / "nowhere").string());
  EXPECT_EQ(opens("https://example.org"), false);
  EXPECT_EQ(applicationFor("https://example.org"), std::nullopt);
  EXPECT_TRUE(calls().empty());
}

}  // namespace
}  // namespace platform
