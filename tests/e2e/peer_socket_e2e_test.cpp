// The host as a peer and a second host meet it: start-up failures, socket ownership, a second
// peer, a peer that stops reading, and what the host says about ignored settings.
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "platform/engine/peer_connection.h"
#include "tests/e2e/e2e_harness.h"

namespace lumora::e2e {
namespace {

using nlohmann::json;
using Clock = std::chrono::steady_clock;

// Sanitizer builds run the host several times slower.
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kSlowdown = 5;
#else
constexpr double kSlowdown = 1;
#endif

json send(const std::string& channel, json message) {
  return json{{"op", "send"}, {"channel", channel}, {"message", std::move(message)}};
}

// A folder of the test's own for socket paths the host must not be able to use.
class Scratch {
 public:
  Scratch() {
    char pattern[] = "/tmp/lumora-e2e-scratch-XXXXXX";
    if (::mkdtemp(pattern)) path_ = pattern;
  }
  ~Scratch() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// An application-side connection driven frame by frame, for what lumora-peer would not do
// (hold a session open, never read).
class RawClient {
 public:
  explicit RawClient(const std::string& path) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof(address.sun_path), "%s", path.c_str());
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      fd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
      if (::connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return;
      ::close(fd_);
      fd_ = -1;
      ::usleep(10000);
    }
  }
  ~RawClient() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool connected() const { return fd_ >= 0; }
  bool write(const platform::Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n <= 0) return false;
      done += static_cast<std::size_t>(n);
    }
    return true;
  }
  bool sendMessage(std::uint32_t id, const std::string& channel) {
    platform::Bytes frame;
    flutter::encodePeerFrame({flutter::PeerFrameKind::Message, id, channel, {}}, frame);
    return write(frame);
  }
  // The next frame from the host, or none when it closed or nothing came within 10 s.
  std::optional<flutter::PeerFrame> read() {
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < deadline) {
      flutter::PeerFrame frame;
      std::size_t consumed = 0;
      if (flutter::parsePeerFrame(buffer_.data(), buffer_.size(), frame, consumed) ==
          flutter::PeerFrameParse::Complete) {
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(consumed));
        return frame;
      }
      pollfd p{fd_, POLLIN, 0};
      if (::poll(&p, 1, 50) <= 0) continue;
      std::uint8_t chunk[4096];
      ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
      if (n <= 0) return std::nullopt;
      buffer_.insert(buffer_.end(), chunk, chunk + n);
    }
    return std::nullopt;
  }

 private:
  int fd_ = -1;
  platform::Bytes buffer_;
};

bool serves(const Host& host) {
  auto run = runPeer(host, {send("no.such.channel", "ping")});
  return run.exitCode == 0 && run.withOp("reply", "no.such.channel").size() == 1;
}

