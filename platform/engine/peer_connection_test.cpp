#include "platform/engine/peer_connection.h"

#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "platform/dispatch/main_loop.h"
#include "platform/engine/channels.h"
#include "platform/engine/engine.h"

namespace flutter {
namespace {

using platform::Bytes;
using platform::MainLoop;
using platform::Value;

Bytes frameBytes(PeerFrameKind kind, std::uint32_t id, const std::string& channel,
                 const Bytes& payload) {
  Bytes out;
  encodePeerFrame(PeerFrame{kind, id, channel, payload}, out);
  return out;
}

TEST(PeerFrameTest, EncodesTheWireLayout) {
  Bytes bytes = frameBytes(PeerFrameKind::Message, 0x01020304, "ab", Bytes{9});
  const Bytes expected = {10, 0, 0, 0, 1, 4, 3, 2, 1, 2, 0, 'a', 'b', 9};
  EXPECT_EQ(bytes, expected);
}

TEST(PeerFrameTest, ParsesCompletePartialAndMalformedFrames) {
  Bytes good = frameBytes(PeerFrameKind::Reply, 7, "", Bytes{1, 2});
  struct Case {
    const char* name;
    Bytes bytes;
    PeerFrameParse expected;
  };
  const Case cases[] = {
      {"complete reply", good, PeerFrameParse::Complete},
      {"length only", Bytes(good.begin(), good.begin() + 4), PeerFrameParse::NeedMore},
      {"missing payload byte", Bytes(good.begin(), good.end() - 1), PeerFrameParse::NeedMore},
      {"length shorter than the header", Bytes{6, 0, 0, 0, 1, 0, 0, 0, 0, 0},
       PeerFrameParse::Malformed},
      {"length beyond the limit", Bytes{0xff, 0xff, 0xff, 0x7f, 1}, PeerFrameParse::Malformed},
      {"unknown kind", Bytes{7, 0, 0, 0, 3, 0, 0, 0, 0, 0, 0}, PeerFrameParse::Malformed},
      {"name longer than the frame", Bytes{7, 0, 0, 0, 1, 0, 0, 0, 0, 5, 0},
       PeerFrameParse::Malformed},
      {"reply with a name", frameBytes(PeerFrameKind::Reply, 1, "x", {}),
       PeerFrameParse::Malformed},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PeerFrame frame;
    std::size_t consumed = 0;
    EXPECT_EQ(parsePeerFrame(c.bytes.data(), c.bytes.size(), frame, consumed), c.expected);
  }
  PeerFrame frame;
  std::size_t consumed = 0;
  Bytes two = good;
  two.insert(two.end(), good.begin(), good.end());
  ASSERT_EQ(parsePeerFrame(two.data(), two.size(), frame, consumed), PeerFrameParse::Complete);
  EXPECT_EQ(consumed, good.size());
  EXPECT_EQ(frame.id, 7u);
  EXPECT_EQ(frame.payload, (Bytes{1, 2}));
}

// A raw client of the engine socket; pumps the main loop while it waits, since the host's
// handlers run there.
class RawPeer {
 public:
  explicit RawPeer(const std::string& path) {
    fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
  }
  ~RawPeer() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return connected_; }
  void write(const Bytes& bytes) {
    ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), 0), ssize_t(bytes.size()));
  }
  // The next frame, or nullopt when the host closed the connection or nothing came in time.
  std::optional<PeerFrame> read(bool* closed = nullptr) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (std::chrono::steady_clock::now() < deadline) {
      PeerFrame frame;
      std::size_t consumed = 0;
      if (parsePeerFrame(buffer_.data(), buffer_.size(), frame, consumed) ==
          PeerFrameParse::Complete) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + consumed);
        return frame;
      }
      MainLoop::instance().drain();
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 1) <= 0) continue;
      std::uint8_t chunk[4096];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) {
        if (closed) *closed = true;
        return std::nullopt;
      }
      buffer_.insert(buffer_.end(), chunk, chunk + n);
    }
    return std::nullopt;
  }

 private:
  int fd_ = -1;
  bool connected_ = false;
  Bytes buffer_;
};

class PeerConnectionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir =
        std::filesystem::temp_directory_path() / ("lumora-peer-test-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    path = (dir / "engine.sock").string();
    engine = Engine::create(DartProject({"lumora", "--engine-socket", path}));
    ASSERT_TRUE(engine->run());
    BasicMessageChannel("echo", engine)
        .setMessageHandler([](const Value& message, MessageReply reply) { reply(message); });
  }
  void TearDown() override {
    engine->shutDown();
    MainLoop::instance().drain();
    std::filesystem::remove_all(dir);
  }

  std::filesystem::path dir;
  std::string path;
  EnginePtr engine;
};

