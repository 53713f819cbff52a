// GULNetworkURLSession runs exactly one HTTP request for the network client over the platform URL
// session: a POST from memory or, in background mode, from a temporary file, or a GET through a
// download task. It collects the body, answers server-trust challenges, refuses certain
// redirects, cleans up temporary upload files and hands the result back through one completion
// on the main queue, exactly once.
//
// A process-wide map (under one lock) links session identifiers to live objects, so events for
// a background session identifier reach the object that owns it. An object stays alive through
// its URL session (which holds its delegate until the task completes) and is otherwise held by
// its owner; the map holds it weakly. Session callbacks arrive on the main queue; received data
// is appended under the object's own lock.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/net/url_session.h"
#include "zevevidi/utilities/gul_network_constants.h"

// Response, body (empty when there is none), session identifier, error.
using GULNetworkURLSessionCompletionHandler =
    std::function<void(const platform::HTTPURLResponsePtr& response, const platform::Bytes& data,
                       const std::string& sessionID, const platform::ErrorPtr& error)>;
using GULNetworkSystemCompletionHandler = std::function<void()>;

class GULNetworkURLSession : public platform::Object,
                             public std::enable_shared_from_this<GULNetworkURLSession> {
 public:
  static std::shared_ptr<GULNetworkURLSession>
  initWithNetworkLoggerDelegate(std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate);
  ~GULNetworkURLSession() override;

  // Start the request and return the session identifier, or "" after the completion has been
  // given the error (code 2). The completion runs once, on the main queue.
  std::string sessionIDFromAsyncPOSTRequest(const platform::URLRequest& request,
                                            GULNetworkURLSessionCompletionHandler handler);
  std::string sessionIDFromAsyncGETRequest(const platform::URLRequest& request,
                                           GULNetworkURLSessionCompletionHandler handler);

  bool backgroundNetworkEnabled() const { return backgroundNetworkEnabled_; }
  void setBackgroundNetworkEnabled(bool enabled) { backgroundNetworkEnabled_ = enabled; }
  std::shared_ptr<GULNetworkLoggerDelegate> loggerDelegate() const {
    return loggerDelegate_.lock();
  }
  void setLoggerDelegate(std::weak_ptr<GULNetworkLoggerDelegate> d) { loggerDelegate_ = d; }
  const std::string& sessionID() const { return sessionID_; }
  void setSessionID(const std::string& sessionID) { sessionID_ = sessionID; }
  const std::string& networkDirectoryURL() const { return networkDirectoryURL_; }
  const std::string& uploadingFileURL() const { return uploadingFileURL_; }

  // Background session events delivered for an identifier (ignored unless it has our prefix).
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID,
                                                    GULNetworkSystemCompletionHandler handler);
  static std::shared_ptr<GULNetworkURLSession>
  fetcherWithSessionIdentifier(const std::string& sessionID);
  static void setSessionInFetcherMap(const std::shared_ptr<GULNetworkURLSession>& fetcher,
                                     const std::string& sessionID);
  static std::shared_ptr<GULNetworkURLSession>
  sessionFromFetcherMapForSessionID(const std::string& sessionID);

  void addSystemCompletionHandler(GULNetworkSystemCompletionHandler handler,
                                  const std::string& sessionID);
  void callSystemCompletionHandler(const std::string& sessionID);
  // Test support: whether a system completion handler waits under the identifier.
  static bool hasSystemCompletionHandlerForTesting(const std::string& sessionID);

  // Removes entries of `directory` whose age (by their write time, against the clock) is
  // strictly greater than `expiringTime` seconds.
  void maybeRemoveTempFilesAtURL(const std::string& directory, double expiringTime);
  bool ensureTemporaryDirectoryExists();

  std::string className() const override { return "GULNetworkURLSession"; }
  std::string debugDescription() const override;

 private:
  class Delegate;
  friend class Delegate;
  explicit GULNetworkURLSession(std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate);

  // URL session events (main queue).
  void didReceiveData(const platform::Bytes& data);
  void didFinishDownloadingToURL(const std::string& path);
  void didCompleteWithError(platform::URLSessionTask& task, const platform::ErrorPtr& error);
  void didReceiveChallenge(const platform::URLAuthenticationChallenge& challenge,
                           platform::ChallengeCompletion completion);
  void willPerformHTTPRedirection(const platform::HTTPURLResponse& response,
                                  const platform::URLRequest& next,
                                  platform::RedirectCompletion completion);

  std::string startTask(const platform::URLRequest& request,
                        GULNetworkURLSessionCompletionHandler handler, bool isPOST);
  void callCompletionHandler(GULNetworkURLSessionCompletionHandler handler,
                             const platform::HTTPURLResponsePtr& response,
                             const platform::Bytes& data, const platform::ErrorPtr& error);
  void removeTempItemAtURL(const std::string& path);
  void excludeFromBackup(const std::string& path);
  void log(GULNetworkLogLevel level, GULNetworkMessageCode code, const std::string& message,
           std::vector<platform::Value> contexts = {});

  std::mutex mutex_;  // guards the fields below that session callbacks touch
  GULNetworkURLSessionCompletionHandler completionHandler_;
  std::string sessionID_;
  platform::URLSessionConfiguration sessionConfig_;
  std::weak_ptr<platform::URLSession> URLSession_;
  std::string networkDirectoryURL_;
  platform::Bytes downloadedData_;
  std::string uploadingFileURL_;
  platform::URLRequest request_;
  bool backgroundNetworkEnabled_ = false;
  std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate_;
};
