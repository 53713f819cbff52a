// The engine's end of the peer socket: listens on a Unix stream socket, serves one application
// peer at a time and relays frames between it and the engine.
//
// Frame, both directions, little-endian:
//   u32 length of the rest | u8 kind (1 message, 2 reply) | u32 id | u16 name length | name |
//   payload
// A reply carries its message's id and an empty name; an empty payload is the null reply. A
// malformed frame closes that connection only; the listener keeps accepting. When the peer goes
// away every message it has not answered gets the empty reply.
//
// A peer that connects while another is served gets one message on kPeerRefusedChannel (its
// payload the reason, UTF-8) and is closed; the served peer keeps its session.
//
// Frames for the peer go into an outgoing buffer that the I/O thread writes as the peer reads,
// so no sender ever blocks on a peer. A peer that lets more than the outgoing limits pile up is
// disconnected (logged at error level); reading its messages never waits for the buffer.
//
// The socket file belongs to the connection that bound it: start refuses a path where a live
// host answers and replaces only a stale socket; stop removes the file only while it is still
// the one this connection bound (same device and inode).
//
// One I/O thread of its own accepts, reads and writes; frames are queued from any thread under
// the connection's one lock (a leaf: nothing is called out while it is held). Host-to-
// application messages awaiting their reply hold a platform::PendingWork, so
// TestEnvironment::runUntilIdle waits for them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/core/value.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/engine.h"

namespace flutter {

// Frames larger than this are refused as malformed.
inline constexpr std::uint32_t kMaxPeerFrameLength = 64u << 20;

// What may wait for a peer that is not reading before it is disconnected: bytes, and frames
// (many small replies cost more than their bytes). A single frame larger than the byte limit
// still goes when nothing else is waiting.
inline constexpr std::size_t kPeerOutgoingLimit = 8u << 20;
inline constexpr std::size_t kPeerOutgoingFrameLimit = 4096;

// The channel of the one message a refused peer receives before the host closes it.
inline constexpr const char* kPeerRefusedChannel = "lumora/peer-refused";

enum class PeerFrameKind : std::uint8_t { Message = 1, Reply = 2 };

struct PeerFrame {
  PeerFrameKind kind = PeerFrameKind::Message;
  std::uint32_t id = 0;
  std::string channel;
  platform::Bytes payload;
};

// Appends the encoded frame to `out`.
void encodePeerFrame(const PeerFrame& frame, platform::Bytes& out);

// Result of trying to take one frame from the front of a buffer.
enum class PeerFrameParse { Complete, NeedMore, Malformed };
// On Complete, `frame` is filled and `consumed` bytes may be dropped from the buffer.
PeerFrameParse parsePeerFrame(const std::uint8_t* data, std::size_t length, PeerFrame& frame,
                              std::size_t& consumed);

class PeerConnection : public ApplicationEndpoint,
                       public std::enable_shared_from_this<PeerConnection> {
 public:
  // Handles a message from the peer; `reply` is called once from any thread.
  using MessageSink =
      std::function<void(std::string channel, platform::Bytes message, BinaryReply reply)>;

  PeerConnection(std::string socketPath, MessageSink sink);
  ~PeerConnection() override;

  // Binds and listens (replacing a stale socket file); false when that fails, with the reason
  // logged at error level and kept in failureReason().
  bool start();
  const std::string& failureReason() const;
  // Closes the connection and the listener, answers pending messages with the empty reply and
  // removes the socket file. Idempotent.
  void stop();
  bool isConnected() const;

  bool deliverToApplication(const std::string& channel, const platform::Bytes& message,
                            BinaryReply reply) override;

 private:
  struct Impl;
  std::shared_ptr<Impl> impl_;
};

}  // namespace flutter
