#include "zevevidi/utilities/gul_network.h"

#include <cstdio>
#include <cstdlib>

#include "platform/core/error.h"
#include "platform/foundation/environment.h"
#include "platform/log/log.h"
#include "zevevidi/utilities/gul_gzip.h"
#include "zevevidi/utilities/gul_logger.h"
#include "zevevidi/utilities/gul_network_url_session.h"

using platform::Bytes;
using platform::ErrorPtr;
using platform::HTTPURLResponsePtr;
using platform::QueuePtr;
using platform::URLRequest;
using platform::Value;

namespace {

std::string messageCode(int code) {
  char text[16];
  std::snprintf(text, sizeof text, "I-NET%06d", code);
  return text;
}

const char* levelName(GULNetworkLogLevel level) {
  switch (level) {
  case kGULNetworkLogLevelError:
    return "ERROR";
  case kGULNetworkLogLevelWarning:
    return "WARNING";
  case kGULNetworkLogLevelInfo:
    return "INFO";
  case kGULNetworkLogLevelDebug:
    return "DEBUG";
  }
  return "";
}

std::string describe(const Value& value) {
  if (value.isNull()) return "(nil)";
  if (const auto* s = value.ifString()) return *s;
  if (const auto* i = value.ifInt()) return std::to_string(*i);
  if (const auto* e = value.ifError()) {
    if (!*e) return "(nil)";
    std::string text = "Error Domain=" + (*e)->domain + " Code=" + std::to_string((*e)->code);
    if (auto* context = (*e)->userInfo.count(Value(kGULNetworkErrorContext))
                            ? &(*e)->userInfo.at(Value(kGULNetworkErrorContext))
                            : nullptr) {
      text += " \"" + describe(*context) + "\"";
    } else if (!(*e)->localizedDescription().empty()) {
      text += " \"" + (*e)->localizedDescription() + "\"";
    }
    return text;
  }
  return value.debugString();
}

ErrorPtr networkError(std::int64_t code, const char* context) {
  return platform::Error::make(kGULNetworkErrorDomain, code,
                               {{Value(kGULNetworkErrorContext), Value(context)}});
}

}  // namespace

std::string GULNetworkReachabilityHost() {
  auto override = platform::Environment::current()->nonEmpty("LUMORA_MEASUREMENT_URL");
  if (override) {
    URLRequest probe;
    probe.url = *override;
    std::string host = probe.host();
    if (!host.empty()) return host;
  }
  return kGULNetworkReachabilityHost;
}

GULNetwork::GULNetwork() = default;

std::shared_ptr<GULNetwork> GULNetwork::init() {
  return initWithReachabilityHost(GULNetworkReachabilityHost());
}

std::shared_ptr<GULNetwork>
GULNetwork::initWithReachabilityHost(const std::string& host,
                                     const platform::ReachabilityApi* reachabilityApi) {
  auto network = std::make_shared<GULNetwork>();
  network->reachability_ = GULReachabilityChecker::initWithReachabilityDelegate(network, host);
  if (!network->reachability_) return nullptr;
  if (reachabilityApi) network->reachability_->setReachabilityApi(reachabilityApi);
  if (!network->reachability_->start()) return nullptr;
  return network;
}

GULNetwork::~GULNetwork() {
  if (reachability_) {
    reachability_->setReachabilityDelegate({});
    reachability_->stop();
  }
}

double GULNetwork::effectiveTimeout() const {
  const double timeout = timeoutInterval_;
  return timeout != 0 ? timeout : kGULNetworkTimeOutInterval;
}

