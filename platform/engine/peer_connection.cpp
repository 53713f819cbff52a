#include "platform/engine/peer_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/engine/engine_log.h"

namespace flutter {

namespace {

void putU32(platform::Bytes& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i)
    out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void putU16(platform::Bytes& out, std::uint16_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
std::uint32_t getU32(const std::uint8_t* p) {
  return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
         std::uint32_t(p[3]) << 24;
}
std::uint16_t getU16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | p[1] << 8);
}

// Header after the length: kind, id, name length.
constexpr std::size_t kFrameHeader = 1 + 4 + 2;

}  // namespace

void encodePeerFrame(const PeerFrame& frame, platform::Bytes& out) {
  std::size_t rest = kFrameHeader + frame.channel.size() + frame.payload.size();
  putU32(out, static_cast<std::uint32_t>(rest));
  out.push_back(static_cast<std::uint8_t>(frame.kind));
  putU32(out, frame.id);
  putU16(out, static_cast<std::uint16_t>(frame.channel.size()));
  out.insert(out.end(), frame.channel.begin(), frame.channel.end());
  out.insert(out.end(), frame.payload.begin(), frame.payload.end());
}

PeerFrameParse parsePeerFrame(const std::uint8_t* data, std::size_t length, PeerFrame& frame,
                              std::size_t& consumed) {
  if (length < 4) return PeerFrameParse::NeedMore;
  std::uint32_t rest = getU32(data);
  if (rest < kFrameHeader || rest > kMaxPeerFrameLength) return PeerFrameParse::Malformed;
  // The kind is known as soon as it arrives; refuse garbage early.
  if (length >= 5 && data[4] != 1 && data[4] != 2) return PeerFrameParse::Malformed;
  if (length < 4 + std::size_t(rest)) return PeerFrameParse::NeedMore;
  const std::uint8_t* p = data + 4;
  std::uint16_t nameLength = getU16(p + 5);
  if (nameLength > rest - kFrameHeader) return PeerFrameParse::Malformed;
  frame.kind = static_cast<PeerFrameKind>(p[0]);
  frame.id = getU32(p + 1);
  frame.channel.assign(reinterpret_cast<const char*>(p + kFrameHeader), nameLength);
  frame.payload.assign(p + kFrameHeader + nameLength, p + rest);
  if (frame.kind == PeerFrameKind::Reply && !frame.channel.empty()) {
    return PeerFrameParse::Malformed;
  }
  consumed = 4 + rest;
  return PeerFrameParse::Complete;
}

struct PeerConnection::Impl : std::enable_shared_from_this<PeerConnection::Impl> {
  std::string path;
  MessageSink sink;
  int listenFd = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  std::thread thread;

  mutable std::mutex mutex;
  int clientFd = -1;
  // Bumped for every connection, so replies meant for a peer that left are dropped.
  std::uint64_t generation = 0;
  std::uint32_t nextId = 1;
  std::map<std::uint32_t, BinaryReply> pending;
  bool stopped = false;

  // Writes the whole frame to the current client; false when it is gone. Caller holds mutex.
  bool writeLocked(const platform::Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(clientFd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        // Let the I/O thread notice and clean up.
        ::shutdown(clientFd, SHUT_RDWR);
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  void sendReply(std::uint64_t forGeneration, std::uint32_t id, const platform::Bytes& payload) {
    platform::Bytes bytes;
    encodePeerFrame(PeerFrame{PeerFrameKind::Reply, id, {}, payload}, bytes);
    std::lock_guard<std::mutex> guard(mutex);
    if (clientFd < 0 || generation != forGeneration) return;
    writeLocked(bytes);
  }

  void closeClient(const char* why) {
    std::map<std::uint32_t, BinaryReply> orphans;
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (clientFd < 0) return;
      ::close(clientFd);
      clientFd = -1;
      ++generation;
      orphans.swap(pending);
    }
    engineLog(std::string("peer disconnected: ") + why);
    for (auto& [id, reply] : orphans)
      reply({});
  }

  void handleFrame(PeerFrame&& frame, std::uint64_t forGeneration) {
    if (frame.kind == PeerFrameKind::Message) {
      std::weak_ptr<Impl> weak = weak_from_this();
      std::uint32_t id = frame.id;
      BinaryReply reply = [weak, forGeneration, id](const platform::Bytes& payload) {
        if (auto self = weak.lock()) self->sendReply(forGeneration, id, payload);
      };
      sink(std::move(frame.channel), std::move(frame.payload), std::move(reply));
      return;
    }
    BinaryReply reply;
    {
      std::lock_guard<std::mutex> guard(mutex);
      auto it = pending.find(frame.id);
      if (it != pending.end()) {
        reply = std::move(it->second);
        pending.erase(it);
      }
    }
    if (reply) {
      reply(frame.payload);
    } else {
      engineLog("peer replied to unknown message id " + std::to_string(frame.id));
    }
  }

  void run() {
    platform::Bytes buffer;
    std::uint64_t currentGeneration = 0;
    std::vector<std::uint8_t> chunk(64 * 1024);
    while (true) {
      int client;
      {
        std::lock_guard<std::mutex> guard(mutex);
        client = clientFd;
      }
      pollfd fds[2];
      fds[0] = {wakeRead, POLLIN, 0};
      // While a peer is connected the listener is not polled: the next peer waits in the
      // backlog until this one leaves.
      fds[1] = {client >= 0 ? client : listenFd, POLLIN, 0};
      int n = ::poll(fds, 2, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        engineLog(std::string("poll failed: ") + std::strerror(errno));
        return;
      }
      if (fds[0].revents) return;
      if (!fds[1].revents) continue;
      if (client < 0) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        {
          std::lock_guard<std::mutex> guard(mutex);
          clientFd = fd;
          currentGeneration = ++generation;
        }
        buffer.clear();
        engineLog("peer connected");
        continue;
      }
      ssize_t got = ::recv(client, chunk.data(), chunk.size(), 0);
      if (got < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (got <= 0) {
        closeClient("connection closed");
        continue;
      }
      buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + got);
      std::size_t offset = 0;
      bool malformed = false;
      while (true) {
        PeerFrame frame;
        std::size_t consumed = 0;
        auto result =
            parsePeerFrame(buffer.data() + offset, buffer.size() - offset, frame, consumed);
        if (result == PeerFrameParse::NeedMore) break;
        if (result == PeerFrameParse::Malformed) {
          malformed = true;
          break;
        }
        offset += consumed;
        handleFrame(std::move(frame), currentGeneration);
      }
      if (malformed) {
        buffer.clear();
        closeClient("malformed frame");
        continue;
      }
      buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    }
  }
};

