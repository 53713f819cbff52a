#include "platform/gstreamer/testing/media_fixtures.h"

#include <gst/gst.h>

namespace platform::gstreamer::testing {

namespace {

std::string runToEnd(const std::string& description) {
  if (!gst_is_initialized()) gst_init(nullptr, nullptr);
  GError* error = nullptr;
  GstElement* pipeline = gst_parse_launch(description.c_str(), &error);
  if (!pipeline || error) {
    std::string why = error ? error->message : "the fixture pipeline does not parse";
    g_clear_error(&error);
    if (pipeline) gst_object_unref(pipeline);
    return why;
  }
  std::string result;
  gst_element_set_state(pipeline, GST_STATE_PLAYING);
  GstBus* bus = gst_element_get_bus(pipeline);
  GstMessage* message = gst_bus_timed_pop_filtered(
      bus, 120 * GST_SECOND, static_cast<GstMessageType>(GST_MESSAGE_EOS | GST_MESSAGE_ERROR));
  if (!message) {
    result = "the fixture pipeline did not finish";
  } else if (GST_MESSAGE_TYPE(message) == GST_MESSAGE_ERROR) {
    GError* failure = nullptr;
    gst_message_parse_error(message, &failure, nullptr);
    result = failure ? failure->message : "the fixture pipeline failed";
    g_clear_error(&failure);
  }
  if (message) gst_message_unref(message);
  gst_object_unref(bus);
  gst_element_set_state(pipeline, GST_STATE_NULL);
  gst_object_unref(pipeline);
  return result;
}

std::string videoCaps(int width, int height) {
  return "video/x-raw,format=I420,width=" + std::to_string(width) +
         ",height=" + std::to_string(height) + ",framerate=30/1";
}

std::string quoted(const std::string& path) {
  std::string out = "\"";
  for (char c : path) {
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

}  // namespace

std::string makeRedBlueClip(const std::string& path) {
  const std::string caps = videoCaps(640, 360);
  return runToEnd(
      "concat name=c ! vp8enc deadline=1 ! webmmux name=m ! filesink location=" + quoted(path) +
      " videotestsrc pattern=red num-buffers=30 ! " + caps + " ! c." +
      " videotestsrc pattern=blue num-buffers=30 ! " + caps + " ! c." +
      " audiotestsrc num-buffers=20 samplesperbuffer=4410 ! audio/x-raw,rate=44100,channels=1"
      " ! audioconvert ! vorbisenc ! m.");
}

std::string makeTwoAudioClip(const std::string& path) {
  auto audio = [](const char* freq, const char* tags) {
    return std::string(" audiotestsrc freq=") + freq +
           " num-buffers=10 samplesperbuffer=4410 ! audio/x-raw,rate=44100,channels=1"
           " ! taginject tags=\"" +
           tags + "\" ! audioconvert ! vorbisenc ! m.";
  };
  return runToEnd("webmmux name=m ! filesink location=" + quoted(path) +
                  " videotestsrc num-buffers=30 ! " + videoCaps(320, 180) +
                  " ! vp8enc deadline=1 ! m." + audio("440", "language-code=en,title=English") +
                  audio("880", "language-code=fr,title=French"));
}

std::string makeVideoOnlyClip(const std::string& path, int seconds) {
  return runToEnd("videotestsrc pattern=ball num-buffers=" + std::to_string(seconds * 30) + " ! " +
                  videoCaps(640, 360) +
                  " ! vp8enc deadline=1 ! webmmux ! filesink location=" + quoted(path));
}

}  // namespace platform::gstreamer::testing