std::string GULNetwork::postURL(const std::string& url,
                                const std::optional<platform::HTTPHeaders>& headers,
                                const Bytes& payload, QueuePtr queue, bool usingBackgroundSession,
                                GULNetworkCompletionHandler handler) {
  if (url.empty()) {
    handleErrorWithCode(GULErrorCodeNetworkInvalidURL, queue, std::move(handler));
    return {};
  }
  URLRequest request = URLRequest::withURL(
      url, effectiveTimeout(), platform::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  request.headers = headers.value_or(platform::HTTPHeaders{});

  ErrorPtr compressionError;
  auto compressed = GULGzip::gul_dataByGzippingData(payload, &compressionError);
  if (compressionError || (!compressed && !payload.empty())) {
    handleErrorWithCode(GULErrorCodeNetworkPayloadCompression, queue, std::move(handler));
    return {};
  }
  request.httpBody = compressed.value_or(Bytes{});
  request.headers.set("Content-Length", std::to_string(request.httpBody.size()));
  request.httpMethod = "POST";
  request.headers.set("Content-Type", "application/x-www-form-urlencoded");
  request.headers.set("Content-Encoding", "gzip");
  return startRequest(url, request, std::move(queue), usingBackgroundSession, std::move(handler),
                      true);
}

std::string GULNetwork::postURL(const std::string& url, const Bytes& payload, QueuePtr queue,
                                bool usingBackgroundSession, GULNetworkCompletionHandler handler) {
  return postURL(url, std::nullopt, payload, std::move(queue), usingBackgroundSession,
                 std::move(handler));
}

std::string GULNetwork::getURL(const std::string& url,
                               const std::optional<platform::HTTPHeaders>& headers, QueuePtr queue,
                               bool usingBackgroundSession, GULNetworkCompletionHandler handler) {
  if (url.empty()) {
    handleErrorWithCode(GULErrorCodeNetworkInvalidURL, queue, std::move(handler));
    return {};
  }
  URLRequest request = URLRequest::withURL(
      url, effectiveTimeout(), platform::URLRequestCachePolicy::ReloadIgnoringLocalCacheData);
  request.httpMethod = "GET";
  request.headers = headers.value_or(platform::HTTPHeaders{});
  return startRequest(url, request, std::move(queue), usingBackgroundSession, std::move(handler),
                      false);
}

std::string GULNetwork::startRequest(const std::string& url, const URLRequest& request,
                                     QueuePtr queue, bool usingBackgroundSession,
                                     GULNetworkCompletionHandler handler, bool isPOST) {
  auto fetcher = GULNetworkURLSession::initWithNetworkLoggerDelegate(weak_from_this());
  fetcher->setBackgroundNetworkEnabled(usingBackgroundSession);
  if (!queue) queue = platform::mainQueue();

  std::weak_ptr<GULNetwork> weakSelf = weak_from_this();
  auto completion = [weakSelf, queue, handler](const HTTPURLResponsePtr& response,
                                               const Bytes& data, const std::string& sessionID,
                                               const ErrorPtr& error) {
    auto self = weakSelf.lock();
    if (!self) return;  // the client is gone: the request completes silently
    queue->async([weakSelf, handler, response, data, sessionID, error] {
      if (auto client = weakSelf.lock(); client && !sessionID.empty()) {
        client->requests_.removeObjectForKey(Value(sessionID));
      }
      if (handler) handler(response, data, error);
    });
  };

  // Entered before the task starts, so that even an answer that comes back at once finds its
  // entry to remove.
  const Value key(fetcher->sessionID());
  requests_.setObject(Value(std::static_pointer_cast<platform::Object>(fetcher)), key);
  std::string sessionID = isPOST ? fetcher->sessionIDFromAsyncPOSTRequest(request, completion)
                                 : fetcher->sessionIDFromAsyncGETRequest(request, completion);
  if (sessionID.empty()) {
    requests_.removeObjectForKey(key);
    // The transport has already handed its error (code 2) to the completion; a second report
    // for the same call would run the caller's block twice.
    GULNetwork_logWithLevel_contexts(
        kGULNetworkLogLevelWarning, kGULNetworkMessageCodeNetwork002,
        "Failed to create network request. Code, error",
        {Value(static_cast<std::int64_t>(GULErrorCodeNetworkEmptyURL)),
         Value(networkError(GULErrorCodeNetworkEmptyURL, "Failed to create network request"))});
    return {};
  }
  GULNetwork_logWithLevel_context(
      kGULNetworkLogLevelDebug,
      isPOST ? kGULNetworkMessageCodeNetwork000 : kGULNetworkMessageCodeNetwork001,
      isPOST ? "Uploading data. Host" : "Downloading data. Host", Value(url));
  return sessionID;
}

void GULNetwork::handleErrorWithCode(std::int64_t code, const QueuePtr& queue,
                                     GULNetworkCompletionHandler handler) {
  ErrorPtr error = networkError(code, "Failed to create network request");
  GULNetwork_logWithLevel_contexts(kGULNetworkLogLevelWarning, kGULNetworkMessageCodeNetwork002,
                                   "Failed to create network request. Code, error",
                                   {Value(code), Value(error)});
  if (!handler) return;
  (queue ? queue : platform::mainQueue())->async([handler, error] {
    handler(nullptr, Bytes{}, error);
  });
}

bool GULNetwork::hasUploadInProgress() const {
  return requests_.count() > 0;
}

void GULNetwork::setLoggerDelegate(const std::shared_ptr<GULNetworkLoggerDelegate>& delegate) {
  if (!delegate) {
    GULOSLogBasic(GULLoggerLevelError, kGULLogSubsystem, kGULLoggerNetwork, false,
                  messageCode(kGULNetworkMessageCodeNetwork002).c_str(),
                  "Cannot set the network logger delegate: delegate does not conform to the "
                  "network logger protocol.",
                  nullptr);
    return;
  }
  std::lock_guard lock(delegateMutex_);
  loggerDelegate_ = delegate;
}

std::shared_ptr<GULNetworkLoggerDelegate> GULNetwork::loggerDelegate() const {
  std::lock_guard lock(delegateMutex_);
  return loggerDelegate_.lock();
}

std::shared_ptr<GULNetworkReachabilityDelegate> GULNetwork::reachabilityDelegate() const {
  std::lock_guard lock(delegateMutex_);
  return reachabilityDelegate_.lock();
}

void GULNetwork::setReachabilityDelegate(std::weak_ptr<GULNetworkReachabilityDelegate> delegate) {
  std::lock_guard lock(delegateMutex_);
  reachabilityDelegate_ = std::move(delegate);
}

void GULNetwork::reachability_statusChanged(GULReachabilityChecker&, GULReachabilityStatus status) {
  networkConnected_ = status == kGULReachabilityViaWifi || status == kGULReachabilityViaCellular;
  if (auto delegate = reachabilityDelegate()) delegate->reachabilityDidChange();
}

void GULNetwork::handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                       std::function<void()> completionHandler) {
  GULNetworkURLSession::handleEventsForBackgroundURLSessionID(sessionID,
                                                              std::move(completionHandler));
}

