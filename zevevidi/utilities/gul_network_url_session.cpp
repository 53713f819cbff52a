#include "zevevidi/utilities/gul_network_url_session.h"

#include <sys/stat.h>
#include <sys/types.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <map>

#include "platform/core/uuid.h"
#include "platform/dispatch/clock.h"
#include "platform/dispatch/queue.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/foundation_errors.h"
#include "zevevidi/utilities/gul_logger.h"

using platform::Bytes;
using platform::ErrorPtr;
using platform::HTTPURLResponsePtr;
using platform::URLRequest;
using platform::Value;

namespace {

// Weakly held transport objects by session identifier, with the identity of the registered
// object so that only its own entry is removed when it goes away.
struct FetcherEntry {
  std::weak_ptr<GULNetworkURLSession> session;
  const GULNetworkURLSession* identity = nullptr;
};

std::mutex& fetcherMapLock() {
  static std::mutex lock;
  return lock;
}
std::map<std::string, FetcherEntry>& fetcherMap() {
  static std::map<std::string, FetcherEntry> map;
  return map;
}

std::mutex& systemHandlersLock() {
  static std::mutex lock;
  return lock;
}
std::map<std::string, GULNetworkSystemCompletionHandler>& systemHandlers() {
  static std::map<std::string, GULNetworkSystemCompletionHandler> handlers;
  return handlers;
}

// At most one trust evaluation at a time, process-wide.
std::mutex& trustEvaluationLock() {
  static std::mutex lock;
  return lock;
}

ErrorPtr networkError(std::int64_t code, const char* context) {
  return platform::Error::make(kGULNetworkErrorDomain, code,
                               {{Value(kGULNetworkErrorContext), Value(context)}});
}

std::string networkDirectory() {
  std::string support = platform::FileManager::defaultManager().pathForDirectory(
      platform::SearchPathDirectory::ApplicationSupport);
  return platform::joinPath(platform::joinPath(support, kGULNetworkApplicationSupportSubdirectory),
                            kGULNetworkTempDirectoryName);
}

bool hasPrefix(const std::string& text, const char* prefix) {
  return text.rfind(prefix, 0) == 0;
}

}  // namespace

// The URL session's delegate: forwards each event to the transport object it keeps alive.
class GULNetworkURLSession::Delegate : public platform::URLSessionDelegate {
 public:
  explicit Delegate(std::shared_ptr<GULNetworkURLSession> owner) : owner_(std::move(owner)) {}
  void didReceiveData(platform::URLSession&, platform::URLSessionTask&,
                      const Bytes& data) override {
    owner_->didReceiveData(data);
  }
  void didFinishDownloadingToURL(platform::URLSession&, platform::URLSessionTask&,
                                 const std::string& path) override {
    owner_->didFinishDownloadingToURL(path);
  }
  void didCompleteWithError(platform::URLSession&, platform::URLSessionTask& task,
                            const ErrorPtr& error) override {
    owner_->didCompleteWithError(task, error);
  }
  void didReceiveChallenge(platform::URLSession&, platform::URLSessionTask&,
                           const platform::URLAuthenticationChallenge& challenge,
                           platform::ChallengeCompletion completion) override {
    owner_->didReceiveChallenge(challenge, std::move(completion));
  }
  void willPerformHTTPRedirection(platform::URLSession&, platform::URLSessionTask&,
                                  const platform::HTTPURLResponse& response, const URLRequest& next,
                                  platform::RedirectCompletion completion) override {
    owner_->willPerformHTTPRedirection(response, next, std::move(completion));
  }

 private:
  std::shared_ptr<GULNetworkURLSession> owner_;
};

GULNetworkURLSession::GULNetworkURLSession(std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate)
    : sessionID_(std::string(kGULNetworkBackgroundSessionConfigIDPrefix) + "-" +
                 platform::UUID::random().string()),
      networkDirectoryURL_(networkDirectory()), loggerDelegate_(std::move(loggerDelegate)) {}

