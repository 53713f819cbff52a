// Package information and the screen retriever, through the real host and lumora-peer.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <filesystem>

#include "platform/core/value.h"
#include "platform/foundation/property_list.h"
#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;
using platform::Value;

json invoke(const std::string& channel, const std::string& method, json args = nullptr) {
  json command{{"op", "invoke"}, {"channel", channel}, {"method", method}};
  if (!args.is_null()) command["args"] = std::move(args);
  return command;
}

// Sets a file's access and modification times to `seconds` since 1970 (fractions kept).
void setFileTime(const fs::path& path, double seconds) {
  double whole = std::floor(seconds);
  timespec t{static_cast<time_t>(whole), static_cast<long>(std::lround((seconds - whole) * 1e9))};
  timespec times[2] = {t, t};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0) << path;
}

// What `stat` prints for `format` (e.g. "%.3W"), trimmed.
std::string statField(const fs::path& path, const std::string& format) {
  std::string command = "stat -c '" + format + "' '" + path.string() + "'";
  FILE* pipe = ::popen(command.c_str(), "r");
  if (!pipe) return "";
  char buffer[128] = {};
  std::string out = std::fgets(buffer, sizeof buffer, pipe) ? buffer : "";
  ::pclose(pipe);
  while (!out.empty() && (out.back() == '\n' || out.back() == ' '))
    out.pop_back();
  return out;
}

// "1700000000.123" -> "1700000000123".
std::string secondsTextToMillis(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '.'), text.end());
  return text;
}

constexpr const char* kPackageInfo = "dev.dovecresthalyard.plus/package_info";

class PackageInfoEndToEndTest : public ::testing::Test {
 protected:
  PackageInfoEndToEndTest() {
    char pattern[] = "/tmp/lumora-bundle-XXXXXX";
    root_ = ::mkdtemp(pattern);
    bundle_ = root_ / "Lumora.bundle";
    fs::create_directories(bundle_ / "Resources");
    platform::writePropertyListFile((bundle_ / "Info.plist").string(),
                                    Value::map({{"CFBundleIdentifier", "org.lumora.test"},
                                                {"CFBundleName", "Lumora Test"},
                                                {"CFBundleShortVersionString", "1.2.3"},
                                                {"CFBundleVersion", "45"}}),
                                    platform::PropertyListFormat::Xml);
    setFileTime(bundle_, 1700000000.5);
  }
  ~PackageInfoEndToEndTest() override { fs::remove_all(root_); }

  json getAll(Host& host) {
    auto run = runPeer(host, {invoke(kPackageInfo, "getAll")});
    EXPECT_EQ(run.exitCode, 0) << run.errors;
    auto results = run.withOp("result", kPackageInfo);
    return results.empty() ? json() : results[0]["result"];
  }

  fs::path root_;
  fs::path bundle_;
};