PeerConnection::PeerConnection(std::string socketPath, MessageSink sink)
    : impl_(std::make_shared<Impl>()) {
  impl_->path = std::move(socketPath);
  impl_->sink = std::move(sink);
}

PeerConnection::~PeerConnection() {
  stop();
}

bool PeerConnection::start() {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (impl_->path.empty() || impl_->path.size() >= sizeof(address.sun_path)) {
    engineLog("engine socket path is empty or too long: " + impl_->path);
    return false;
  }
  std::memcpy(address.sun_path, impl_->path.c_str(), impl_->path.size() + 1);
  // A socket file left by a host that did not exit cleanly is replaced; any other file is not.
  struct stat st;
  if (::lstat(impl_->path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) {
      engineLog("engine socket path exists and is not a socket: " + impl_->path);
      return false;
    }
    ::unlink(impl_->path.c_str());
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    engineLog(std::string("socket failed: ") + std::strerror(errno));
    return false;
  }
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(fd, 4) != 0) {
    engineLog("cannot listen on " + impl_->path + ": " + std::strerror(errno));
    ::close(fd);
    return false;
  }
  // Only this user may talk to the host.
  ::chmod(impl_->path.c_str(), 0600);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    ::close(fd);
    ::unlink(impl_->path.c_str());
    return false;
  }
  impl_->listenFd = fd;
  impl_->wakeRead = pipeFds[0];
  impl_->wakeWrite = pipeFds[1];
  impl_->thread = std::thread([impl = impl_] { impl->run(); });
  return true;
}

void PeerConnection::stop() {
  {
    std::lock_guard<std::mutex> guard(impl_->mutex);
    if (impl_->stopped) return;
    impl_->stopped = true;
  }
  if (impl_->thread.joinable()) {
    char byte = 1;
    while (::write(impl_->wakeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
    impl_->thread.join();
  }
  impl_->closeClient("host shutting down");
  if (impl_->listenFd >= 0) {
    ::close(impl_->listenFd);
    ::unlink(impl_->path.c_str());
    impl_->listenFd = -1;
  }
  if (impl_->wakeRead >= 0) ::close(impl_->wakeRead);
  if (impl_->wakeWrite >= 0) ::close(impl_->wakeWrite);
  impl_->wakeRead = impl_->wakeWrite = -1;
}

bool PeerConnection::isConnected() const {
  std::lock_guard<std::mutex> guard(impl_->mutex);
  return impl_->clientFd >= 0;
}

bool PeerConnection::deliverToApplication(const std::string& channel,
                                          const platform::Bytes& message, BinaryReply reply) {
  if (channel.size() > 0xffff || message.size() > kMaxPeerFrameLength - 7 - channel.size()) {
    engineLog("message on \"" + channel.substr(0, 80) + "\" too large for the peer socket");
    return false;
  }
  std::lock_guard<std::mutex> guard(impl_->mutex);
  if (impl_->clientFd < 0) return false;
  std::uint32_t id = impl_->nextId++;
  if (impl_->nextId == 0) impl_->nextId = 1;
  platform::Bytes bytes;
  encodePeerFrame(PeerFrame{PeerFrameKind::Message, id, channel, message}, bytes);
  impl_->pending[id] = std::move(reply);
  // On a failed write the I/O thread closes the connection and answers the pending message.
  impl_->writeLocked(bytes);
  return true;
}

}  // namespace flutter