std::shared_ptr<GULNetworkURLSession> GULNetworkURLSession::initWithNetworkLoggerDelegate(
    std::weak_ptr<GULNetworkLoggerDelegate> loggerDelegate) {
  return std::shared_ptr<GULNetworkURLSession>(new GULNetworkURLSession(std::move(loggerDelegate)));
}

GULNetworkURLSession::~GULNetworkURLSession() {
  // The dealloc tracker's job: drop the map entry that is still this object's (it may be
  // registered under an identifier other than its own, see fetcherWithSessionIdentifier).
  std::lock_guard lock(fetcherMapLock());
  std::erase_if(fetcherMap(), [this](const auto& entry) { return entry.second.identity == this; });
}

std::string GULNetworkURLSession::debugDescription() const {
  char text[64];
  std::snprintf(text, sizeof text, "<GULNetworkURLSession: %p>", static_cast<const void*>(this));
  return text;
}

void GULNetworkURLSession::log(GULNetworkLogLevel level, GULNetworkMessageCode code,
                               const std::string& message, std::vector<Value> contexts) {
  if (auto delegate = loggerDelegate_.lock()) {
    delegate->GULNetwork_logWithLevel_contexts(level, code, message, contexts);
  }
}

// ---------------------------------------------------------------------------------------------
// Starting requests

std::string
GULNetworkURLSession::sessionIDFromAsyncPOSTRequest(const URLRequest& request,
                                                    GULNetworkURLSessionCompletionHandler handler) {
  return startTask(request, std::move(handler), true);
}

std::string
GULNetworkURLSession::sessionIDFromAsyncGETRequest(const URLRequest& request,
                                                   GULNetworkURLSessionCompletionHandler handler) {
  return startTask(request, std::move(handler), false);
}

std::string GULNetworkURLSession::startTask(const URLRequest& request,
                                            GULNetworkURLSessionCompletionHandler handler,
                                            bool isPOST) {
  using platform::URLSessionConfiguration;
  URLSessionConfiguration config;
  bool uploadFromFile = false;
  if (isPOST) {
    uploadingFileURL_ = platform::joinPath(networkDirectoryURL_, "GULUpload_temp_" + sessionID_);
    maybeRemoveTempFilesAtURL(networkDirectoryURL_, kGULNetworkTempFolderExpireTime);
    if (backgroundNetworkEnabled_ && ensureTemporaryDirectoryExists()) {
      ErrorPtr error;
      if (platform::FileManager::defaultManager().writeAtomically(uploadingFileURL_,
                                                                  request.httpBody, &error)) {
        excludeFromBackup(uploadingFileURL_);
        config = URLSessionConfiguration::backgroundSessionConfiguration(sessionID_);
        uploadFromFile = true;
      } else {
        log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession000,
            "Failed to write request data to file", {Value(error)});
      }
    }
  } else if (backgroundNetworkEnabled_) {
    config = URLSessionConfiguration::backgroundSessionConfiguration(sessionID_);
  }

  config.HTTPAdditionalHeaders = request.headers;
  config.timeoutIntervalForRequest = request.timeoutInterval;
  config.timeoutIntervalForResource = request.timeoutInterval;
  config.requestCachePolicy = request.cachePolicy;
  if (!isPOST) config.URLCacheEnabled = false;

  auto self = shared_from_this();
  auto session = platform::URLSession::sessionWithConfiguration(
      config, std::make_shared<Delegate>(self), platform::mainQueue());
  platform::URLSessionTaskPtr task;
  if (session) {
    if (isPOST) {
      Bytes body = request.httpBody;
      URLRequest withoutBody = request;
      withoutBody.httpBody.clear();
      task = uploadFromFile ? session->uploadTaskWithRequestFromFile(withoutBody, uploadingFileURL_)
                            : session->uploadTaskWithRequest(withoutBody, std::move(body));
    } else {
      task = session->downloadTaskWithRequest(request);
    }
  }
  if (!session || !task) {
    if (session) session->invalidateAndCancel();
    callCompletionHandler(
        std::move(handler), nullptr, {},
        networkError(GULErrorCodeNetworkSessionTaskCreation, "Cannot create network session"));
    return {};
  }
  {
    std::lock_guard lock(mutex_);
    sessionConfig_ = config;
    URLSession_ = session;
    request_ = request;
    completionHandler_ = std::move(handler);
  }
  setSessionInFetcherMap(self, sessionID_);
  task->resume();
  return sessionID_;
}

