// GULNetwork is the HTTP client of the measurement engine and the experiments client: it builds
// one request per call (a gzip-compressed POST or a GET), runs it through a fresh
// GULNetworkURLSession, keeps it in its table of requests in flight until the answer is back,
// and delivers the answer on the caller's queue exactly once. It also watches one host's
// reachability and routes the networking code's log lines to a logger delegate or its own
// fallback output.
//
// Calls may come from any thread. Completions are re-dispatched to the caller's queue (the main
// queue when none is given); reachability changes arrive on the main thread. The delegates are
// held weakly. Held by shared pointer; one instance per owner.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "platform/net/reachability.h"
#include "platform/net/url_request.h"
#include "zevevidi/utilities/gul_mutable_dictionary.h"
#include "zevevidi/utilities/gul_network_constants.h"
#include "zevevidi/utilities/gul_reachability_checker.h"

class GULNetworkReachabilityDelegate {
 public:
  virtual ~GULNetworkReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};

// Response (null when none), body (empty when none), error (null on an answer, whatever its
// status; also set together with the response when the transfer broke after the headers).
using GULNetworkCompletionHandler =
    std::function<void(const platform::HTTPURLResponsePtr& response, const platform::Bytes& data,
                       const platform::ErrorPtr& error)>;

class GULNetwork : public GULNetworkLoggerDelegate,
                   public GULReachabilityDelegate,
                   public std::enable_shared_from_this<GULNetwork> {
 public:
  // Watches GULNetworkReachabilityHost().
  static std::shared_ptr<GULNetwork> init();
  // Null when the reachability checker cannot be made or started. `reachabilityApi` replaces the
  // platform's table (tests inject a double); it must outlive the client.
  static std::shared_ptr<GULNetwork>
  initWithReachabilityHost(const std::string& host,
                           const platform::ReachabilityApi* reachabilityApi = nullptr);
  ~GULNetwork() override;

  // The session identifier, or "" when no request could be started; in that case the handler
  // still receives the error, once, on `queue`.
  std::string postURL(const std::string& url, const std::optional<platform::HTTPHeaders>& headers,
                      const platform::Bytes& payload, platform::QueuePtr queue,
                      bool usingBackgroundSession, GULNetworkCompletionHandler handler);
  std::string postURL(const std::string& url, const platform::Bytes& payload,
                      platform::QueuePtr queue, bool usingBackgroundSession,
                      GULNetworkCompletionHandler handler);
  std::string getURL(const std::string& url, const std::optional<platform::HTTPHeaders>& headers,
                     platform::QueuePtr queue, bool usingBackgroundSession,
                     GULNetworkCompletionHandler handler);

  bool hasUploadInProgress() const;
  bool isNetworkConnected() const { return networkConnected_; }

  // Kept only when present; a missing delegate is refused with an error log.
  void setLoggerDelegate(const std::shared_ptr<GULNetworkLoggerDelegate>& delegate);
  std::shared_ptr<GULNetworkLoggerDelegate> loggerDelegate() const;
  std::shared_ptr<GULNetworkReachabilityDelegate> reachabilityDelegate() const;
  void setReachabilityDelegate(std::weak_ptr<GULNetworkReachabilityDelegate> delegate);
  bool isDebugModeEnabled() const { return isDebugModeEnabled_; }
  void setIsDebugModeEnabled(bool enabled) { isDebugModeEnabled_ = enabled; }
  double timeoutInterval() const { return timeoutInterval_; }
  void setTimeoutInterval(double seconds) { timeoutInterval_ = seconds; }

  // GULNetworkLoggerDelegate: to the logger delegate when set, else the fallback output.
  void GULNetwork_logWithLevel_contexts(GULNetworkLogLevel level, GULNetworkMessageCode messageCode,
                                        const std::string& message,
                                        const std::vector<platform::Value>& contexts) override;
  void GULNetwork_logWithLevel_context(GULNetworkLogLevel level, GULNetworkMessageCode messageCode,
                                       const std::string& message,
                                       const platform::Value& context) override;
  void GULNetwork_logWithLevel(GULNetworkLogLevel level, GULNetworkMessageCode messageCode,
                               const std::string& message) override;

  // GULReachabilityDelegate.
  void reachability_statusChanged(GULReachabilityChecker& reachability,
                                  GULReachabilityStatus status) override;

  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    std::function<void()> completionHandler);

  GULNetwork();

 private:
  std::string startRequest(const std::string& url, const platform::URLRequest& request,
                           platform::QueuePtr queue, bool usingBackgroundSession,
                           GULNetworkCompletionHandler handler, bool isPOST);
  void handleErrorWithCode(std::int64_t code, const platform::QueuePtr& queue,
                           GULNetworkCompletionHandler handler);
  double effectiveTimeout() const;

  std::shared_ptr<GULReachabilityChecker> reachability_;
  GULMutableDictionary requests_;
  std::atomic<bool> networkConnected_{false};
  std::atomic<bool> isDebugModeEnabled_{false};
  mutable std::mutex delegateMutex_;  // guards the two delegate references
  std::weak_ptr<GULNetworkReachabilityDelegate> reachabilityDelegate_;
  std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate_;
  std::atomic<double> timeoutInterval_{kGULNetworkTimeOutInterval};
};