TEST_F(PackageInfoEndToEndTest, OutsideASandboxBothTimesAreTheBundlesModificationTime) {
  Host host(HostOptions{hostExecutable(), {}, {{"LUMORA_BUNDLE", bundle_.string()}}});
  json expected = {{"appName", "Lumora Test"},     {"packageName", "org.lumora.test"},
                   {"version", "1.2.3"},           {"buildNumber", "45"},
                   {"installerStore", nullptr},    {"installTime", "1700000000500"},
                   {"updateTime", "1700000000500"}};
  EXPECT_EQ(getAll(host), expected);

  // Milliseconds are truncated toward zero.
  const std::pair<double, const char*> dates[] = {{1.5, "1500"}, {-0.0015, "-1"}};
  for (const auto& [seconds, text] : dates) {
    setFileTime(bundle_, seconds);
    EXPECT_EQ(getAll(host)["updateTime"], text) << seconds;
  }
  auto run = runPeer(host, {invoke(kPackageInfo, "getEverything")});
  EXPECT_EQ(run.withOp("notImplemented", kPackageInfo).size(), 1u);
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

TEST_F(PackageInfoEndToEndTest, InASandboxTheInstallTimeIsTheDocumentsFolderBirth) {
  Host host(HostOptions{hostExecutable(),
                        {},
                        {{"LUMORA_BUNDLE", bundle_.string()}, {"APP_SANDBOX_CONTAINER_ID", ""}}});
  // Without the folder the update time stands in.
  EXPECT_EQ(getAll(host)["installTime"], "1700000000500");

  fs::path documents = host.home() / "Documents";
  fs::create_directories(documents);
  std::string birth = statField(documents, "%.3W");
  if (birth.empty() || birth == "0" || birth == "0.000" || birth == "-") {
    birth = statField(documents, "%.3Z");
  }
  json info = getAll(host);
  EXPECT_EQ(info["installTime"], secondsTextToMillis(birth));
  EXPECT_EQ(info["updateTime"], "1700000000500");
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

constexpr const char* kScreens = "dev.quillmotive.plugins/screen_retriever";
constexpr const char* kScreenEvents = "dev.quillmotive.plugins/screen_retriever_event";

json server(const std::string& method, json args = json::object()) {
  return invoke("lumora_test/window_server", method, std::move(args));
}

json screen(double x, double y, double w, double h, double menu, int number, const char* name) {
  return {{"x", x},           {"y", y},        {"width", w},        {"height", h},
          {"visibleX", x},    {"visibleY", y}, {"visibleWidth", w}, {"visibleHeight", h - menu},
          {"number", number}, {"name", name}};
}

TEST(ScreenRetrieverEndToEndTest, DisplaysCursorAndConnectionEvents) {
  Host host(HostOptions{testHostExecutable(), {}, {}});
  json one = json::array({screen(0, 0, 1920, 1080, 25, 1, "Simulated Display")});
  json two = one;
  two.push_back(screen(1920, 0, 1280, 1024, 0, 2, "Second"));
  auto run = runPeer(host, {
                               invoke(kScreens, "getPrimaryDisplay"),
                               server("setMouseLocation", {{"x", 100}, {"y", 30}}),
                               invoke(kScreens, "getCursorScreenPoint"),
                               {{"op", "listen"}, {"channel", kScreenEvents}},
                               server("setScreens", {{"screens", two}}),
                               invoke(kScreens, "getAllDisplays"),
                               {{"op", "cancel"}, {"channel", kScreenEvents}},
                               server("setScreens", {{"screens", one}}),
                               server("setScreens", {{"screens", two}}),
                               {{"op", "listen"}, {"channel", kScreenEvents}},
                               server("setScreens", {{"screens", one}}),
                               server("setScreens", {{"screens", json::array()}}),
                               invoke(kScreens, "getPrimaryDisplay"),
                               invoke(kScreens, "getAllDisplays"),
                               invoke(kScreens, "getCursorScreenPoint"),
                           });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto results = run.withOp("result", kScreens);
  ASSERT_EQ(results.size(), 6u);
  json primary = json::parse(R"({"id":"1","name":"Simulated Display",
      "size":{"width":1920.0,"height":1080.0},"visiblePosition":{"dx":0.0,"dy":25.0},
      "visibleSize":{"width":1920.0,"height":1055.0}})");
  EXPECT_EQ(results[0]["result"], primary);
  EXPECT_EQ(results[1]["result"], json::parse(R"({"dx":100.0,"dy":1050.0})"));
  const json& displays = results[2]["result"]["displays"];
  ASSERT_EQ(displays.size(), 2u);
  EXPECT_EQ(displays[0], primary);
  EXPECT_EQ(displays[1]["id"], "2");
  // The second screen's visible top lies 56 points below the first screen's top.
  EXPECT_EQ(displays[1]["visiblePosition"], json::parse(R"({"dx":1920.0,"dy":56.0})"));
  EXPECT_TRUE(results[3]["result"].is_null());
  EXPECT_EQ(results[4]["result"], json::parse(R"({"displays":[]})"));
  EXPECT_EQ(results[5]["result"], json::parse(R"({"dx":100.0,"dy":-30.0})"));

  std::vector<std::string> events;
  for (const auto& e : run.withOp("event", kScreenEvents))
    events.push_back(e["event"]["type"]);
  // Nothing while nobody listened; the count still followed the plugged-in screen.
  EXPECT_EQ(events,
            (std::vector<std::string>{"display-added", "display-removed", "display-removed"}));
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

TEST(ScreenRetrieverEndToEndTest, CursorTopIsTheLowestTopEdgeAmongTheScreens) {
  Host host(HostOptions{testHostExecutable(), {}, {{"LUMORA_OS_VERSION", "10.14"}}});
  json screens = json::array({screen(0, 0, 1920, 1080, 25, 1, "Simulated Display"),
                              screen(1920, -200, 1280, 1000, 0, 2, "Lower")});
  auto run = runPeer(host, {server("setScreens", {{"screens", screens}}),
                            server("setMouseLocation", {{"x", 10}, {"y", 100}}),
                            invoke(kScreens, "getCursorScreenPoint"),
                            invoke(kScreens, "getPrimaryDisplay")});
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto results = run.withOp("result", kScreens);
  ASSERT_EQ(results.size(), 2u);
  // The second screen's top (800) counts, though the mouse is on the first: the platform rule.
  EXPECT_EQ(results[0]["result"], json::parse(R"({"dx":10.0,"dy":700.0})"));
  EXPECT_EQ(results[1]["result"]["name"], "");  // no names before 10.15
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

}  // namespace
}  // namespace lumora::e2e