// ---------------------------------------------------------------------------------------------
// Session events

void GULNetworkURLSession::didReceiveData(const Bytes& data) {
  std::lock_guard lock(mutex_);
  downloadedData_.insert(downloadedData_.end(), data.begin(), data.end());
}

void GULNetworkURLSession::didFinishDownloadingToURL(const std::string& path) {
  if (path.empty()) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession001,
        "Unable to read downloaded data from empty temp path");
    std::lock_guard lock(mutex_);
    downloadedData_.clear();
    return;
  }
  ErrorPtr error;
  auto contents = platform::FileManager::defaultManager().contentsAtPath(path, &error);
  if (!contents) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession002,
        "Cannot read the content of downloaded data", {Value(error)});
  }
  std::lock_guard lock(mutex_);
  downloadedData_ = contents ? std::move(*contents) : Bytes{};
}

void GULNetworkURLSession::didCompleteWithError(platform::URLSessionTask& task,
                                                const ErrorPtr& transportError) {
  GULNetworkURLSessionCompletionHandler handler;
  Bytes data;
  platform::URLSessionConfiguration config;
  std::shared_ptr<platform::URLSession> session;
  {
    std::lock_guard lock(mutex_);
    handler = std::move(completionHandler_);
    completionHandler_ = nullptr;
    data = downloadedData_;
    config = sessionConfig_;
    session = URLSession_.lock();
  }
  HTTPURLResponsePtr response = task.response();
  ErrorPtr error = transportError;
  // A transfer that broke after the headers keeps its error: the body is incomplete, and
  // handing over the response alone would pass a truncated body off as the answer.
  if (!response && !error) {
    error = networkError(GULErrorCodeNetworkEmptyResponse, "Network Error: Empty network response");
  }
  callCompletionHandler(std::move(handler), response, data, error);

  removeTempItemAtURL(uploadingFileURL_);
  maybeRemoveTempFilesAtURL(networkDirectoryURL_, kGULNetworkTempFolderExpireTime);

  if (session) session->finishTasksAndInvalidate();
  if (!config.identifier.empty()) setSessionInFetcherMap(nullptr, config.identifier);
}

void GULNetworkURLSession::callCompletionHandler(GULNetworkURLSessionCompletionHandler handler,
                                                 const HTTPURLResponsePtr& response,
                                                 const Bytes& data, const ErrorPtr& error) {
  if (error) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession017,
        "Encounter network error. Code, error", {Value(error->code), Value(error)});
  }
  if (!handler) return;
  platform::mainQueue()->async([handler = std::move(handler), response, data,
                                sessionID = sessionID_,
                                error] { handler(response, data, sessionID, error); });
}

void GULNetworkURLSession::didReceiveChallenge(
    const platform::URLAuthenticationChallenge& challenge,
    platform::ChallengeCompletion completion) {
  using platform::URLSessionAuthChallengeDisposition;
  std::string url;
  {
    std::lock_guard lock(mutex_);
    url = request_.url;
  }
  if (challenge.authenticationMethod != platform::kURLAuthenticationMethodServerTrust) {
    completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    return;
  }
  if (!challenge.serverTrust) {
    log(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession004,
        "Received empty server trust for host. Host", {Value(url)});
    completion(URLSessionAuthChallengeDisposition::PerformDefaultHandling, nullptr);
    return;
  }
  auto credential = platform::URLCredential::credentialForTrust(challenge.serverTrust);
  if (!credential) {
    log(kGULNetworkLogLevelWarning, kGULNetworkMessageCodeURLSession005,
        "Unable to verify server identity. Host", {Value(url)});
    completion(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr);
    return;
  }
  log(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession006,
      "Received SSL challenge for host. Host", {Value(url)});
  auto self = shared_from_this();
  auto trust = challenge.serverTrust;
  platform::globalQueue(platform::QueuePriority::Default)
      ->async([self, trust, credential, completion, url] {
        bool trusted = false;
        {
          std::lock_guard lock(trustEvaluationLock());
          ErrorPtr error;
          trusted = platform::evaluateServerTrust(*trust, &error);
          if (error) {
            self->log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession008,
                      "Cannot evaluate server trust. Error, host",
                      {Value(error->code), Value(url)});
          }
        }
        if (trusted) {
          completion(URLSessionAuthChallengeDisposition::UseCredential, credential);
        } else {
          self->log(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession007,
                    "Cancelling authentication challenge for host. Host", {Value(url)});
          completion(URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge, nullptr);
        }
      });
}

