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
#include <thread>

#include "platform/dispatch/main_loop.h"
#include "platform/dispatch/test_environment.h"
#include "platform/engine/channels.h"
#include "platform/engine/engine.h"
#include "platform/log/log.h"

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
  int fd() const { return fd_; }
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
  EXPECT_EQ(connection.failureReason(), "the path exists and is not a socket");
  EXPECT_TRUE(std::filesystem::is_regular_file(plain));
}

bool waitUntil(const std::function<bool()>& condition) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!condition()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    MainLoop::instance().drain();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
}

// Sends one echo request and checks its answer.
void expectServed(RawPeer& peer, std::uint32_t id) {
  auto codec = StandardMessageCodec::sharedInstance();
  peer.write(frameBytes(PeerFrameKind::Message, id, "echo", codec->encode(Value("ping"))));
  auto reply = peer.read();
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->kind, PeerFrameKind::Reply);
  EXPECT_EQ(reply->id, id);
  EXPECT_EQ(codec->decode(reply->payload), Value("ping"));
}

TEST_F(PeerConnectionTest, ASecondPeerIsRefusedWithAReasonAndTheFirstKeepsItsSession) {
  platform::ScopedLogCapture log;
  RawPeer first(path);
  ASSERT_TRUE(first.connected());
  expectServed(first, 1);

  RawPeer second(path);
  ASSERT_TRUE(second.connected());
  auto refusal = second.read();
  ASSERT_TRUE(refusal);
  EXPECT_EQ(refusal->kind, PeerFrameKind::Message);
  EXPECT_EQ(refusal->channel, kPeerRefusedChannel);
  EXPECT_EQ(std::string(refusal->payload.begin(), refusal->payload.end()),
            "another peer is connected to this host");
  bool closed = false;
  EXPECT_FALSE(second.read(&closed));
  EXPECT_TRUE(closed);
  EXPECT_EQ(log.count("refused a second peer"), 1u);

  expectServed(first, 2);
}

TEST_F(PeerConnectionTest, SocketFileOwnership) {
  auto sink = [](std::string, Bytes, BinaryReply reply) { reply({}); };
  {
    SCOPED_TRACE("a live host's path is refused and that host keeps serving");
    PeerConnection intruder(path, sink);
    EXPECT_FALSE(intruder.start());
    EXPECT_EQ(intruder.failureReason(), "another host is listening there");
    intruder.stop();
    EXPECT_TRUE(std::filesystem::exists(path));
    RawPeer peer(path);
    ASSERT_TRUE(peer.connected());
    expectServed(peer, 1);
  }
  std::string stalePath = (dir / "stale.sock").string();
  {
    SCOPED_TRACE("a stale socket is replaced");
    // A socket file whose listener is gone, as a killed host leaves it.
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", stalePath.c_str());
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
    ::close(fd);
    PeerConnection connection(stalePath, sink);
    ASSERT_TRUE(connection.start()) << connection.failureReason();
    RawPeer peer(stalePath);
    EXPECT_TRUE(peer.connected());
  }
  {
    SCOPED_TRACE("at stop the file is removed only while it is still ours");
    PeerConnection mine(stalePath, sink);
    ASSERT_TRUE(mine.start());
    // Someone else's socket now stands at the path.
    std::filesystem::remove(stalePath);
    PeerConnection theirs(stalePath, sink);
    ASSERT_TRUE(theirs.start());
    mine.stop();
    EXPECT_TRUE(std::filesystem::exists(stalePath));
    theirs.stop();
    EXPECT_FALSE(std::filesystem::exists(stalePath));
  }
}

TEST_F(PeerConnectionTest, APeerThatDoesNotReadIsCutOffWithoutStallingTheHost) {
  platform::ScopedLogCapture log;
  {
    RawPeer idle(path);
    ASSERT_TRUE(idle.connected());
    // Echo replies far beyond the outgoing limit; the peer reads none of them. The host reads
    // every request meanwhile, so these writes complete.
    auto codec = StandardMessageCodec::sharedInstance();
    const Bytes request =
        frameBytes(PeerFrameKind::Message, 0, "echo", codec->encode(Value(std::string(8192, 'x'))));
    const std::size_t count = 3 * kPeerOutgoingLimit / request.size();
    Bytes all;
    for (std::size_t i = 0; i < count; ++i)
      all.insert(all.end(), request.begin(), request.end());
    std::thread writer([&] {
      std::size_t done = 0;
      while (done < all.size()) {
        ssize_t n = ::send(idle.fd(), all.data() + done, all.size() - done, MSG_NOSIGNAL);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
      }
    });
    // The main loop answers every request and never blocks on the peer.
    EXPECT_TRUE(waitUntil([&] { return engine->isPeerConnected(); }));
    EXPECT_TRUE(waitUntil([&] { return !engine->isPeerConnected(); }));
    writer.join();
  }
  EXPECT_EQ(log.count("peer disconnected: the peer is not reading"), 1u);
  RawPeer next(path);
  ASSERT_TRUE(next.connected());
  expectServed(next, 7);
}

TEST_F(PeerConnectionTest, RunUntilIdleWaitsForAHostMessageThePeerHasNotAnswered) {
  RawPeer peer(path);
  ASSERT_TRUE(peer.connected());
  ASSERT_TRUE(waitUntil([&] { return engine->isPeerConnected(); }));
  platform::TestEnvironment env;
  std::optional<Bytes> hostGot;
  engine->sendOnChannel("to.app", Bytes{5}, [&](const Bytes& reply) { hostGot = reply; });
  // A slow application: it answers a while after the message came in.
  std::thread app([&] {
    Bytes buffer(64);
    ssize_t n = ::recv(peer.fd(), buffer.data(), buffer.size(), 0);
    ASSERT_GT(n, 0);
    PeerFrame frame;
    std::size_t consumed = 0;
    ASSERT_EQ(parsePeerFrame(buffer.data(), std::size_t(n), frame, consumed),
              PeerFrameParse::Complete);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    peer.write(frameBytes(PeerFrameKind::Reply, frame.id, "", Bytes{6}));
  });
  env.runUntilIdle();
  EXPECT_EQ(hostGot, Bytes{6});
  app.join();
}

}  // namespace
}  // namespace flutter
