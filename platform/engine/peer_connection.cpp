#include "platform/engine/peer_connection.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "platform/dispatch/pending_work.h"
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
  // A host-to-application message awaiting the peer's reply.
  struct Pending {
    BinaryReply reply;
    platform::PendingWork work;
  };

  std::string path;
  MessageSink sink;
  std::string failure;
  int listenFd = -1;
  int wakeRead = -1;
  int wakeWrite = -1;
  // The socket file this connection bound, by identity.
  bool boundFile = false;
  dev_t boundDevice = 0;
  ino_t boundInode = 0;
  std::thread thread;

  mutable std::mutex mutex;
  int clientFd = -1;
  // Bumped for every connection, so replies meant for a peer that left are dropped.
  std::uint64_t generation = 0;
  std::uint32_t nextId = 1;
  std::map<std::uint32_t, Pending> pending;
  // Frames for the client not yet taken by the kernel, the front one from frontOffset on.
  std::deque<platform::Bytes> outgoing;
  std::size_t frontOffset = 0;
  std::size_t waitingBytes = 0;
  // Set when a sender cut the client off; the I/O thread closes it and logs this.
  std::string cutReason;
  bool stopped = false;

  bool waitingLocked() const { return !outgoing.empty(); }

  void wake() {
    char byte = 1;
    // The pipe is non-blocking: a full pipe already holds a wake-up.
    while (::write(wakeWrite, &byte, 1) < 0 && errno == EINTR) {
    }
  }

  void dropOutgoingLocked() {
    outgoing.clear();
    frontOffset = 0;
    waitingBytes = 0;
  }

  // Writes what the kernel takes now without blocking; false when the client is gone.
  // Caller holds mutex.
  bool flushLocked() {
    while (!outgoing.empty()) {
      iovec parts[64];
      int count = 0;
      for (auto it = outgoing.begin(); it != outgoing.end() && count < 64; ++it, ++count) {
        const std::size_t skip = count == 0 ? frontOffset : 0;
        parts[count] = {const_cast<std::uint8_t*>(it->data()) + skip, it->size() - skip};
      }
      msghdr message{};
      message.msg_iov = parts;
      message.msg_iovlen = static_cast<std::size_t>(count);
      ssize_t n = ::sendmsg(clientFd, &message, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
      if (n <= 0) {
        cutLocked(std::string("write failed: ") + (n < 0 ? std::strerror(errno) : "closed"));
        return false;
      }
      std::size_t written = static_cast<std::size_t>(n);
      waitingBytes -= written;
      while (written > 0) {
        const std::size_t left = outgoing.front().size() - frontOffset;
        if (written < left) {
          frontOffset += written;
          break;
        }
        written -= left;
        outgoing.pop_front();
        frontOffset = 0;
      }
    }
    return true;
  }

  // Stops all traffic to the client; the I/O thread notices the shutdown and closes it.
  // Caller holds mutex.
  void cutLocked(std::string why) {
    if (!cutReason.empty()) return;
    cutReason = std::move(why);
    dropOutgoingLocked();
    ::shutdown(clientFd, SHUT_RDWR);
  }

  // Queues one frame for the current client, within the outgoing limits. Caller holds mutex.
  void queueLocked(const PeerFrame& frame) {
    if (clientFd < 0 || !cutReason.empty()) return;
    platform::Bytes bytes;
    encodePeerFrame(frame, bytes);
    const bool wasEmpty = outgoing.empty();
    if (!wasEmpty && (waitingBytes + bytes.size() > kPeerOutgoingLimit ||
                      outgoing.size() + 1 > kPeerOutgoingFrameLimit)) {
      cutLocked("the peer is not reading: " + std::to_string(outgoing.size()) + " frames (" +
                std::to_string(waitingBytes) + " bytes) wait to be written");
      return;
    }
    waitingBytes += bytes.size();
    outgoing.push_back(std::move(bytes));
    if (!flushLocked()) return;
    // The I/O thread learns that it has to wait for the peer to read.
    if (wasEmpty && !outgoing.empty()) wake();
  }

  void sendReply(std::uint64_t forGeneration, std::uint32_t id, const platform::Bytes& payload) {
    std::lock_guard<std::mutex> guard(mutex);
    if (generation != forGeneration) return;
    queueLocked(PeerFrame{PeerFrameKind::Reply, id, {}, payload});
  }

  // Called by the I/O thread, or by stop() once that thread has ended.
  void closeClient(std::string why) {
    bool cut = false;
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (clientFd < 0) return;
      if (!cutReason.empty()) {
        why = cutReason;
        cut = true;
      }
    }
    // Logged before the connection slot frees up, so whoever sees the next peer served finds
    // the line.
    if (cut) {
      engineError("peer disconnected: " + why);
    } else {
      engineLog("peer disconnected: " + why);
    }
    std::map<std::uint32_t, Pending> orphans;
    {
      std::lock_guard<std::mutex> guard(mutex);
      ::close(clientFd);
      clientFd = -1;
      ++generation;
      orphans.swap(pending);
      dropOutgoingLocked();
      cutReason.clear();
    }
    for (auto& [id, entry] : orphans)
      entry.reply({});
  }

  // A peer that arrives while another is served hears why and is closed.
  void refuse(int fd) {
    const std::string reason = "another peer is connected to this host";
    // Logged first: the refused peer may look for the line as soon as it is closed.
    engineError("refused a second peer: " + reason);
    platform::Bytes bytes;
    encodePeerFrame(PeerFrame{PeerFrameKind::Message, 0, kPeerRefusedChannel,
                              platform::Bytes(reason.begin(), reason.end())},
                    bytes);
    // A fresh connection's buffer takes this small frame whole.
    (void)!::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    ::close(fd);
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
    std::optional<Pending> entry;
    {
      std::lock_guard<std::mutex> guard(mutex);
      auto it = pending.find(frame.id);
      if (it != pending.end()) {
        entry.emplace(std::move(it->second));
        pending.erase(it);
      }
    }
    if (entry) {
      // The reply queues the completion; only then is the message no longer in flight.
      entry->reply(frame.payload);
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
      bool wantWrite;
      {
        std::lock_guard<std::mutex> guard(mutex);
        client = clientFd;
        wantWrite = client >= 0 && cutReason.empty() && waitingLocked() > 0;
      }
      pollfd fds[3];
      fds[0] = {wakeRead, POLLIN, 0};
      fds[1] = {listenFd, POLLIN, 0};
      fds[2] = {client, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0};
      int n = ::poll(fds, client >= 0 ? 3 : 2, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        engineError(std::string("peer socket poll failed: ") + std::strerror(errno));
        return;
      }
      if (fds[0].revents) {
        char drain[64];
        while (::read(wakeRead, drain, sizeof drain) > 0) {
        }
        std::lock_guard<std::mutex> guard(mutex);
        if (stopped) return;
      }
      // The client first: a peer that has just left makes room for the one that arrives in
      // the same poll (a host probing this socket connects and leaves at once).
      if (client >= 0 && fds[2].revents) {
        if (fds[2].revents & POLLOUT) {
          std::lock_guard<std::mutex> guard(mutex);
          if (cutReason.empty()) flushLocked();
        }
        if (fds[2].revents & (POLLIN | POLLHUP | POLLERR)) {
          if (!readClient(client, chunk, buffer, currentGeneration)) client = -1;
        }
      }
      if (fds[1].revents) {
        int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd >= 0 && client >= 0) {
          refuse(fd);
        } else if (fd >= 0) {
          {
            std::lock_guard<std::mutex> guard(mutex);
            clientFd = fd;
            currentGeneration = ++generation;
          }
          buffer.clear();
          engineLog("peer connected");
        }
      }
    }
  }

  // Reads what the client sent and hands over its complete frames; false when the connection
  // ended here.
  bool readClient(int client, std::vector<std::uint8_t>& chunk, platform::Bytes& buffer,
                  std::uint64_t currentGeneration) {
    ssize_t got = ::recv(client, chunk.data(), chunk.size(), 0);
    if (got < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) return true;
    if (got <= 0) {
      closeClient(got < 0 ? std::string("read failed: ") + std::strerror(errno)
                          : std::string("connection closed"));
      return false;
    }
    buffer.insert(buffer.end(), chunk.begin(), chunk.begin() + got);
    std::size_t offset = 0;
    bool malformed = false;
    while (true) {
      PeerFrame frame;
      std::size_t consumed = 0;
      auto result = parsePeerFrame(buffer.data() + offset, buffer.size() - offset, frame, consumed);
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
      return false;
    }
    buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
  }
};