void GULNetworkURLSession::willPerformHTTPRedirection(const platform::HTTPURLResponse& response,
                                                      const URLRequest& next,
                                                      platform::RedirectCompletion completion) {
  switch (response.statusCode) {
  case kGULNetworkHTTPStatusCodeMultipleChoices:
  case kGULNetworkHTTPStatusCodeMovedPermanently:
  case kGULNetworkHTTPStatusCodeFound:
  case kGULNetworkHTTPStatusCodeMovedTemporarily:
    completion(std::nullopt);
    return;
  default:
    completion(next);
  }
}

// ---------------------------------------------------------------------------------------------
// Temporary files

bool GULNetworkURLSession::ensureTemporaryDirectoryExists() {
  auto& files = platform::FileManager::defaultManager();
  bool isDirectory = false;
  if (files.fileExists(networkDirectoryURL_, &isDirectory) && isDirectory) return true;
  ErrorPtr error;
  if (!files.createDirectory(networkDirectoryURL_, true, &error)) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession015,
        "Cannot create temporary directory. Error", {Value(error)});
    return false;
  }
  excludeFromBackup(networkDirectoryURL_);
  return true;
}

void GULNetworkURLSession::excludeFromBackup(const std::string& path) {
  if (path.empty()) return;
  if (!platform::FileManager::defaultManager().setExcludedFromBackup(path, true)) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession016,
        "Cannot exclude temporary folder from iTunes backup");
  }
}

void GULNetworkURLSession::maybeRemoveTempFilesAtURL(const std::string& directory,
                                                     double expiringTime) {
  if (directory.empty()) return;
  auto& files = platform::FileManager::defaultManager();
  ErrorPtr error;
  auto entries = files.contentsOfDirectory(directory, &error);
  if (!entries) {
    if (error && error->code != platform::kFileReadNoSuchFileError &&
        error->code != platform::kFileNoSuchFileError) {
      log(kGULNetworkLogLevelDebug, kGULNetworkMessageCodeURLSession012,
          "Cannot get files from the temporary network folder. Error", {Value(error)});
    }
    return;
  }
  const double now = platform::Clock::current().now();
  for (const auto& name : *entries) {
    const std::string path = platform::joinPath(directory, name);
    // Files here are written once and never changed, so their write time is their creation
    // time; unlike a birth time it is also kept by every file system.
    auto attributes = files.attributesOfItem(path);
    if (!attributes) continue;
    if (std::fabs(now - attributes->modificationDate.secondsSince1970) > expiringTime) {
      removeTempItemAtURL(path);
    }
  }
}

void GULNetworkURLSession::removeTempItemAtURL(const std::string& path) {
  if (path.empty()) return;
  ErrorPtr error;
  if (!platform::FileManager::defaultManager().removeItem(path, &error)) {
    if (error && error->code != platform::kFileNoSuchFileError &&
        error->code != platform::kFileReadNoSuchFileError) {
      log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession013,
          "Failed to remove temporary uploading data file. Error",
          {Value(error->localizedDescription())});
    }
  }
}

// ---------------------------------------------------------------------------------------------
// Fetcher map and background events

