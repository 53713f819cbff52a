#include "platform/engine/in_process_driver.h"

#include <chrono>
#include <condition_variable>

#include "platform/dispatch/main_loop.h"

namespace flutter {

namespace {

// One reply awaited by a blocking helper.
struct Awaited {
  std::mutex mutex;
  std::condition_variable cv;
  bool done = false;
  platform::Bytes reply;
};

}  // namespace

std::shared_ptr<InProcessDriver> InProcessDriver::attach(const EnginePtr& engine) {
  std::shared_ptr<InProcessDriver> driver(new InProcessDriver());
  driver->engine_ = engine;
  engine->setApplicationEndpoint(driver);
  return driver;
}

InProcessDriver::~InProcessDriver() = default;

void InProcessDriver::detach() {
  if (auto engine = engine_.lock()) engine->setApplicationEndpoint(nullptr);
  engine_.reset();
}

void InProcessDriver::send(const std::string& channel, const platform::Bytes& message,
                           std::function<void(const platform::Bytes&)> onReply) {
  auto engine = engine_.lock();
  if (!engine) {
    if (onReply) onReply({});
    return;
  }
  engine->dispatchFromApplication(channel, message, [onReply](const platform::Bytes& reply) {
    if (onReply) onReply(reply);
  });
}

std::optional<platform::Bytes> InProcessDriver::sendAndWait(const std::string& channel,
                                                            const platform::Bytes& message,
                                                            double timeoutSeconds) {
  auto awaited = std::make_shared<Awaited>();
  send(channel, message, [awaited](const platform::Bytes& reply) {
    std::lock_guard<std::mutex> guard(awaited->mutex);
    awaited->reply = reply;
    awaited->done = true;
    awaited->cv.notify_all();
  });
  auto deadline = std::chrono::steady_clock::now() +
                  std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                      std::chrono::duration<double>(timeoutSeconds));
  auto& loop = platform::MainLoop::instance();
  while (true) {
    int ran = loop.drain();
    std::unique_lock<std::mutex> lock(awaited->mutex);
    if (awaited->done) return awaited->reply;
    if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
    // Replies from other threads wake us at once; work they post to the main loop is picked up
    // on the next short round.
    if (ran == 0) awaited->cv.wait_for(lock, std::chrono::milliseconds(1));
  }
}

std::optional<platform::Value> InProcessDriver::sendMessage(const std::string& channel,
                                                            const platform::Value& message,
                                                            MessageCodecPtr codec,
                                                            double timeoutSeconds) {
  auto reply = sendAndWait(channel, codec->encode(message), timeoutSeconds);
  if (!reply) return std::nullopt;
  return codec->decode(*reply);
}

std::optional<MethodResponse> InProcessDriver::invokeMethod(const std::string& channel,
                                                            const std::string& method,
                                                            const platform::Value& arguments,
                                                            MethodCodecPtr codec,
                                                            double timeoutSeconds) {
  auto reply =
      sendAndWait(channel, codec->encodeMethodCall(MethodCall{method, arguments}), timeoutSeconds);
  if (!reply) return std::nullopt;
  return codec->decodeEnvelope(*reply);
}

std::optional<MethodResponse> InProcessDriver::listen(const std::string& channel,
                                                      const platform::Value& arguments,
                                                      MethodCodecPtr codec) {
  {
    std::lock_guard<std::mutex> guard(mutex_);
    listening_[channel] = codec;
  }
  return invokeMethod(channel, "listen", arguments, codec);
}

std::optional<MethodResponse> InProcessDriver::cancel(const std::string& channel,
                                                      const platform::Value& arguments,
                                                      MethodCodecPtr codec) {
  auto response = invokeMethod(channel, "cancel", arguments, codec);
  std::lock_guard<std::mutex> guard(mutex_);
  listening_.erase(channel);
  return response;
}

std::vector<StreamEvent> InProcessDriver::events(const std::string& channel) const {
  std::lock_guard<std::mutex> guard(mutex_);
  auto it = events_.find(channel);
  return it == events_.end() ? std::vector<StreamEvent>{} : it->second;
}

std::vector<InProcessDriver::Incoming> InProcessDriver::received() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return received_;
}

void InProcessDriver::setAnswer(const std::string& channel,
                                std::function<platform::Bytes(const platform::Bytes&)> answer) {
  std::lock_guard<std::mutex> guard(mutex_);
  if (answer) {
    answers_[channel] = std::make_shared<const Answer>(std::move(answer));
  } else {
    answers_.erase(channel);
  }
}

bool InProcessDriver::deliverToApplication(const std::string& channel,
                                           const platform::Bytes& message, BinaryReply reply) {
  std::shared_ptr<const Answer> answer;
  {
    std::lock_guard<std::mutex> guard(mutex_);
    received_.push_back(Incoming{channel, message});
    auto listening = listening_.find(channel);
    if (listening != listening_.end()) {
      if (message.empty()) {
        events_[channel].push_back(StreamEvent(EndOfEventStream));
      } else if (auto response = listening->second->decodeEnvelope(message)) {
        if (response->isError()) {
          events_[channel].push_back(StreamEvent(response->error()));
        } else {
          events_[channel].push_back(StreamEvent(response->value()));
        }
      }
    }
    auto it = answers_.find(channel);
    if (it != answers_.end()) answer = it->second;
  }
  reply(answer ? (*answer)(message) : platform::Bytes{});
  return true;
}

}  // namespace flutter
