// The URL session: runs HTTP(S) requests over libcurl (stands in for the platform's URL session
// service). A session is made with a configuration, an optional delegate and a delegate queue;
// it makes data, upload and download tasks, each of which runs on a transfer thread of its own
// once resumed.
//
// Threads and queues: every delegate call and every completion block runs on the session's
// delegate queue, one at a time and in order (give the main queue or a serial queue; without
// one the session makes a serial queue of its own). A task's completion (the block, or
// didCompleteWithError) is delivered exactly once.
//
// Decisions that the caller makes:
// - The request's URL is sent as built: dot segments in the path are not folded away.
// - Redirects are never followed on their own: the delegate is asked (willPerformHTTPRedirection)
//   and the redirect is followed only when it answers with a request; answering none finishes
//   the task with the redirect response. Without a delegate every redirect is followed.
// - Server trust is evaluated by libcurl's certificate verification. For an HTTPS request the
//   delegate is shown a server-trust challenge carrying the verdict; cancelling the challenge
//   cancels the task (kURLErrorCancelled); an untrusted server that is not cancelled fails with
//   kURLErrorServerCertificateUntrusted. An untrusted server is never talked to.
//
// Background configurations are simulated in process: tasks run like foreground ones, but (as
// on the platform) a background session only makes upload tasks from a file and download tasks.
//
// Ownership: the session keeps its delegate until it is invalidated and every task has
// finished; a running task keeps its session alive. All methods are thread-safe.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "platform/dispatch/queue.h"
#include "platform/net/url_error.h"
#include "platform/net/url_request.h"

namespace platform {

class URLSession;
class URLSessionTask;
using URLSessionPtr = std::shared_ptr<URLSession>;
using URLSessionTaskPtr = std::shared_ptr<URLSessionTask>;

struct URLSessionConfiguration {
  enum class Kind { Default, Ephemeral, Background };

  Kind kind = Kind::Default;
  std::string identifier;  // background configurations only
  // Sent with every request unless the request sets the same field itself.
  HTTPHeaders HTTPAdditionalHeaders;
  double timeoutIntervalForRequest = 60.0;          // seconds without progress
  double timeoutIntervalForResource = 7 * 86400.0;  // seconds for the whole transfer
  URLRequestCachePolicy requestCachePolicy = URLRequestCachePolicy::UseProtocolCachePolicy;
  // The session keeps no response cache; the switch is kept so callers can state their intent.
  bool URLCacheEnabled = true;
  // A response body larger than this fails with kURLErrorDataLengthExceedsMaximum, so a hostile
  // server cannot make the process buffer without bound.
  std::uint64_t maximumResponseBytes = 64u << 20;
  // Extra trust anchors (a PEM file) beside the system's; empty for the system's only.
  std::string additionalTrustedCertificatesFile;

  static URLSessionConfiguration defaultSessionConfiguration();
  static URLSessionConfiguration ephemeralSessionConfiguration();
  static URLSessionConfiguration backgroundSessionConfiguration(std::string identifier);
};

// The server's identity as libcurl's verification saw it.
struct ServerTrust {
  std::string host;
  int port = 0;
  bool trusted = false;
  std::string failureReason;  // why verification failed; empty when trusted
};
using ServerTrustPtr = std::shared_ptr<const ServerTrust>;

// Evaluates a server trust: true when trusted; otherwise false with an untrusted-server error.
bool evaluateServerTrust(const ServerTrust& trust, ErrorPtr* error);

inline constexpr const char* kURLAuthenticationMethodServerTrust =
    "NSURLAuthenticationMethodServerTrust";

struct URLAuthenticationChallenge {
  std::string authenticationMethod = kURLAuthenticationMethodServerTrust;
  std::string host;
  int port = 0;
  ServerTrustPtr serverTrust;  // present for server-trust challenges
};

struct URLCredential {
  ServerTrustPtr trust;
  // A credential for the trust, or null when there is no trust to vouch for.
  static std::shared_ptr<const URLCredential> credentialForTrust(const ServerTrustPtr& trust);
};
using URLCredentialPtr = std::shared_ptr<const URLCredential>;

enum class URLSessionAuthChallengeDisposition {
  UseCredential,
  PerformDefaultHandling,
  CancelAuthenticationChallenge,
  RejectProtectionSpace,
};

using ChallengeCompletion =
    std::function<void(URLSessionAuthChallengeDisposition, URLCredentialPtr)>;
// Answer with the request to follow, or nothing to stop at the redirect response.
using RedirectCompletion = std::function<void(std::optional<URLRequest>)>;
using DataTaskCompletion =
    std::function<void(const Bytes& data, const HTTPURLResponsePtr& response, ErrorPtr error)>;

// Receives a session's events on its delegate queue. Every method has a default; a completion
// handed to the delegate may be called from any thread, at most once counts, and one that is
// dropped without being called counts as the default answer.
class URLSessionDelegate {
 public:
  virtual ~URLSessionDelegate() = default;
  virtual void didReceiveData(URLSession&, URLSessionTask&, const Bytes&) {}
  // The body of a download task, in a file that is removed as soon as this returns.
  virtual void didFinishDownloadingToURL(URLSession&, URLSessionTask&, const std::string&) {}
  // `error` is null on success. Also for HTTP error statuses the error is null: they are answers.
  virtual void didCompleteWithError(URLSession&, URLSessionTask&, const ErrorPtr&) {}
  virtual void didReceiveChallenge(URLSession&, URLSessionTask&, const URLAuthenticationChallenge&,
                                   ChallengeCompletion completion) {
    completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
  }
  virtual void willPerformHTTPRedirection(URLSession&, URLSessionTask&, const HTTPURLResponse&,
                                          const URLRequest& newRequest,
                                          RedirectCompletion completion) {
    completion(newRequest);
  }
};

class URLSessionTask : public std::enable_shared_from_this<URLSessionTask> {
 public:
  enum class Kind { Data, Upload, Download };
  enum class State { Suspended, Running, Canceling, Completed };