void GULNetworkURLSession::setSessionInFetcherMap(
    const std::shared_ptr<GULNetworkURLSession>& fetcher, const std::string& sessionID) {
  if (sessionID.empty()) return;
  std::shared_ptr<GULNetworkURLSession> discarded;
  {
    std::lock_guard lock(fetcherMapLock());
    auto& map = fetcherMap();
    auto it = map.find(sessionID);
    if (it != map.end()) {
      auto existing = it->second.session.lock();
      if (existing && fetcher && existing != fetcher) discarded = existing;
    }
    if (fetcher) {
      map[sessionID] = FetcherEntry{fetcher, fetcher.get()};
    } else if (it != map.end()) {
      map.erase(it);
    }
  }
  if (discarded) {
    // Outside the lock: the old object's logger and session may call back into the map.
    discarded->log(kGULNetworkLogLevelInfo, kGULNetworkMessageCodeURLSession019,
                   "Discarding session: " + discarded->debugDescription());
    std::shared_ptr<platform::URLSession> old;
    {
      std::lock_guard lock(discarded->mutex_);
      old = discarded->URLSession_.lock();
    }
    if (old) old->finishTasksAndInvalidate();
  }
}

std::shared_ptr<GULNetworkURLSession>
GULNetworkURLSession::sessionFromFetcherMapForSessionID(const std::string& sessionID) {
  if (sessionID.empty()) return nullptr;
  std::lock_guard lock(fetcherMapLock());
  auto& map = fetcherMap();
  auto it = map.find(sessionID);
  return it == map.end() ? nullptr : it->second.session.lock();
}

std::shared_ptr<GULNetworkURLSession>
GULNetworkURLSession::fetcherWithSessionIdentifier(const std::string& sessionID) {
  auto fetcher = sessionFromFetcherMapForSessionID(sessionID);
  if (!fetcher && hasPrefix(sessionID, kGULNetworkBackgroundSessionConfigIDPrefix)) {
    fetcher = initWithNetworkLoggerDelegate({});
    fetcher->setSessionID(sessionID);
    setSessionInFetcherMap(fetcher, sessionID);
  }
  return fetcher;
}

void GULNetworkURLSession::handleEventsForBackgroundURLSessionID(
    const std::string& sessionID, GULNetworkSystemCompletionHandler handler) {
  if (!hasPrefix(sessionID, kGULNetworkBackgroundSessionConfigIDPrefix)) return;
  auto fetcher = fetcherWithSessionIdentifier(sessionID);
  if (fetcher) {
    fetcher->addSystemCompletionHandler(std::move(handler), sessionID);
    return;
  }
  const std::string text =
      "Failed to retrieve background session with ID " + sessionID + " after app is relaunched.";
  GULOSLogBasic(GULLoggerLevelError, kGULLogSubsystem, kGULLoggerNetwork, false, "I-NET900003",
                text.c_str(), nullptr);
}

void GULNetworkURLSession::addSystemCompletionHandler(GULNetworkSystemCompletionHandler handler,
                                                      const std::string& sessionID) {
  if (!handler) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession009,
        "Cannot store nil system completion handler in network");
    return;
  }
  if (sessionID.empty()) {
    log(kGULNetworkLogLevelError, kGULNetworkMessageCodeURLSession010,
        "Cannot store system completion handler with empty network session identifier");
    return;
  }
  bool replaced = false;
  {
    std::lock_guard lock(systemHandlersLock());
    replaced = systemHandlers().count(sessionID) > 0;
    systemHandlers()[sessionID] = std::move(handler);
  }
  if (replaced) {
    log(kGULNetworkLogLevelWarning, kGULNetworkMessageCodeURLSession011,
        "Got multiple system handlers for a single session ID", {Value(sessionID)});
  }
}

void GULNetworkURLSession::callSystemCompletionHandler(const std::string& sessionID) {
  GULNetworkSystemCompletionHandler handler;
  {
    std::lock_guard lock(systemHandlersLock());
    auto it = systemHandlers().find(sessionID);
    if (it == systemHandlers().end()) return;
    handler = std::move(it->second);
    systemHandlers().erase(it);
  }
  if (handler) platform::mainQueue()->async(std::move(handler));
}

bool GULNetworkURLSession::hasSystemCompletionHandlerForTesting(const std::string& sessionID) {
  std::lock_guard lock(systemHandlersLock());
  return systemHandlers().count(sessionID) > 0;
}
