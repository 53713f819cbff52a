// The video player through lumora-test-host over the scripted media double
// (LUMORA_TEST_MEDIA=scripted): the plugin interface, the per-player channels, the event channel
// and frame delivery into the engine's texture registry. "lumora_test/media" scripts the double
// and reports what the players asked of it.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <unistd.h>

#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

namespace fs = std::filesystem;
using nlohmann::json;

const std::string kApi = "dev.flutter.pigeon.video_player_avfoundation.AVFoundationVideoPlayerApi.";
const std::string kInstance =
    "dev.flutter.pigeon.video_player_avfoundation.VideoPlayerInstanceApi.";
const std::string kEvents = "flutter.dev/videoPlayer/videoEvents";

json options(const std::string& uri, json headers = json::object()) {
  return {{"$ext", 130}, {"value", json::array({uri, headers})}};
}
json send(const std::string& channel, json message, bool noWait = false) {
  json command{{"op", "send"}, {"channel", channel}, {"message", std::move(message)}};
  if (noWait) command["noWait"] = true;
  return command;
}
json create(const std::string& kind, const std::string& uri) {
  return send(kApi + kind, json::array({options(uri)}));
}
json call(const std::string& method, int player, json args = json::array(), bool noWait = false) {
  return send(kInstance + method + "." + std::to_string(player), std::move(args), noWait);
}
json media(const std::string& method, json args) {
  return {{"op", "invoke"}, {"channel", "lumora_test/media"}, {"method", method}, {"args", args}};
}
json listen(int player) {
  return {{"op", "listen"}, {"channel", kEvents + std::to_string(player)}};
}
json cancel(int player) {
  return {{"op", "cancel"}, {"channel", kEvents + std::to_string(player)}};
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

HostOptions videoHost(std::map<std::string, std::string> environment = {}) {
  HostOptions o;
  o.executable = testHostExecutable();
  o.environment = std::move(environment);
  o.environment["LUMORA_TEST_MEDIA"] = "scripted";
  return o;
}

// Every reply on `channel`, in order.
std::vector<json> replies(const PeerRun& run, const std::string& channel) {
  std::vector<json> out;
  for (const auto& line : run.withOp("reply", channel))
    out.push_back(line["reply"]);
  return out;
}
// The results of one method of "lumora_test/media" or "lumora_test/engine", in order.
std::vector<json> results(const PeerRun& run, const std::string& channel,
                          const std::string& method) {
  std::vector<json> out;
  for (const auto& line : run.withOp("result", channel))
    if (line.value("method", "") == method) out.push_back(line["result"]);
  return out;
}
std::vector<json> askedResults(const PeerRun& run) {
  return results(run, "lumora_test/media", "asked");
}
std::vector<json> statsResults(const PeerRun& run) {
  return results(run, "lumora_test/engine", "textureStats");
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

TEST(VideoPlayerEndToEndTest, CreationGivesSharedIdentifiersAndRefusesBadRequests) {
  fs::path bundle =
      fs::temp_directory_path() / ("lumora-video-bundle-" + std::to_string(::getpid()));
  fs::create_directories(bundle / "Resources" / "flutter_assets" / "videos");
  std::ofstream(bundle / "Resources" / "flutter_assets" / "videos" / "present.mp4") << "x";
  Host host(videoHost({{"LUMORA_BUNDLE", bundle.string()}}));
  auto run = runPeer(
      host, {
                create("createForTextureView", "file:///clips/a.mp4"),
                create("createForPlatformView", "file:///clips/b.mp4"),
                create("createForTextureView", "file:///clips/c.mp4"),
                create("createForTextureView", "http://a b"),
                send(kApi + "createForTextureView", json::array()),
                send(kApi + "createForPlatformView", json::array({"file:///not-options.mp4"})),
                create("createForPlatformView", "file:///clips/d.mp4"),
                send(kApi + "getAssetUrl", json::array({"videos/present.mp4", nullptr})),
                send(kApi + "getAssetUrl", json::array({"videos/missing.mp4", nullptr})),
                send(kApi + "getAssetUrl", json::array({"clip.mp4", "some_package"})),
                send(kApi + "setMixWithOthers", json::array({true})),
            });
  fs::remove_all(bundle);
  ASSERT_EQ(run.exitCode, 0) << run.errors;

  auto texture = replies(run, kApi + "createForTextureView");
  ASSERT_EQ(texture.size(), 4u);
  ASSERT_EQ(texture[0][0]["$ext"], 131) << texture[0];
  EXPECT_EQ(texture[0][0]["value"][0], 1);
  EXPECT_TRUE(texture[0][0]["value"][1].is_number_integer());
  EXPECT_EQ(texture[1][0]["value"][0], 3);
  EXPECT_NE(texture[1][0]["value"][1], texture[0][0]["value"][1]);
  EXPECT_EQ(texture[2], json::array({"video_player", "Invalid URI", nullptr}));
  EXPECT_EQ(texture[3][0], "invalid-arguments") << texture[3];

  auto platformView = replies(run, kApi + "createForPlatformView");
  ASSERT_EQ(platformView.size(), 3u);
  EXPECT_EQ(platformView[0], json::array({2}));
  EXPECT_EQ(platformView[1][0], "invalid-arguments") << platformView[1];
  // Neither the bad URI nor the malformed requests consumed an identifier.
  EXPECT_EQ(platformView[2], json::array({4}));

  auto assets = replies(run, kApi + "getAssetUrl");
  ASSERT_EQ(assets.size(), 3u);
  const std::string base = "file://" + bundle.string();
  EXPECT_EQ(assets[0], json::array({base + "/Resources/flutter_assets/videos/present.mp4"}));
  // Not in the bundle: the key still forms a URL under the bundle.
  EXPECT_EQ(assets[1], json::array({base + "/flutter_assets/videos/missing.mp4"}));
  EXPECT_EQ(assets[2], json::array({base + "/flutter_assets/packages/some_package/clip.mp4"}));
  EXPECT_EQ(replies(run, kApi + "setMixWithOthers"), std::vector<json>{json::array({nullptr})});
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

TEST(VideoPlayerEndToEndTest, EventsQueueUntilListenAndCancelDropsThem) {
  Host host(videoHost());
  const std::string uri = "file:///clips/events.mp4";
  auto run = runPeer(
      host,
      {
          media("script", {{"uri", uri}, {"durationMs", 5000}, {"width", 640}, {"height", 360}}),
          create("createForPlatformView", uri),
          call("play", 1),
          media("setBuffering", {{"uri", uri},
                                 {"likelyToKeepUp", false},
                                 {"loadedRanges", json::array({json::array({0, 1500})})}}),
          sleepMs(100),
          listen(1),
          cancel(1),
          // Raised while nobody listens after a cancel: never delivered.
          media("setBuffering",
                {{"uri", uri}, {"likelyToKeepUp", true}, {"loadedRanges", json::array()}}),
          sleepMs(100),
          listen(1),
          media("setBuffering", {{"uri", uri},
                                 {"likelyToKeepUp", false},
                                 {"loadedRanges", json::array({json::array({0, 2500})})}}),
          call("pause", 1),
          sleepMs(200),
      });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  std::vector<json> expected{
      {{"event", "initialized"}, {"duration", 5000}, {"width", 640.0}, {"height", 360.0}},
      {{"event", "isPlayingStateUpdate"}, {"isPlaying", true}},
      {{"event", "bufferingUpdate"}, {"values", json::array({json::array({0, 1500})})}},
      {{"event", "bufferingStart"}},
      // After the second listen: only what was raised from then on.
      {{"event", "bufferingUpdate"}, {"values", json::array({json::array({0, 2500})})}},
      {{"event", "bufferingStart"}},
      {{"event", "isPlayingStateUpdate"}, {"isPlaying", false}},
  };
  EXPECT_EQ(events(run, 1), expected);
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

TEST(VideoPlayerEndToEndTest, FailuresIndefiniteDurationsAndLoopingEnds) {
  Host host(videoHost());
  const std::string failing = "file:///clips/broken.mp4";
  const std::string live = "http://127.0.0.1:9/live.m3u8";
  const std::string looping = "file:///clips/loop.mp4";
  auto run = runPeer(
      host, {
                media("script", {{"uri", failing},
                                 {"status", "failed"},
                                 {"errorDescription", "Cannot Open"},
                                 {"errorReason", "The file is damaged"},
                                 {"underlyingDescription", "Cannot Open"},
                                 {"underlyingReason", "No decoder for the codec"}}),
                media("script", {{"uri", live}, {"indefinite", true}}),
                media("script", {{"uri", looping}, {"durationMs", 3000}}),
                create("createForPlatformView", failing),
                create("createForPlatformView", live),
                create("createForPlatformView", looping),
                listen(1),
                listen(2),
                listen(3),
                call("setLooping", 3, json::array({true})),
                call("play", 3),
                media("playToEnd", {{"uri", looping}}),
                sleepMs(100),
                media("asked", {{"uri", looping}}),
                // A null argument reads as false: looping is off again, so the next end completes.
                call("setLooping", 3, json::array({nullptr})),
                media("playToEnd", {{"uri", looping}}),
                sleepMs(100),
            });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(events(run, 1),
            std::vector<json>({{{"error", "VideoError"},
                                {"message", "Failed to load video: Cannot Open: The file is "
                                            "damaged: No decoder for the codec"}}}));
  auto liveEvents = events(run, 2);
  ASSERT_FALSE(liveEvents.empty());
  EXPECT_EQ(liveEvents[0]["event"], "initialized");
  EXPECT_EQ(liveEvents[0]["duration"], -9223372036854775807LL);

  std::vector<std::string> loopKinds;
  for (const auto& e : events(run, 3))
    loopKinds.push_back(e.value("event", ""));
  EXPECT_EQ(loopKinds,
            (std::vector<std::string>{"initialized", "isPlayingStateUpdate", "completed"}));
  auto asked = askedResults(run);
  ASSERT_EQ(asked.size(), 1u);
  // The looping end sought the item back to 0 and left the rate alone.
  EXPECT_EQ(asked[0]["itemSeeks"], json::array({0}));
  // Paused when it became ready, then played; the end asked no rate.
  EXPECT_EQ(asked[0]["rates"], json::array({0.0, 1.0}));
  EXPECT_EQ(asked[0]["actionAtItemEnd"], "none");
  EXPECT_EQ(replies(run, kInstance + "setLooping.3"),
            (std::vector<json>{json::array({nullptr}), json::array({nullptr})}));
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

TEST(VideoPlayerEndToEndTest, PerPlayerChannelsDriveTheMediaLayer) {
  Host host(videoHost());
  const std::string uri = "file:///clips/turned.mov";
  auto run = runPeer(
      host,
      {
          media("script",
                {{"uri", uri},
                 {"status", "pending"},
                 {"durationMs", 5000},
                 {"width", 1080},
                 {"height", 1920},
                 {"canPlayFastForward", false},
                 {"holdSeeks", true},
                 {"transform", json::array({0, 1, -1, 0, 0, 0})},
                 {"naturalWidth", 1920},
                 {"naturalHeight", 1080},
                 {"audioOptions",
                  json::array(
                      {{{"displayName", "English"}, {"languageCode", "en"}, {"title", "Main"}},
                       {{"displayName", "Français"}, {"languageCode", "fr"}}})},
                 {"variants", json::array({{{"peakBitRate", 2000000},
                                            {"width", 1920},
                                            {"height", 1080},
                                            {"frameRate", 30.0},
                                            {"codecs", json::array({"hvc1"})}},
                                           {{"peakBitRate", 500000}}})}}),
          create("createForTextureView", uri),
          call("setPlaybackSpeed", 1, json::array({3.0})),
          call("play", 1),
          media("asked", {{"uri", uri}}),  // 0: nothing asked before ready
          media("setStatus", {{"uri", uri}, {"status", "ready"}}),
          sleepMs(100),
          media("asked", {{"uri", uri}}),  // 1: the capped rate once ready
          call("setVolume", 1, json::array({1.7})),
          call("setVolume", 1, json::array({-0.2})),
          call("setVolume", 1, json::array({nullptr})),
          call("setVolume", 1, json::array({"loud"})),
          call("setVolume", 1, json::array()),
          call("seekTo", 1, json::array({5000}), true),
          call("seekTo", 1, json::array({1200}), true),
          media("asked", {{"uri", uri}}),  // 2: both seeks asked, neither answered yet
          media("completeSeeks", {{"uri", uri}}),
          sleepMs(100),
          call("selectAudioTrack", 1, json::array({-1})),
          call("selectAudioTrack", 1, json::array({2})),
          call("getAudioTracks", 1),
          call("selectAudioTrack", 1, json::array({1})),
          call("getAudioTracks", 1),
          call("selectVideoTrack", 1, json::array({1850000})),
          call("getVideoTracks", 1),
          call("selectVideoTrack", 1, json::array({1790000})),
          call("getVideoTracks", 1),
          media("asked", {{"uri", uri}}),  // 3
          call("dispose", 1),
          call("play", 1),
          textureStats(1),
      });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  auto asked = askedResults(run);
  ASSERT_EQ(asked.size(), 4u);
  EXPECT_EQ(asked[0]["rates"], json::array());
  EXPECT_EQ(asked[0]["outputsAttached"], 0);
  EXPECT_EQ(asked[1]["rates"], json::array({2.0}));
  EXPECT_EQ(asked[1]["outputsAttached"], 1);
  EXPECT_EQ(asked[1]["outputSettings"]["PixelFormatType"], 1111970369);
  ASSERT_EQ(asked[1]["compositions"].size(), 1u);
  const auto& composition = asked[1]["compositions"][0];
  EXPECT_EQ(composition["renderWidth"], 1080.0);
  EXPECT_EQ(composition["renderHeight"], 1920.0);
  EXPECT_EQ(composition["transform"], json::array({0.0, 1.0, -1.0, 0.0, 1080.0, 0.0}));

  EXPECT_EQ(asked[2]["volumes"], json::array({1.0, 0.0, 0.0}));
  auto volumeReplies = replies(run, kInstance + "setVolume.1");
  ASSERT_EQ(volumeReplies.size(), 5u);
  EXPECT_EQ(volumeReplies[3][0], "invalid-arguments");
  EXPECT_EQ(volumeReplies[4][0], "invalid-arguments");
  EXPECT_EQ(asked[2]["seeks"],
            json::array({{{"timeMs", 5000}, {"toleranceBeforeMs", 1}, {"toleranceAfterMs", 1}},
                         {{"timeMs", 1200}, {"toleranceBeforeMs", 0}, {"toleranceAfterMs", 0}}}));
  // The seeks were answered only after the double completed them.
  std::size_t completedAt = 0, firstSeekReply = 0;
  for (std::size_t i = 0; i < run.lines.size(); ++i) {
    if (run.lines[i].value("method", "") == "completeSeeks" && !completedAt) completedAt = i;
    if (run.lines[i].value("channel", "") == kInstance + "seekTo.1" && !firstSeekReply)
      firstSeekReply = i;
  }
  EXPECT_LT(completedAt, firstSeekReply);
  EXPECT_EQ(replies(run, kInstance + "seekTo.1").size(), 2u);

  auto audio = replies(run, kInstance + "getAudioTracks.1");
  ASSERT_EQ(audio.size(), 2u);
  EXPECT_EQ(audio[0][0][0], (json{{"$ext", 129}, {"value", {0, "English", "en", true, "Main"}}}));
  EXPECT_EQ(audio[0][0][1],
            (json{{"$ext", 129}, {"value", {1, "Français", "fr", false, nullptr}}}));
  EXPECT_EQ(audio[1][0][1]["value"][3], true);
  EXPECT_EQ(asked[3]["audioSelections"], json::array({1}));

  auto video = replies(run, kInstance + "getVideoTracks.1");
  ASSERT_EQ(video.size(), 2u);
  const json selectedVariant = {{"$ext", 130},
                                {"value", {0, "1080p", 2000000, 1920, 1080, 30.0, "hevc", true}}};
  const json bareVariant = {
      {"$ext", 130}, {"value", {1, nullptr, 500000, nullptr, nullptr, nullptr, nullptr, false}}};
  EXPECT_EQ(video[0],
            json::array({{{"$ext", 132},
                          {"value", {nullptr, json::array({selectedVariant, bareVariant})}}}}));
  EXPECT_EQ(video[1][0]["value"][1][0]["value"][7], false);

  EXPECT_EQ(replies(run, kInstance + "dispose.1"), std::vector<json>{json::array({nullptr})});
  auto plays = run.withOp("reply", kInstance + "play.1");
  ASSERT_EQ(plays.size(), 2u);
  EXPECT_EQ(plays[1].value("empty", false), true) << plays[1];
  auto stats = statsResults(run);
  ASSERT_EQ(stats.size(), 1u);
  EXPECT_EQ(stats[0]["registered"], false);
  EXPECT_EQ(asked.back()["liveItems"], 1);  // the last "asked" came before dispose
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

TEST(VideoPlayerEndToEndTest, InitializeDisposesEveryPlayerAndVideoTracksNeedVersion12) {
  Host host(videoHost({{"LUMORA_OS_VERSION", "11.0"}}));
  const std::string uri = "file:///clips/old.mp4";
  auto run = runPeer(host, {
                               create("createForTextureView", uri),
                               create("createForPlatformView", uri),
                               call("getVideoTracks", 2),
                               send(kApi + "initialize", json::array()),
                               call("play", 1),
                               call("play", 2),
                               textureStats(1),
                               create("createForPlatformView", uri),
                               media("asked", {{"uri", uri}}),
                           });
  ASSERT_EQ(run.exitCode, 0) << run.errors;
  EXPECT_EQ(replies(run, kInstance + "getVideoTracks.2"),
            std::vector<json>{json::array({nullptr})});
  EXPECT_EQ(replies(run, kApi + "initialize"), std::vector<json>{json::array({nullptr})});
  for (const char* channel : {"play.1", "play.2"}) {
    auto lines = run.withOp("reply", kInstance + channel);
    ASSERT_EQ(lines.size(), 1u) << channel;
    EXPECT_EQ(lines[0].value("empty", false), true) << channel;
  }
  ASSERT_EQ(statsResults(run).size(), 1u);
  EXPECT_EQ(statsResults(run)[0]["registered"], false);
  // Identifiers continue after "initialize".
  EXPECT_EQ(replies(run, kApi + "createForPlatformView"),
            (std::vector<json>{json::array({2}), json::array({3})}));
  auto asked = askedResults(run);
  ASSERT_EQ(asked.size(), 1u);
  EXPECT_EQ(asked[0]["itemsReleased"], 2);
  EXPECT_EQ(asked[0]["livePlayers"], 1);
  EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
}

TEST(VideoPlayerEndToEndTest, TextureFramesFlowWhilePlayingAndStopAfterPause) {
  for (const char* version : {"13.6", "14.0"}) {
    SCOPED_TRACE(version);
    Host host(videoHost({{"LUMORA_OS_VERSION", version}}));
    const std::string uri = "file:///clips/frames.mp4";
    auto run = runPeer(host, {
                                 media("script", {{"uri", uri},
                                                  {"width", 32},
                                                  {"height", 18},
                                                  {"color", json::array({10, 20, 30})}}),
                                 create("createForTextureView", uri),
                                 call("play", 1),
                                 sleepMs(400),
                                 textureStats(1),
                                 sleepMs(300),
                                 textureStats(1),
                                 call("pause", 1),
                                 sleepMs(200),
                                 textureStats(1),
                                 sleepMs(400),
                                 textureStats(1),
                             });
    ASSERT_EQ(run.exitCode, 0) << run.errors;
    auto texture = replies(run, kApi + "createForTextureView");
    ASSERT_EQ(texture.size(), 1u);
    ASSERT_EQ(texture[0][0]["value"][1], 1) << "the first texture of the host";
    auto stats = statsResults(run);
    ASSERT_EQ(stats.size(), 4u);
    EXPECT_GT(stats[0]["framesPulled"].get<std::int64_t>(), 0) << stats[0];
    EXPECT_EQ(stats[0]["width"], 32);
    EXPECT_EQ(stats[0]["height"], 18);
    EXPECT_EQ(stats[0]["firstPixel"], json::array({10, 20, 30, 255}));
    EXPECT_GT(stats[1]["framesPulled"].get<std::int64_t>(),
              stats[0]["framesPulled"].get<std::int64_t>());
    EXPECT_EQ(stats[3]["framesPulled"], stats[2]["framesPulled"]) << "pulls after pause";
    EXPECT_FALSE(host.logHasSanitizerReport()) << host.log();
  }
}

}  // namespace
}  // namespace lumora::e2e
