#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

using nlohmann::json;

constexpr const char* kChannel = "window_manager";
constexpr const char* kServer = "lumora_test/window_server";

json invoke(const std::string& method, json args = nullptr) {
  json command{{"op", "invoke"}, {"channel", kChannel}, {"method", method}};
  if (!args.is_null()) command["args"] = std::move(args);
  return command;
}

json server(const std::string& method, json args = json::object()) {
  return json{{"op", "invoke"}, {"channel", kServer}, {"method", method}, {"args", args}};
}

json frameArgs(double x, double y, double w, double h) {
  return json{{"x", x}, {"y", y}, {"width", w}, {"height", h}};
}

// What one command brought back: the "onEvent" names the host sent while handling it, and its
// own answer (the result, error or not-implemented line).
struct Step {
  std::vector<std::string> events;
  json answer;
};

// Splits the peer's output into one step per command; lumora-peer waits for each answer before
// the next command, so the events printed before an answer belong to that command.
std::vector<Step> steps(const PeerRun& run) {
  std::vector<Step> out;
  Step current;
  for (const auto& line : run.lines) {
    std::string op = line.value("op", "");
    if (op == "incoming") {
      if (line.value("channel", "") == kChannel && line.value("method", "") == "onEvent") {
        current.events.push_back(line["args"]["eventName"]);
      }
      continue;
    }
    if (op == "disconnected") continue;  // the host ended: not an answer
    current.answer = line;
    out.push_back(std::move(current));
    current = Step{};
  }
  return out;
}

class WindowManagerEndToEndTest : public ::testing::Test {
 protected:
  PeerRun run(std::vector<json> commands) {
    auto result = runPeer(host, commands);
    EXPECT_EQ(result.exitCode, 0) << result.errors << host.log();
    return result;
  }
  void TearDown() override {
    if (host.isRunning()) {
      EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
    }
    EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  }
  Host host{HostOptions{testHostExecutable(), {}, {}}};
};

TEST_F(WindowManagerEndToEndTest, BindsOnceAndPlacesTheWindowInTopLeftCoordinates) {
  auto s = steps(run({
      invoke("getBounds"),
      server("setFrame", frameArgs(100, 200, 800, 600)),
      invoke("ensureInitialized"),
      invoke("ensureInitialized"),
      invoke("getBounds"),
      invoke("setBounds", {{"width", 400}, {"height", 300}}),
      server("describe"),
      invoke("setBounds", {{"x", 0}, {"y", 0}}),
      server("describe"),
      invoke("setBounds", {{"x", 50}}),
      server("describe"),
      invoke("Show"),
      invoke("setTitle"),
      invoke("setTitle", json::array({"a list acts as no arguments"})),
      invoke("isDocked"),
      invoke("isDockable"),
  }));
  ASSERT_EQ(s.size(), 16u);
  EXPECT_EQ(s[0].answer["op"], "error");
  EXPECT_EQ(s[0].answer["code"], "no-window");
  EXPECT_TRUE(s[0].events.empty());
  EXPECT_TRUE(s[1].events.empty());  // no delegate before ensureInitialized
  EXPECT_EQ(s[2].answer["result"], true);
  EXPECT_EQ(s[3].answer["result"], true);
  EXPECT_EQ(s[4].answer["result"], json::parse(R"({"x":100.0,"y":280.0,"width":800.0,
                                                   "height":600.0})"));
  EXPECT_EQ(s[6].answer["result"]["window"]["frame"], frameArgs(100, 500, 400, 300));
  EXPECT_EQ(s[8].answer["result"]["window"]["frame"], frameArgs(0, 780, 400, 300));
  EXPECT_EQ(s[9].answer["result"], true);
  EXPECT_TRUE(s[9].events.empty());
  EXPECT_EQ(s[10].answer["result"]["window"]["frame"], frameArgs(0, 780, 400, 300));
  EXPECT_EQ(s[11].answer["op"], "notImplemented");
  for (int i : {12, 13}) {
    EXPECT_EQ(s[i].answer["op"], "error") << s[i].answer;
    EXPECT_EQ(s[i].answer["code"], "invalid-arguments");
    EXPECT_NE(s[i].answer["message"].get<std::string>().find("\"title\""), std::string::npos);
  }
  EXPECT_EQ(s[14].answer["result"], 0);
  EXPECT_EQ(s[15].answer["result"], false);
}

