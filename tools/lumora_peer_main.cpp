// lumora-peer: the application-side driver of the host. Connects to the host's engine socket,
// reads one JSON command per line on standard input, sends it, and writes what comes back (and
// whatever the host sends on its own) as JSON lines on standard output.
//
//   lumora-peer [--socket PATH] [--connect-timeout SECONDS]
//
// Commands run one at a time: the next line is read once the previous command's reply is in.
// A "send", "invoke" or "raw" command with "noWait": true does not hold the next line back (its
// reply is still printed when it comes), so calls can be in flight together. Messages from the host
// keep arriving meanwhile and are printed as they come. At the end of the input the peer waits for
// the last reply and exits 0; it exits 2 when it cannot connect and 3 when the host goes away
// first.
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <set>
#include <string>
#include <thread>

#include "platform/engine/peer_connection.h"
#include "tools/peer_json.h"

namespace {

using lumora::peer::fromHex;
using lumora::peer::fromJson;
using lumora::peer::peerCodec;
using lumora::peer::peerMethodCodec;
using lumora::peer::toHex;
using lumora::peer::toJson;
using nlohmann::json;
using platform::Bytes;
using Clock = std::chrono::steady_clock;

void emit(const json& line) {
  std::cout << line.dump() << "\n" << std::flush;
}

json errorFields(const flutter::Error& e) {
  return json{{"code", e.code},
              {"message", e.message ? json(*e.message) : json(nullptr)},
              {"details", toJson(e.details)}};
}

int connectTo(const std::string& path, double timeoutSeconds) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) return -1;
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  auto deadline = Clock::now() + std::chrono::milliseconds(int(timeoutSeconds * 1000));
  while (true) {
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0) return fd;
    ::close(fd);
    // The host may still be starting: its socket appears once it listens.
    if (Clock::now() >= deadline) return -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

class Peer {
 public:
  explicit Peer(int fd) : fd_(fd) {}

  int run() {
    std::string input;
    bool inputOpen = true;
    while (true) {
      // Read and run commands while nothing holds the input back.
      while (inputOpen && !awaiting_ && Clock::now() >= sleepUntil_) {
        auto newline = input.find('\n');
        if (newline == std::string::npos) break;
        std::string line = input.substr(0, newline);
        input.erase(0, newline + 1);
        runLine(line);
        if (closed_) return 3;
      }
      if (!inputOpen && !awaiting_ && Clock::now() >= sleepUntil_) {
        if (input.empty() && !pending_.empty()) {
          // Replies of "noWait" commands are still owed.
          awaiting_ = true;
          continue;
        }
        if (!input.empty()) {
          runLine(input);
          input.clear();
          if (closed_) return 3;
          continue;
        }
        return 0;
      }
      pollfd fds[2];
      int count = 0;
      bool wantInput = inputOpen && !awaiting_ && Clock::now() >= sleepUntil_;
      fds[count++] = {fd_, POLLIN, 0};
      if (wantInput) fds[count++] = {0, POLLIN, 0};
      int timeout = -1;
      if (Clock::now() < sleepUntil_) {
        timeout =
            int(std::chrono::duration_cast<std::chrono::milliseconds>(sleepUntil_ - Clock::now())
                    .count()) +
            1;
      }
      int n = ::poll(fds, count, timeout);
      if (n < 0) {
        if (errno == EINTR) continue;
        return 3;
      }
      if (fds[0].revents) {
        if (!readSocket()) {
          emit(json{{"op", "disconnected"}});
          return 3;
        }
      }
      if (wantInput && count > 1 && fds[1].revents) {
        char chunk[4096];
        ssize_t got = ::read(0, chunk, sizeof chunk);
        if (got <= 0) {
          inputOpen = false;
        } else {
          input.append(chunk, static_cast<std::size_t>(got));
        }
      }
    }
  }

 private:
  struct Pending {
    std::string op;
    std::string channel;
    std::string method;
    json id;
    bool wait = true;
  };
  struct Answer {
    bool empty = true;
    Bytes payload;
  };

  json withId(json line, const json& id) {
    if (!id.is_null()) line["id"] = id;
    return line;
  }

  void inputError(const std::string& message, const json& id = nullptr) {
    emit(withId(json{{"op", "inputError"}, {"message", message}}, id));
  }