namespace {

// Whether a host answers on the socket at `address`: 1 yes, 0 no (a stale file), -1 unknown
// (errno set).
int probeLiveHost(const sockaddr_un& address) {
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  int result = ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address));
  int saved = errno;
  ::close(fd);
  if (result == 0) return 1;
  if (saved == ECONNREFUSED) return 0;
  errno = saved;
  return -1;
}

}  // namespace

PeerConnection::PeerConnection(std::string socketPath, MessageSink sink)
    : impl_(std::make_shared<Impl>()) {
  impl_->path = std::move(socketPath);
  impl_->sink = std::move(sink);
}

PeerConnection::~PeerConnection() {
  stop();
}

const std::string& PeerConnection::failureReason() const {
  return impl_->failure;
}

bool PeerConnection::start() {
  const std::string& path = impl_->path;
  auto fail = [this](std::string why) {
    impl_->failure = std::move(why);
    engineError("cannot listen on the engine socket \"" + impl_->path + "\": " + impl_->failure);
    return false;
  };
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty()) return fail("the path is empty");
  if (path.size() >= sizeof(address.sun_path)) {
    return fail("the path is " + std::to_string(path.size()) + " bytes long, the limit is " +
                std::to_string(sizeof(address.sun_path) - 1));
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (!S_ISSOCK(st.st_mode)) return fail("the path exists and is not a socket");
    switch (probeLiveHost(address)) {
    case 1:
      return fail("another host is listening there");
    case 0:
      // Left by a host that did not exit cleanly.
      engineLog("replacing the stale socket " + path);
      ::unlink(path.c_str());
      break;
    default:
      return fail(std::string("cannot tell whether a host listens there: ") + std::strerror(errno));
    }
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return fail(std::string("socket: ") + std::strerror(errno));
  if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
    int saved = errno;
    ::close(fd);
    if (saved == ENOENT) return fail("its folder does not exist");
    return fail(std::strerror(saved));
  }
  if (::listen(fd, 4) != 0 || ::stat(path.c_str(), &st) != 0) {
    int saved = errno;
    ::close(fd);
    ::unlink(path.c_str());
    return fail(std::strerror(saved));
  }
  impl_->boundFile = true;
  impl_->boundDevice = st.st_dev;
  impl_->boundInode = st.st_ino;
  // Only this user may talk to the host.
  ::chmod(path.c_str(), 0600);
  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0) {
    int saved = errno;
    ::close(fd);
    ::unlink(path.c_str());
    impl_->boundFile = false;
    return fail(std::string("pipe: ") + std::strerror(saved));
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
    impl_->wake();
    impl_->thread.join();
  }
  impl_->closeClient("host shutting down");
  if (impl_->listenFd >= 0) {
    ::close(impl_->listenFd);
    impl_->listenFd = -1;
  }
  if (impl_->boundFile) {
    // Another host may have replaced our file since (after we were taken for stale): its
    // socket is not ours to remove.
    struct stat st;
    if (::lstat(impl_->path.c_str(), &st) == 0 && st.st_dev == impl_->boundDevice &&
        st.st_ino == impl_->boundInode) {
      ::unlink(impl_->path.c_str());
    }
    impl_->boundFile = false;
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
  if (impl_->clientFd < 0 || !impl_->cutReason.empty()) return false;
  std::uint32_t id = impl_->nextId++;
  if (impl_->nextId == 0) impl_->nextId = 1;
  impl_->pending[id] = Impl::Pending{std::move(reply), platform::PendingWork()};
  // When this cuts the peer off, the I/O thread closes it and answers the pending message.
  impl_->queueLocked(PeerFrame{PeerFrameKind::Message, id, channel, message});
  return true;
}

}  // namespace flutter