// ---------------------------------------------------------------------------------------------
// Logging

void GULNetwork::GULNetwork_logWithLevel_contexts(GULNetworkLogLevel level,
                                                  GULNetworkMessageCode code,
                                                  const std::string& message,
                                                  const std::vector<Value>& contexts) {
  if (auto delegate = loggerDelegate()) {
    delegate->GULNetwork_logWithLevel_contexts(level, code, message, contexts);
    return;
  }
  if (!isDebugModeEnabled_ && level != kGULNetworkLogLevelError &&
      level != kGULNetworkLogLevelWarning && level != kGULNetworkLogLevelInfo) {
    return;
  }
  std::string text = "<Ziriza/Utilities/Network/";
  text += levelName(level);
  text += "> ";
  text += message.empty() ? "(Message was empty)" : message;
  if (!contexts.empty()) {
    text += ": ";
    for (std::size_t i = 0; i < contexts.size(); ++i) {
      if (i) text += ", ";
      text += describe(contexts[i]);
    }
  }
  platform::Log::cached("com.lumora.console", "console")->notice(text);
  GULOSLogBasic(static_cast<GULLoggerLevel>(level), kGULLogSubsystem, kGULLoggerNetwork, false,
                messageCode(code).c_str(), text.c_str(), nullptr);
}

void GULNetwork::GULNetwork_logWithLevel_context(GULNetworkLogLevel level,
                                                 GULNetworkMessageCode code,
                                                 const std::string& message, const Value& context) {
  if (auto delegate = loggerDelegate()) {
    delegate->GULNetwork_logWithLevel_context(level, code, message, context);
    return;
  }
  std::vector<Value> contexts;
  if (!context.isNull()) contexts.push_back(context);
  GULNetwork_logWithLevel_contexts(level, code, message, contexts);
}

void GULNetwork::GULNetwork_logWithLevel(GULNetworkLogLevel level, GULNetworkMessageCode code,
                                         const std::string& message) {
  if (auto delegate = loggerDelegate()) {
    delegate->GULNetwork_logWithLevel(level, code, message);
    return;
  }
  GULNetwork_logWithLevel_contexts(level, code, message, {});
}