TEST_F(WindowManagerEndToEndTest, WindowEventsArriveInThePlatformsOrder) {
  // The default screen's visible frame is (0, 0, 1920, 1055).
  auto s = steps(run({
      server("setFrame", frameArgs(100, 200, 800, 600)),
      invoke("ensureInitialized"),
      invoke("maximize"),
      invoke("maximize"),
      invoke("unmaximize"),
      invoke("setMaximizable", {{"isMaximizable", false}}),
      invoke("maximize"),
      server("describe"),
      invoke("setMaximizable", {{"isMaximizable", true}}),
      server("setFrame", frameArgs(0, 0, 800, 600)),
      server("liveResize", frameArgs(0, 0, 1920, 1055)),
      server("drag", {{"x", 10}, {"y", 20}}),
      invoke("setPreventClose", {{"isPreventClose", true}}),
      invoke("close"),
      server("describe"),
  }));
  ASSERT_EQ(s.size(), 15u);
  using V = std::vector<std::string>;
  EXPECT_EQ(s[2].events, (V{"maximize", "resize", "maximize", "moved"}));
  EXPECT_TRUE(s[3].events.empty());  // already zoomed: nothing
  EXPECT_EQ(s[4].events, (V{"maximize", "resize", "unmaximize", "moved"}));
  EXPECT_EQ(s[6].events, (V{"maximize"}));
  EXPECT_EQ(s[7].answer["result"]["window"]["frame"], frameArgs(100, 200, 800, 600));
  EXPECT_EQ(s[10].events, (V{"resize", "maximize", "resized"}));
  EXPECT_EQ(s[11].events, (V{"move", "moved"}));  // a drag keeps the size
  EXPECT_EQ(s[13].answer["result"], true);
  EXPECT_EQ(s[13].events, (V{"close"}));
  EXPECT_EQ(s[14].answer["result"]["window"]["visible"], true);
  EXPECT_TRUE(host.isRunning());
}

TEST_F(WindowManagerEndToEndTest, UserActionsReachTheApplicationAsEvents) {
  auto s = steps(run({
      server("setFrame", frameArgs(100, 200, 800, 600)),
      invoke("ensureInitialized"),
      server("main", {{"value", false}}),
      server("main", {{"value", true}}),
      server("key", {{"value", false}}),  // key changes count for panels only
      server("click", {{"button", "zoom"}}),
      server("click", {{"button", "zoom"}}),
      server("click", {{"button", "miniaturize"}}),
      invoke("isMinimized"),
      invoke("restore"),
      invoke("setPreventClose", {{"isPreventClose", true}}),
      server("click", {{"button", "close"}}),
      invoke("isVisible"),
  }));
  ASSERT_EQ(s.size(), 13u);
  using V = std::vector<std::string>;
  EXPECT_EQ(s[2].events, (V{"blur"}));
  EXPECT_EQ(s[3].events, (V{"focus"}));
  EXPECT_TRUE(s[4].events.empty());
  EXPECT_EQ(s[5].events, (V{"maximize", "resize", "maximize", "moved"}));
  EXPECT_EQ(s[6].events, (V{"maximize", "resize", "unmaximize", "moved"}));
  EXPECT_EQ(s[7].events, (V{"blur", "minimize"}));
  EXPECT_EQ(s[8].answer["result"], true);
  EXPECT_EQ(s[9].events, (V{"restore"}));
  EXPECT_EQ(s[11].events, (V{"close"}));
  EXPECT_EQ(s[12].answer["result"], true);
}

// The host ends by itself: wait for it (a process, so real time), then read its status.
std::optional<int> exitStatusOnceEnded(Host& host) {
  for (int i = 0; i < 500 && host.isRunning(); ++i)
    ::usleep(10000);
  return host.stop(SIGTERM);  // no signal is sent to a host that has ended
}