  ~URLSessionTask();

  std::uint64_t taskIdentifier() const { return identifier_; }
  Kind kind() const { return kind_; }
  URLRequest originalRequest() const;
  URLRequest currentRequest() const;
  // The response once its headers have arrived (the redirect response when a redirect was
  // refused). Stays set when the transfer later fails.
  HTTPURLResponsePtr response() const;
  ErrorPtr error() const;
  State state() const;
  std::weak_ptr<URLSession> session() const { return session_; }

  // Starts the transfer; later calls do nothing.
  void resume();
  // Stops the transfer; it completes with kURLErrorCancelled unless it already completed.
  void cancel();

 private:
  friend class URLSession;
  friend struct TaskRunner;
  URLSessionTask(Kind kind, URLRequest request, std::shared_ptr<URLSession> session);

  const Kind kind_;
  const std::uint64_t identifier_;
  const URLRequest originalRequest_;
  std::weak_ptr<URLSession> session_;

  mutable std::mutex mutex_;
  URLRequest currentRequest_;
  HTTPURLResponsePtr response_;
  ErrorPtr error_;
  State state_ = State::Suspended;
  bool started_ = false;
  std::atomic<bool> cancelled_{false};

  // What the task sends and how it reports.
  std::optional<Bytes> uploadData_;
  std::string uploadFile_;
  DataTaskCompletion completion_;
  // Wakes a transfer thread waiting for a delegate decision.
  std::function<void()> wake_;
};

class URLSession : public std::enable_shared_from_this<URLSession> {
 public:
  static URLSessionPtr sessionWithConfiguration(URLSessionConfiguration configuration,
                                                std::shared_ptr<URLSessionDelegate> delegate,
                                                QueuePtr delegateQueue);
  ~URLSession();

  const URLSessionConfiguration& configuration() const { return configuration_; }
  const QueuePtr& delegateQueue() const { return delegateQueue_; }
  std::shared_ptr<URLSessionDelegate> delegate() const;

  // Task factories. Each returns null when the session is invalidated or the task kind is not
  // allowed in this session (memory uploads and completion blocks in background sessions).
  // Tasks start suspended: call resume().
  URLSessionTaskPtr dataTaskWithRequest(const URLRequest& request);
  URLSessionTaskPtr dataTaskWithRequest(const URLRequest& request, DataTaskCompletion completion);
  URLSessionTaskPtr uploadTaskWithRequest(const URLRequest& request, Bytes body);
  URLSessionTaskPtr uploadTaskWithRequestFromFile(const URLRequest& request, std::string filePath);
  URLSessionTaskPtr downloadTaskWithRequest(const URLRequest& request);

  // No new tasks; running ones finish, then the delegate is released.
  void finishTasksAndInvalidate();
  // No new tasks; running ones are cancelled, then the delegate is released.
  void invalidateAndCancel();
  bool isInvalidated() const;
  std::size_t runningTaskCount() const;

 private:
  friend class URLSessionTask;
  friend struct TaskRunner;
  URLSession(URLSessionConfiguration configuration, std::shared_ptr<URLSessionDelegate> delegate,
             QueuePtr delegateQueue);
  URLSessionTaskPtr makeTask(URLSessionTask::Kind kind, const URLRequest& request);
  void taskFinished(const URLSessionTaskPtr& task);

  const URLSessionConfiguration configuration_;
  const QueuePtr delegateQueue_;
  mutable std::mutex mutex_;
  std::shared_ptr<URLSessionDelegate> delegate_;
  std::set<URLSessionTaskPtr> tasks_;  // tasks made and not yet completed
  bool invalidated_ = false;
};

}  // namespace platform
