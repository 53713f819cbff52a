#include "plugins/desktop/url_launcher_plugin.h"

#include <gtest/gtest.h>

#include "platform/dispatch/test_environment.h"

namespace {

using url_launcher::UrlLauncherError;

class UrlLauncherPluginTest : public ::testing::Test {
 protected:
  // The answer to one call, once the main loop has run.
  std::pair<bool, std::optional<UrlLauncherError>> ask(bool launch, const std::string& url) {
    std::shared_ptr<url_launcher::UrlLauncherBoolResult> got;
    auto done = [&](std::shared_ptr<url_launcher::UrlLauncherBoolResult> r,
                    const std::optional<pigeon::PigeonError>& error) {
      EXPECT_FALSE(error.has_value());
      got = std::move(r);
    };
    launch ? plugin.launch(url, done) : plugin.canLaunch(url, done);
    env.runUntilIdle();
    EXPECT_TRUE(got);
    return got ? std::make_pair(got->value, got->error) : std::make_pair(false, std::nullopt);
  }

  platform::TestEnvironment env;
  std::shared_ptr<platform::WorkspaceTestDouble> workspace =
      std::make_shared<platform::WorkspaceTestDouble>();
  UrlLauncherPlugin plugin{workspace};
};

TEST_F(UrlLauncherPluginTest, AnswersFromTheWorkspaceAndKeepsBadTextAway) {
  struct Case {
    bool launch;
    const char* url;
    bool opens;
    bool hasApplication;
    bool value;
    std::optional<UrlLauncherError> error;
  };
  const Case cases[] = {
      {false, "https://example.org", true, true, true, {}},
      {false, "https://example.org", true, false, false, {}},
      {true, "mailto:someone@example.org", true, false, true, {}},
      {true, "https://example.org", false, true, false, {}},
      {true, "--help", true, true, false, {}},
      {false, "relative/path", true, true, false, {}},
      {true, "http://a b", true, true, false, UrlLauncherError::invalidUrl},
      {false, "http://a b", true, true, false, UrlLauncherError::invalidUrl},
  };
  for (const auto& c : cases) {
    workspace->setOpens(c.opens);
    workspace->setApplication(
        c.hasApplication ? platform::URL::fileURLWithPath("/usr/share/applications/x.desktop")
                         : std::nullopt);
    auto [value, error] = ask(c.launch, c.url);
    EXPECT_EQ(value, c.value) << c.url;
    EXPECT_EQ(error, c.error) << c.url;
  }
  // Only the absolute URLs reached the workspace.
  EXPECT_EQ(workspace->queried(),
            (std::vector<std::string>{"https://example.org", "https://example.org"}));
  EXPECT_EQ(workspace->opened(),
            (std::vector<std::string>{"mailto:someone@example.org", "https://example.org"}));
}

}  // namespace