TEST_F(WindowManagerEndToEndTest, CloseWithoutPreventionEndsTheHostWithStatusZero) {
  auto peer = runPeer(host, {invoke("ensureInitialized"), invoke("close")});
  auto s = steps(peer);
  ASSERT_GE(s.size(), 2u);
  EXPECT_EQ(s[1].answer["result"], true) << json(peer.lines) << peer.errors << host.log();
  ASSERT_FALSE(s[1].events.empty());
  EXPECT_EQ(s[1].events.front(), "close");
  EXPECT_EQ(exitStatusOnceEnded(host), 0) << host.log();
}

TEST_F(WindowManagerEndToEndTest, DestroyEndsTheHostWithStatusZero) {
  auto s = steps(runPeer(host, {invoke("destroy")}));
  ASSERT_GE(s.size(), 1u);
  EXPECT_EQ(s[0].answer["result"], true);
  EXPECT_EQ(exitStatusOnceEnded(host), 0) << host.log();
}

// One setter, then what "describe" shows (a path into its answer and the value expected there).
struct SetterCase {
  const char* method;
  json args;
  std::vector<std::pair<std::string, json>> expect;  // JSON pointer -> value
};

TEST_F(WindowManagerEndToEndTest, SettersShowInTheDescription) {
  const std::vector<SetterCase> cases = {
      {"setTitleBarStyle",
       {{"titleBarStyle", "hidden"}, {"windowButtonVisibility", false}},
       {{"/window/titleVisibility", 1},
        {"/window/titlebarAppearsTransparent", true},
        {"/window/buttons/close", "hidden"},
        {"/window/buttons/zoom", "hidden"},
        {"/window/titleBarContainerHidden", false}}},
      {"setTitleBarStyle",
       {{"titleBarStyle", "Hidden"}, {"windowButtonVisibility", true}},
       {{"/window/titleVisibility", 0},
        {"/window/titlebarAppearsTransparent", false},
        {"/window/buttons/miniaturize", "shown"},
        {"/window/opaque", false}}},
      {"setAlwaysOnTop", {{"isAlwaysOnTop", true}}, {{"/window/level", 3}}},
      {"setAlwaysOnTop", {{"isAlwaysOnTop", false}}, {{"/window/level", 0}}},
      {"setVisibleOnAllWorkspaces",
       {{"visible", true}, {"visibleOnFullScreen", true}},
       {{"/window/collectionBehavior", 257}}},
      {"setBackgroundColor",
       {{"backgroundColorA", 0},
        {"backgroundColorR", 0},
        {"backgroundColorG", 0},
        {"backgroundColorB", 0}},
       {{"/window/backgroundColor",
         {{"red", 0.0}, {"green", 0.0}, {"blue", 0.0}, {"alpha", 0.0}}}}},
      {"setBackgroundColor",
       {{"backgroundColorA", 255},
        {"backgroundColorR", 255},
        {"backgroundColorG", 0},
        {"backgroundColorB", 0}},
       {{"/window/backgroundColor",
         {{"red", 1.0}, {"green", 0.0}, {"blue", 0.0}, {"alpha", 1.0}}}}},
      {"setAspectRatio", {{"aspectRatio", 1.5}}, {{"/window/contentAspectRatio", {1.5, 1.0}}}},
      {"setAspectRatio",
       {{"aspectRatio", 0}},
       {{"/window/contentAspectRatio", {0.0, 0.0}}, {"/window/resizeIncrements", {1.0, 1.0}}}},
      {"setOpacity", {{"opacity", 1}}, {{"/window/alphaValue", 1.0}}},
      {"setOpacity", {{"opacity", 0.5}}, {{"/window/alphaValue", 0.5}}},
      {"setProgressBar", {{"progress", -1}}, {{"/dockTile/progress/hidden", true}}},
      {"setProgressBar",
       {{"progress", 0.25}},
       {{"/dockTile/progress/hidden", false},
        {"/dockTile/progress/indeterminate", false},
        {"/dockTile/progress/value", 0.25},
        {"/dockTile/contentView", "ImageView"},
        {"/dockTile/image", "AppIcon"},  // the application's icon, the bar along its bottom
        {"/dockTile/progress/frame", frameArgs(0, 0, 128, 15)}}},
      {"setProgressBar",
       {{"progress", 3}},
       {{"/dockTile/progress/indeterminate", true}, {"/dockTile/progress/value", 1.0}}},
      {"setProgressBar",
       {{"progress", 0.5}},
       {{"/dockTile/progress/indeterminate", false}, {"/dockTile/progress/value", 0.5}}},
      {"setBadgeLabel", {{"label", "7"}}, {{"/dockTile/badgeLabel", "7"}}},
      {"setSkipTaskbar", {{"isSkipTaskbar", true}}, {{"/application/activationPolicy", 1}}},
      {"setResizable", {{"isResizable", false}}, {{"/window/styleMask", 7}}},
      {"setMinimizable", {{"isMinimizable", false}}, {{"/window/styleMask", 3}}},
      {"setClosable", {{"isClosable", false}}, {{"/window/styleMask", 1}}},
      {"setMovable", {{"isMovable", false}}, {{"/window/movable", false}}},
      {"setHasShadow", {{"hasShadow", false}}, {{"/window/hasShadow", false}}},
      {"setTitle", {{"title", "Renamed"}}, {{"/window/title", "Renamed"}}},
      {"setMinimumSize",
       {{"width", 320}, {"height", 240.5}},
       {{"/window/minSize", {320.0, 240.5}}}},
      {"setMaximumSize",
       {{"width", 1600}, {"height", 900}},
       {{"/window/maxSize", {1600.0, 900.0}}}},
      {"setBrightness", {{"brightness", "dark"}}, {{"/window/appearance", "VibrantDark"}}},
      {"setBrightness", {{"brightness", "light"}}, {{"/window/appearance", "VibrantLight"}}},
      {"setIgnoreMouseEvents",
       {{"ignore", true}, {"forward", true}},
       {{"/window/ignoresMouseEvents", true}, {"/window/acceptsMouseMovedEvents", true}}},
      {"setIgnoreMouseEvents",
       {{"ignore", false}, {"forward", true}},
       {{"/window/ignoresMouseEvents", false}, {"/window/acceptsMouseMovedEvents", false}}},
      {"setFullScreen",
       {{"isFullScreen", true}},
       {{"/window/frame", frameArgs(0, 0, 1920, 1080)}, {"/window/styleMask", 16385}}},
      {"setFullScreen", {{"isFullScreen", false}}, {{"/window/styleMask", 1}}},
      {"minimize", nullptr, {{"/window/miniaturized", true}}},
      {"restore", nullptr, {{"/window/miniaturized", false}}},
  };
  std::vector<json> commands = {invoke("ensureInitialized")};
  for (const auto& c : cases) {
    commands.push_back(invoke(c.method, c.args));
    commands.push_back(server("describe"));
  }
  auto s = steps(run(commands));
  ASSERT_EQ(s.size(), commands.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    const auto& c = cases[i];
    EXPECT_EQ(s[1 + 2 * i].answer["result"], true) << c.method << " " << s[1 + 2 * i].answer;
    const json& described = s[2 + 2 * i].answer["result"];
    for (const auto& [pointer, value] : c.expect) {
      EXPECT_EQ(described.at(json::json_pointer(pointer)), value)
          << c.method << " " << c.args << " at " << pointer;
    }
  }
}

TEST_F(WindowManagerEndToEndTest, FramelessWindowsHaveNoTitleBar) {
  auto s = steps(run({invoke("ensureInitialized"), invoke("getTitleBarHeight"),
                      invoke("setAsFrameless"), invoke("getTitleBarHeight"), server("describe")}));
  ASSERT_EQ(s.size(), 5u);
  EXPECT_EQ(s[1].answer["result"], 28);
  EXPECT_EQ(s[3].answer["result"], 0);
  const json& window = s[4].answer["result"]["window"];
  EXPECT_EQ(window["titleBarContainerHidden"], true);
  EXPECT_EQ(window["hasShadow"], false);
  EXPECT_EQ(window["titleVisibility"], 1);
}

}  // namespace
}  // namespace lumora::e2e
