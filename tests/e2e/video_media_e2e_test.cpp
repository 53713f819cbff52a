// The video player through lumora-test-host over its default media backend (GStreamer), with
// clips made at test time: real decoding, real timing, frames read back through "textureStats".
#include <gtest/gtest.h>
#include <httplib.h>

#include <array>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <unistd.h>

#include "platform/gstreamer/testing/media_fixtures.h"
#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kApi = "dev.flutter.pigeon.video_player_avfoundation.AVFoundationVideoPlayerApi.";
const std::string kInstance =
    "dev.flutter.pigeon.video_player_avfoundation.VideoPlayerInstanceApi.";
const std::string kEvents = "flutter.dev/videoPlayer/videoEvents";

json send(const std::string& channel, json message) {
  return {{"op", "send"}, {"channel", channel}, {"message", std::move(message)}};
}
json create(const std::string& uri, json headers = json::object()) {
  return send(kApi + "createForTextureView",
              json::array({{{"$ext", 130}, {"value", json::array({uri, headers})}}}));
}
json call(const std::string& method, int player, json args = json::array()) {
  return send(kInstance + method + "." + std::to_string(player), std::move(args));
}
json listen(int player) {
  return {{"op", "listen"}, {"channel", kEvents + std::to_string(player)}};
}
// Waits until `count` messages arrived on the player's event channel (since the start).
json awaitEvents(int player, int count, int timeoutMs = 15000) {
  return {{"op", "await"},
          {"channel", kEvents + std::to_string(player)},
          {"count", count},
          {"timeoutMs", timeoutMs}};
}
json sleepMs(int ms) {
  return {{"op", "sleep"}, {"ms", ms}};
}
json textureStats(std::int64_t textureId) {
  return {{"op", "invoke"},
          {"channel", "lumora_test/engine"},
          {"method", "textureStats"},
          {"args", {{"textureId", textureId}}}};
}

std::vector<json> replies(const PeerRun& run, const std::string& channel) {
  std::vector<json> out;
  for (const auto& line : run.withOp("reply", channel))
    out.push_back(line["reply"]);
  return out;
}
std::vector<json> stats(const PeerRun& run) {
  std::vector<json> out;
  for (const auto& line : run.withOp("result", "lumora_test/engine"))
    out.push_back(line["result"]);
  return out;
}
std::vector<json> events(const PeerRun& run, int player) {
  std::vector<json> out;
  for (const auto& line : run.lines) {
    if (line.value("channel", "") != kEvents + std::to_string(player)) continue;
    if (line["op"] == "event") out.push_back(line["event"]);
    if (line["op"] == "eventError")
      out.push_back({{"error", line["code"]}, {"message", line["message"]}});
  }
  return out;
}
std::vector<json> named(const std::vector<json>& all, const std::string& name) {
  std::vector<json> out;
  for (const auto& e : all)
    if (e.value("event", "") == name) out.push_back(e);
  return out;
}

// The first pixel (B, G, R, A) within 16 per channel of `bgr`.
void expectPixel(const json& stat, std::array<int, 3> bgr, const std::string& what) {
  ASSERT_TRUE(stat.contains("firstPixel")) << what << ": " << stat;
  for (int i = 0; i < 3; ++i)
    EXPECT_NEAR(stat["firstPixel"][i].get<int>(), bgr[i], 16) << what << ": " << stat;
}

class VideoMediaEndToEndTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new fs::path(fs::temp_directory_path() /
                        ("lumora-video-media-" + std::to_string(::getpid())));
    fs::create_directories(*dir_);
    ASSERT_EQ(platform::gstreamer::testing::makeRedBlueClip(path("red-blue.webm")), "");
    ASSERT_EQ(platform::gstreamer::testing::makeTwoAudioClip(path("two-audio.webm")), "");
  }
  static void TearDownTestSuite() {
    std::error_code ignored;
    fs::remove_all(*dir_, ignored);
    delete dir_;
  }
  static std::string path(const std::string& name) { return (*dir_ / name).string(); }
  static std::string uri(const std::string& name) { return "file://" + path(name); }

  static HostOptions host() {
    HostOptions o;
    o.executable = testHostExecutable();
    return o;
  }
  static inline fs::path* dir_ = nullptr;
};