  void runLine(const std::string& line) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) return;
    json command;
    try {
      command = json::parse(line);
    } catch (const std::exception& e) {
      return inputError(std::string("not JSON: ") + e.what());
    }
    json id = command.is_object() && command.contains("id") ? command["id"] : json(nullptr);
    try {
      runCommand(command, id);
    } catch (const std::exception& e) {
      inputError(e.what(), id);
    }
  }

  static std::string field(const json& command, const char* name) {
    if (!command.contains(name) || !command[name].is_string()) {
      throw std::invalid_argument(std::string("\"") + name + "\" must be a string");
    }
    return command[name].get<std::string>();
  }

  static platform::Value valueField(const json& command, const char* name) {
    return command.contains(name) ? fromJson(command[name]) : platform::Value();
  }

  void runCommand(const json& command, const json& id) {
    if (!command.is_object()) throw std::invalid_argument("a command is a JSON object");
    std::string op = field(command, "op");
    const bool wait = !(command.contains("noWait") && command["noWait"] == true);
    if (op == "send") {
      std::string channel = field(command, "channel");
      send(channel, peerCodec()->encode(valueField(command, "message")),
           Pending{"send", channel, "", id, wait});
    } else if (op == "invoke" || op == "listen" || op == "cancel") {
      std::string channel = field(command, "channel");
      std::string method = op == "invoke" ? field(command, "method") : op;
      if (op == "listen") listening_.insert(channel);
      Bytes call = peerMethodCodec()->encodeMethodCall({method, valueField(command, "args")});
      send(channel, call, Pending{op, channel, method, id, wait});
    } else if (op == "raw") {
      std::string channel = field(command, "channel");
      auto payload = fromHex(field(command, "hex"));
      if (!payload) throw std::invalid_argument("\"hex\" is not a hex string");
      send(channel, *payload, Pending{"raw", channel, "", id, wait});
    } else if (op == "answer") {
      std::string channel = field(command, "channel");
      Answer answer;
      if (command.contains("hex")) {
        auto payload = fromHex(field(command, "hex"));
        if (!payload) throw std::invalid_argument("\"hex\" is not a hex string");
        answer.payload = *payload;
        answer.empty = answer.payload.empty();
      } else if (command.contains("reply")) {
        answer.payload = peerCodec()->encode(fromJson(command["reply"]));
        answer.empty = false;
      }
      answers_[channel] = answer;
    } else if (op == "sleep") {
      if (!command.contains("ms") || !command["ms"].is_number()) {
        throw std::invalid_argument("\"ms\" must be a number");
      }
      sleepUntil_ = Clock::now() + std::chrono::milliseconds(command["ms"].get<std::int64_t>());
    } else {
      throw std::invalid_argument("unknown op \"" + op + "\"");
    }
  }

  void send(const std::string& channel, const Bytes& payload, Pending pending) {
    std::uint32_t id = nextId_++;
    Bytes frame;
    flutter::encodePeerFrame({flutter::PeerFrameKind::Message, id, channel, payload}, frame);
    if (!write(frame)) return;
    if (pending.wait) awaiting_ = true;
    pending_[id] = std::move(pending);
  }

  bool write(const Bytes& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) {
        emit(json{{"op", "disconnected"}});
        closed_ = true;
        return false;
      }
      done += static_cast<std::size_t>(n);
    }
    return true;
  }

  bool readSocket() {
    std::uint8_t chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n < 0 && errno == EINTR) return true;
    if (n <= 0) return false;
    buffer_.insert(buffer_.end(), chunk, chunk + n);
    std::size_t offset = 0;
    while (true) {
      flutter::PeerFrame frame;
      std::size_t consumed = 0;
      auto result = flutter::parsePeerFrame(buffer_.data() + offset, buffer_.size() - offset, frame,
                                            consumed);
      if (result == flutter::PeerFrameParse::NeedMore) break;
      if (result == flutter::PeerFrameParse::Malformed) {
        emit(json{{"op", "protocolError"}, {"message", "malformed frame from the host"}});
        return false;
      }
      offset += consumed;
      if (frame.kind == flutter::PeerFrameKind::Reply) {
        onReply(frame);
      } else {
        onMessage(frame);
      }
    }
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset));
    return true;
  }

  void onReply(const flutter::PeerFrame& frame) {
    auto it = pending_.find(frame.id);
    if (it == pending_.end()) return;
    Pending p = std::move(it->second);
    pending_.erase(it);
    awaiting_ = false;
    for (const auto& entry : pending_) {
      if (entry.second.wait) awaiting_ = true;
    }
    // Events sent before the host took the cancel still count as events.
    if (p.op == "cancel") listening_.erase(p.channel);
    json line{{"channel", p.channel}};
    if (p.op == "raw") {
      line["op"] = "rawReply";
      line["hex"] = toHex(frame.payload);
    } else if (p.op == "send") {
      line["op"] = "reply";
      std::string error;
      auto value = peerCodec()->decode(frame.payload, &error);
      if (frame.payload.empty()) line["empty"] = true;
      if (value) {
        line["reply"] = toJson(*value);
      } else {
        line["hex"] = toHex(frame.payload);
        line["decodeError"] = error;
      }
    } else {
      line["method"] = p.method;
      std::string error;
      auto response = peerMethodCodec()->decodeEnvelope(frame.payload, &error);
      if (!response) {
        line["op"] = "badEnvelope";
        line["hex"] = toHex(frame.payload);
        line["decodeError"] = error;
      } else if (response->isNotImplemented()) {
        line["op"] = "notImplemented";
      } else if (response->isError()) {
        line["op"] = "error";
        line.update(errorFields(response->error()));
      } else {
        line["op"] = "result";
        line["result"] = toJson(response->value());
      }
    }
    emit(withId(line, p.id));
  }

  void onMessage(const flutter::PeerFrame& frame) {
    if (listening_.count(frame.channel)) {
      json line{{"channel", frame.channel}};
      if (frame.payload.empty()) {
        line["op"] = "endOfStream";
      } else if (auto response = peerMethodCodec()->decodeEnvelope(frame.payload)) {
        if (response->isError()) {
          line["op"] = "eventError";
          line.update(errorFields(response->error()));
        } else {
          line["op"] = "event";
          line["event"] = toJson(response->value());
        }
      } else {
        line["op"] = "badEvent";
        line["hex"] = toHex(frame.payload);
      }
      emit(line);
    } else {
      json line{{"op", "incoming"}, {"channel", frame.channel}};
      std::string error;
      auto value = peerCodec()->decode(frame.payload, &error);
      if (value) {
        line["message"] = toJson(*value);
      } else if (auto call = peerMethodCodec()->decodeMethodCall(frame.payload)) {
        // A method call from the host (a hand-written channel calling back).
        line["method"] = call->method;
        line["args"] = toJson(call->arguments);
      } else {
        line["hex"] = toHex(frame.payload);
      }
      emit(line);
    }
    Bytes reply;
    auto answer = answers_.find(frame.channel);
    if (answer != answers_.end() && !answer->second.empty) reply = answer->second.payload;
    Bytes out;
    flutter::encodePeerFrame({flutter::PeerFrameKind::Reply, frame.id, "", reply}, out);
    write(out);
  }

  int fd_;
  Bytes buffer_;
  std::uint32_t nextId_ = 1;
  std::map<std::uint32_t, Pending> pending_;
  std::map<std::string, Answer> answers_;
  std::set<std::string> listening_;
  bool awaiting_ = false;
  bool closed_ = false;
  Clock::time_point sleepUntil_{};
};

int usage() {
  std::cerr << "usage: lumora-peer [--socket PATH] [--connect-timeout SECONDS]\n"
               "  PATH defaults to $LUMORA_ENGINE_SOCKET\n";
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::string socketPath;
  if (const char* env = std::getenv("LUMORA_ENGINE_SOCKET")) socketPath = env;
  double timeout = 10;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--socket" && i + 1 < argc) {
      socketPath = argv[++i];
    } else if (arg == "--connect-timeout" && i + 1 < argc) {
      char* end = nullptr;
      timeout = std::strtod(argv[++i], &end);
      if (!end || *end || timeout < 0) return usage();
    } else {
      return usage();
    }
  }
  if (socketPath.empty()) return usage();
  int fd = connectTo(socketPath, timeout);
  if (fd < 0) {
    std::cerr << "lumora-peer: cannot connect to " << socketPath << "\n";
    return 2;
  }
  int status = Peer(fd).run();
  ::close(fd);
  return status;
}