TEST_F(PeerConnectionTest, RelaysMessagesAndRepliesBothWays) {
  struct stat st;
  ASSERT_EQ(::stat(path.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  RawPeer peer(path);
  ASSERT_TRUE(peer.connected());
  auto codec = StandardMessageCodec::sharedInstance();
  peer.write(frameBytes(PeerFrameKind::Message, 41, "echo", codec->encode(Value("hi"))));
  peer.write(frameBytes(PeerFrameKind::Message, 42, "unhandled", Bytes{1}));
  auto first = peer.read();
  auto second = peer.read();
  ASSERT_TRUE(first && second);
  EXPECT_EQ(first->kind, PeerFrameKind::Reply);
  EXPECT_EQ(first->id, 41u);
  EXPECT_EQ(codec->decode(first->payload), Value("hi"));
  EXPECT_EQ(second->id, 42u);
  EXPECT_TRUE(second->payload.empty());

  // Host to application: the peer's reply reaches the sender's callback.
  while (!engine->isPeerConnected())
    MainLoop::instance().drain();
  std::optional<Bytes> hostGot;
  engine->sendOnChannel("to.app", Bytes{5}, [&](const Bytes& reply) { hostGot = reply; });
  auto incoming = peer.read();
  ASSERT_TRUE(incoming);
  EXPECT_EQ(incoming->kind, PeerFrameKind::Message);
  EXPECT_EQ(incoming->channel, "to.app");
  EXPECT_EQ(incoming->payload, Bytes{5});
  peer.write(frameBytes(PeerFrameKind::Reply, incoming->id, "", Bytes{6}));
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!hostGot && std::chrono::steady_clock::now() < deadline)
    MainLoop::instance().drain();
  EXPECT_EQ(hostGot, Bytes{6});
}

TEST_F(PeerConnectionTest, MalformedFrameClosesOnlyThatConnection) {
  {
    RawPeer bad(path);
    ASSERT_TRUE(bad.connected());
    bad.write(Bytes{7, 0, 0, 0, 9, 0, 0, 0, 0, 0, 0});
    bool closed = false;
    EXPECT_FALSE(bad.read(&closed).has_value());
    EXPECT_TRUE(closed);
  }
  RawPeer good(path);
  ASSERT_TRUE(good.connected());
  good.write(frameBytes(PeerFrameKind::Message, 1, "echo",
                        StandardMessageCodec::sharedInstance()->encode(Value(1))));
  auto reply = good.read();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->id, 1u);
}

TEST_F(PeerConnectionTest, PendingHostMessagesGetTheEmptyReplyWhenThePeerLeaves) {
  std::optional<Bytes> hostGot;
  {
    RawPeer peer(path);
    ASSERT_TRUE(peer.connected());
    while (!engine->isPeerConnected())
      MainLoop::instance().drain();
    engine->sendOnChannel("to.app", Bytes{5}, [&](const Bytes& reply) { hostGot = reply; });
    ASSERT_TRUE(peer.read());
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!hostGot && std::chrono::steady_clock::now() < deadline)
    MainLoop::instance().drain();
  ASSERT_TRUE(hostGot.has_value());
  EXPECT_TRUE(hostGot->empty());

  // And with nobody connected the empty reply comes at once.
  std::optional<Bytes> noPeer;
  while (engine->isPeerConnected())
    MainLoop::instance().drain();
  engine->sendOnChannel("to.app", Bytes{5}, [&](const Bytes& reply) { noPeer = reply; });
  MainLoop::instance().drain();
  ASSERT_TRUE(noPeer.has_value());
  EXPECT_TRUE(noPeer->empty());
}

TEST_F(PeerConnectionTest, RefusesToReplaceAFileThatIsNotASocket) {
  std::string plain = (dir / "plain").string();
  {
    std::FILE* f = std::fopen(plain.c_str(), "w");
    std::fclose(f);
  }
  PeerConnection connection(plain, [](std::string, Bytes, BinaryReply reply) { reply({}); });
  EXPECT_FALSE(connection.start());
  EXPECT_TRUE(std::filesystem::is_regular_file(plain));
}

}  // namespace
}  // namespace flutter