TEST(PeerSocketEndToEndTest, ASocketThatCannotBeOpenedEndsTheHostAtOnceWithTheReason) {
  Scratch scratch;
  const std::string file = (scratch.path() / "plain-file").string();
  std::ofstream(file) << "not a socket";
  struct Case {
    const char* name;
    std::string socket;
    const char* reason;
  };
  const Case cases[] = {
      {"missing folder", (scratch.path() / "missing" / "engine.sock").string(),
       "its folder does not exist"},
      {"over-long path", (scratch.path() / std::string(120, 'x')).string(),
       "bytes long, the limit is 107"},
      {"regular file", file, "the path exists and is not a socket"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Host host({}, c.socket);
    EXPECT_EQ(host.waitForExit(10 * kSlowdown), 1) << host.log();
    auto lines = host.logLines("cannot listen on the engine socket");
    ASSERT_EQ(lines.size(), 1u) << host.log();
    EXPECT_NE(lines[0].find("<Error>"), std::string::npos) << lines[0];
    EXPECT_NE(lines[0].find(c.reason), std::string::npos) << lines[0];
    // Nothing launched: no plugin was registered.
    EXPECT_TRUE(host.logLines("registered plugin").empty()) << host.log();
  }
  EXPECT_TRUE(std::filesystem::is_regular_file(file));

  // An empty path is a wrong command line, not "no socket".
  Host emptyFlag(HostOptions{hostExecutable(), {"--engine-socket="}, {}});
  EXPECT_EQ(emptyFlag.waitForExit(10 * kSlowdown), 2) << emptyFlag.log();
  EXPECT_EQ(emptyFlag.logLines("cannot start: --engine-socket needs a socket path").size(), 1u)
      << emptyFlag.log();
}

TEST(PeerSocketEndToEndTest, ASecondHostOnALiveHostsPathExitsAndTheFirstKeepsServing) {
  Host first;
  ASSERT_TRUE(serves(first)) << first.log();
  {
    Host second({}, first.socketPath());
    EXPECT_EQ(second.waitForExit(10 * kSlowdown), 1) << second.log();
    EXPECT_EQ(second.logLines("another host is listening there").size(), 1u) << second.log();
  }
  EXPECT_TRUE(std::filesystem::exists(first.socketPath()));
  EXPECT_TRUE(serves(first)) << first.log();
  EXPECT_EQ(first.stop(SIGTERM), 0) << first.log();
  EXPECT_FALSE(std::filesystem::exists(first.socketPath()));
}

TEST(PeerSocketEndToEndTest, AHostKilledWithSigkillLeavesASocketTheNextHostReplaces) {
  Host killed;
  ASSERT_TRUE(serves(killed)) << killed.log();
  killed.stop(SIGKILL);
  ASSERT_TRUE(std::filesystem::exists(killed.socketPath()));
  Host next({}, killed.socketPath());
  EXPECT_TRUE(serves(next)) << next.log();
  EXPECT_EQ(next.logLines("replacing the stale socket").size(), 1u) << next.log();
  EXPECT_EQ(next.stop(SIGTERM), 0) << next.log();
}

TEST(PeerSocketEndToEndTest, ASecondPeerIsRefusedAtOnceAndTheFirstKeepsItsSession) {
  Host host;
  RawClient first(host.socketPath());
  ASSERT_TRUE(first.connected());
  ASSERT_TRUE(first.sendMessage(1, "no.such.channel"));
  auto reply = first.read();
  ASSERT_TRUE(reply) << host.log();
  EXPECT_EQ(reply->id, 1u);

  auto start = Clock::now();
  auto second = runPeer(host, {send("no.such.channel", "ping")});
  EXPECT_LT(Clock::now() - start, std::chrono::duration<double>(5 * kSlowdown));
  EXPECT_EQ(second.exitCode, 2);
  EXPECT_NE(second.errors.find("the host refused the connection: another peer is connected"),
            std::string::npos)
      << second.errors;
  ASSERT_EQ(second.withOp("refused").size(), 1u) << json(second.lines).dump();
  EXPECT_TRUE(second.withOp("reply").empty());
  EXPECT_EQ(host.logLines("refused a second peer").size(), 1u) << host.log();

  ASSERT_TRUE(first.sendMessage(2, "no.such.channel"));
  reply = first.read();
  ASSERT_TRUE(reply) << host.log();
  EXPECT_EQ(reply->id, 2u);
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

TEST(PeerSocketEndToEndTest, APeerThatSendsTenThousandRequestsAndReadsNothingDoesNotStallTheHost) {
  Host host;
  RawClient idle(host.socketPath());
  ASSERT_TRUE(idle.connected());
  platform::Bytes requests;
  for (std::uint32_t id = 1; id <= 10000; ++id)
    flutter::encodePeerFrame({flutter::PeerFrameKind::Message, id, "no.such.channel", {}},
                             requests);
  // The host may cut the idle peer off before it has written everything.
  idle.write(requests);
  // The idle peer stays connected and never reads; a well-formed peer is served within a
  // second (refused while the host still serves the idle one).
  const auto deadline = Clock::now() + std::chrono::duration<double>(1.0 * kSlowdown);
  bool served = false;
  while (!served && Clock::now() < deadline)
    served = serves(host);
  EXPECT_TRUE(served) << host.log();
  EXPECT_EQ(host.logLines("peer disconnected: the peer is not reading").size(), 1u) << host.log();
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

TEST(PeerSocketEndToEndTest, IgnoredSettingsAreNamedAndHelpPrintsUsage) {
  Host help(HostOptions{hostExecutable(), {"--help"}, {}});
  EXPECT_EQ(help.waitForExit(10 * kSlowdown), 0);
  EXPECT_NE(help.log().find("usage: "), std::string::npos) << help.log();
  EXPECT_NE(help.log().find("--engine-socket PATH"), std::string::npos) << help.log();
  EXPECT_TRUE(help.logLines("registered plugin").empty()) << help.log();

  Host host(HostOptions{
      hostExecutable(),
      {"--no-such-flag"},
      {{"LUMORA_BUNDLE", "/nonexistent/App.bundle"}, {"LUMORA_OS_VERSION", "fourteen"}}});
  EXPECT_TRUE(serves(host)) << host.log();
  const char* expected[] = {
      "warning: ignoring unknown option \"--no-such-flag\"",
      "warning: LUMORA_BUNDLE \"/nonexistent/App.bundle\" is not a folder: using the default "
      "bundle",
      "warning: LUMORA_OS_VERSION \"fourteen\" is not \"major[.minor[.patch]]\": using 14.0 "
      "instead",
  };
  for (const char* line : expected)
    EXPECT_EQ(host.logLines(line).size(), 1u) << line << "\n" << host.log();
  EXPECT_EQ(host.stop(SIGTERM), 0) << host.log();
}

}  // namespace
}  // namespace lumora::e2e