// Initialized facts, playing to the end, looping, and paused seeks showing the new frame.
TEST_F(VideoMediaEndToEndTest, RedBlueClipInitializesPlaysLoopsAndSeeks) {
  Host host(VideoMediaEndToEndTest::host());
  const std::string clip = uri("red-blue.webm");
  auto run = runPeer(host, {
                               create(clip),  // player 1, texture 1
                               listen(1),
                               awaitEvents(1, 1),
                               call("seekTo", 1, json::array({1500})),
                               sleepMs(300),
                               textureStats(1),
                               call("seekTo", 1, json::array({500})),
                               sleepMs(300),
                               textureStats(1),
                               call("seekTo", 1, json::array({0})),
                               call("play", 1),
                               sleepMs(2600),
                               create(clip),  // player 2
                               listen(2),
                               awaitEvents(2, 1),
                               call("setLooping", 2, json::array({true})),
                               call("seekTo", 2, json::array({1700})),
                               call("play", 2),
                               sleepMs(900),
                               call("getPosition", 2),
                           });
  ASSERT_EQ(run.exitCode, 0) << run.errors;

  auto first = events(run, 1);
  ASSERT_FALSE(first.empty());
  EXPECT_EQ(first[0]["event"], "initialized") << first[0];
  EXPECT_NEAR(first[0]["duration"].get<double>(), 2000, 34) << first[0];
  EXPECT_EQ(first[0]["width"], 640.0);
  EXPECT_EQ(first[0]["height"], 360.0);
  auto playing = named(first, "isPlayingStateUpdate");
  ASSERT_FALSE(playing.empty());
  EXPECT_EQ(playing[0], (json{{"event", "isPlayingStateUpdate"}, {"isPlaying", true}}));
  EXPECT_EQ(named(first, "completed").size(), 1u) << json(first);

  auto seeks = replies(run, kInstance + "seekTo.1");
  ASSERT_EQ(seeks.size(), 3u);
  auto frames = stats(run);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0]["width"], 640);
  expectPixel(frames[0], {255, 0, 0}, "after seekTo 1500");
  expectPixel(frames[1], {0, 0, 255}, "after seekTo 500");

  // Looping: the end passes without "completed" and playback starts over.
  auto second = events(run, 2);
  EXPECT_TRUE(named(second, "completed").empty()) << json(second);
  auto position = replies(run, kInstance + "getPosition.2");
  ASSERT_EQ(position.size(), 1u);
  EXPECT_LT(position[0][0].get<std::int64_t>(), 1500) << position[0];
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

// Over loopback HTTP with Range: every request carries the creation options' header. A missing
// file fails once, and the host keeps serving.
TEST_F(VideoMediaEndToEndTest, HttpClipCarriesHeadersAndMissingFileFailsOnce) {
  std::string body;
  {
    std::ifstream in(path("red-blue.webm"), std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    body = s.str();
  }
  std::mutex mutex;
  std::vector<std::string> seen;  // the header of each request ("" when absent)
  int ranged = 0;                 // requests for part of the file
  httplib::Server server;
  server.Get("/clip.webm", [&](const httplib::Request& request, httplib::Response& response) {
    {
      std::lock_guard lock(mutex);
      seen.push_back(request.get_header_value("X-Lumora-Token"));
      if (request.has_header("Range")) ++ranged;
    }
    response.set_content(body, "video/webm");
  });
  const int port = server.bind_to_any_port("127.0.0.1");
  std::thread serving([&] { server.listen_after_bind(); });

  Host host(VideoMediaEndToEndTest::host());
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/clip.webm";
  auto run = runPeer(host, {
                               create(url, {{"X-Lumora-Token", "t-42"}}),  // player 1
                               listen(1),
                               awaitEvents(1, 1),  // buffering events may come first
                               sleepMs(1000),
                               call("seekTo", 1, json::array({1700})),
                               call("play", 1),
                               sleepMs(1000),
                               create(uri("no-such-clip.webm")),  // player 2
                               listen(2),
                               awaitEvents(2, 1),
                               sleepMs(300),
                               create(uri("red-blue.webm")),  // player 3
                               listen(3),
                               awaitEvents(3, 1),
                           });
  server.stop();
  serving.join();
  ASSERT_EQ(run.exitCode, 0) << run.errors;

  auto served = events(run, 1);
  auto initialized = named(served, "initialized");
  ASSERT_EQ(initialized.size(), 1u) << json(served);
  EXPECT_NEAR(initialized[0]["duration"].get<double>(), 2000, 34);
  EXPECT_EQ(initialized[0]["width"], 640.0);
  EXPECT_EQ(initialized[0]["height"], 360.0);
  EXPECT_FALSE(named(served, "bufferingUpdate").empty()) << json(served);
  EXPECT_FALSE(named(served, "isPlayingStateUpdate").empty());
  EXPECT_EQ(named(served, "completed").size(), 1u) << json(served);
  {
    std::lock_guard lock(mutex);
    ASSERT_FALSE(seen.empty());
    for (const auto& header : seen)
      EXPECT_EQ(header, "t-42");
  }

  auto failed = events(run, 2);
  ASSERT_EQ(failed.size(), 1u) << json(failed);
  EXPECT_EQ(failed[0]["error"], "VideoError");
  EXPECT_EQ(failed[0]["message"].get<std::string>().rfind("Failed to load video: ", 0), 0u)
      << failed[0];
  auto after = events(run, 3);
  ASSERT_FALSE(after.empty());
  EXPECT_EQ(after[0]["event"], "initialized");
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

TEST_F(VideoMediaEndToEndTest, AudioTracksSelectAndNoVariantsAreListed) {
  Host host(VideoMediaEndToEndTest::host());
  auto run = runPeer(host, {
                               create(uri("two-audio.webm")),
                               listen(1),
                               awaitEvents(1, 1),
                               call("getAudioTracks", 1),
                               call("selectAudioTrack", 1, json::array({1})),
                               call("getAudioTracks", 1),
                               call("getVideoTracks", 1),
                           });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto audio = replies(run, kInstance + "getAudioTracks.1");
  ASSERT_EQ(audio.size(), 2u);
  ASSERT_EQ(audio[0][0].size(), 2u) << audio[0];
  const json& en = audio[0][0][0]["value"];
  const json& fr = audio[0][0][1]["value"];
  EXPECT_EQ(en[0], 0);
  EXPECT_EQ(en[2], "en");
  EXPECT_EQ(en[3], true);
  EXPECT_EQ(fr[0], 1);
  EXPECT_EQ(fr[2], "fr");
  EXPECT_EQ(fr[3], false);
  EXPECT_EQ(audio[1][0][0]["value"][3], false) << audio[1];
  EXPECT_EQ(audio[1][0][1]["value"][3], true) << audio[1];
  // No variants are listed: the track data's variant list is empty.
  auto video = replies(run, kInstance + "getVideoTracks.1");
  ASSERT_EQ(video.size(), 1u);
  EXPECT_EQ(video[0][0]["$ext"], 132) << video[0];
  EXPECT_EQ(video[0][0]["value"][1], json::array()) << video[0];
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

// Views of "plugins.flutter.dev/video_player_ios": two views of one player share it; parameters
// naming no player give an empty view, and the host keeps serving.
TEST_F(VideoMediaEndToEndTest, NativeViewsShowTheNamedPlayer) {
  Host host(VideoMediaEndToEndTest::host());
  const std::string clip = uri("red-blue.webm");
  auto viewOf = [](int id, json params) {
    json arguments{{"id", id}, {"viewType", "plugins.flutter.dev/video_player_ios"}};
    if (!params.is_null()) arguments["params"] = params;
    return json{{"op", "invoke"},
                {"channel", "flutter/platform_views"},
                {"method", "create"},
                {"args", arguments}};
  };
  // The plugin codec's bytes of PlatformVideoViewCreationParams(playerId): type byte 129, then the
  // standard list of one 32-bit integer.
  auto params = [](int playerId) {
    char hex[32];
    std::snprintf(hex, sizeof hex, "810c0103%02x%02x%02x%02x", playerId & 0xff,
                  (playerId >> 8) & 0xff, (playerId >> 16) & 0xff, (playerId >> 24) & 0xff);
    return json{{"$uint8", hex}};
  };
  auto describe = [](int id) {
    return json{{"op", "invoke"},
                {"channel", "lumora_test/engine"},
                {"method", "describePlatformView"},
                {"args", {{"id", id}}}};
  };
  auto run = runPeer(
      host,
      {
          create(clip),  // player 1 (texture)
          send(kApi + "createForPlatformView",
               json::array({{{"$ext", 130}, {"value", json::array({clip, json::object()})}}})),
          viewOf(1, params(2)),
          viewOf(2, params(2)),
          viewOf(3, params(99)),
          viewOf(4, nullptr),
          describe(1),
          describe(2),
          describe(3),
          describe(4),
          call("getPosition", 2),
      });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(replies(run, kApi + "createForPlatformView"), std::vector<json>{json::array({2})});
  auto created = run.withOp("result", "flutter/platform_views");
  ASSERT_EQ(created.size(), 4u) << run.errors;
  for (const auto& line : created)
    EXPECT_TRUE(line["result"].is_null()) << line;
  std::vector<json> described;
  for (const auto& line : run.withOp("result", "lumora_test/engine"))
    described.push_back(line["result"]);
  ASSERT_EQ(described.size(), 4u) << run.errors;
  for (int i : {0, 1}) {
    EXPECT_EQ(described[i]["viewClass"], "FVPNativeVideoView");
    EXPECT_EQ(described[i]["layerClass"], "PlayerLayer");
    EXPECT_EQ(described[i]["uri"], clip);
  }
  for (int i : {2, 3}) {
    EXPECT_EQ(described[i]["viewClass"], "FVPNativeVideoView") << described[i];
    EXPECT_TRUE(described[i]["uri"].is_null()) << described[i];
  }
  EXPECT_EQ(replies(run, kInstance + "getPosition.2").size(), 1u);
  EXPECT_NE(host.log().find("no player 99"), std::string::npos) << host.log();
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

}  // namespace
}  // namespace lumora::e2e
