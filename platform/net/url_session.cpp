#include "platform/net/url_session.h"

#include <curl/curl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/dispatch/pending_work.h"

namespace platform {

namespace {

std::atomic<std::uint64_t> gNextTaskIdentifier{1};

void ensureCurlInitialized() {
  static const bool initialized = [] {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    return true;
  }();
  (void)initialized;
}

bool isRedirectStatus(int status) {
  return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// A header field we refuse to send: names or values that would split the request.
bool isUnsafeHeader(const std::string& name, const std::string& value) {
  if (name.empty()) return true;
  for (char c : name) {
    if (c == ':' || c == '\r' || c == '\n' || c == '\0' || c == ' ' || c == '\t') return true;
  }
  for (char c : value) {
    if (c == '\r' || c == '\n' || c == '\0') return true;
  }
  return false;
}

std::int64_t codeForCurlError(CURLcode rc) {
  switch (rc) {
  case CURLE_UNSUPPORTED_PROTOCOL:
    return kURLErrorUnsupportedURL;
  case CURLE_URL_MALFORMAT:
    return kURLErrorBadURL;
  case CURLE_COULDNT_RESOLVE_HOST:
  case CURLE_COULDNT_RESOLVE_PROXY:
    return kURLErrorCannotFindHost;
  case CURLE_COULDNT_CONNECT:
    return kURLErrorCannotConnectToHost;
  case CURLE_OPERATION_TIMEDOUT:
    return kURLErrorTimedOut;
  case CURLE_PARTIAL_FILE:
  case CURLE_RECV_ERROR:
  case CURLE_SEND_ERROR:
  case CURLE_GOT_NOTHING:
  case CURLE_HTTP2:
  case CURLE_HTTP2_STREAM:
    return kURLErrorNetworkConnectionLost;
  case CURLE_WEIRD_SERVER_REPLY:
    return kURLErrorBadServerResponse;
  case CURLE_BAD_CONTENT_ENCODING:
    return kURLErrorCannotDecodeContentData;
  case CURLE_TOO_MANY_REDIRECTS:
    return kURLErrorHTTPTooManyRedirects;
  case CURLE_PEER_FAILED_VERIFICATION:
    return kURLErrorServerCertificateUntrusted;
  case CURLE_SSL_CONNECT_ERROR:
  case CURLE_SSL_CERTPROBLEM:
  case CURLE_SSL_CIPHER:
  case CURLE_SSL_CACERT_BADFILE:
  case CURLE_SSL_ENGINE_NOTFOUND:
    return kURLErrorSecureConnectionFailed;
  case CURLE_ABORTED_BY_CALLBACK:
    return kURLErrorCancelled;
  case CURLE_READ_ERROR:
    return kURLErrorCannotOpenFile;
  case CURLE_WRITE_ERROR:
    return kURLErrorCannotWriteToFile;
  default:
    return kURLErrorUnknown;
  }
}

// One decision a transfer thread waits for (a redirect or a challenge answer), given on the
// delegate queue. The answer is taken once; a completion dropped unanswered gives the fallback.
template <class T> struct PendingDecision {
  std::mutex mutex;
  std::condition_variable cv;
  std::optional<T> value;

  void resolve(T v) {
    std::lock_guard lock(mutex);
    if (!value) value = std::move(v);
    cv.notify_all();
  }
};

template <class T> struct DecisionResolver {
  DecisionResolver(std::shared_ptr<PendingDecision<T>> p, T f)
      : pending(std::move(p)), fallback(std::move(f)) {}
  DecisionResolver(const DecisionResolver&) = delete;
  DecisionResolver& operator=(const DecisionResolver&) = delete;
  ~DecisionResolver() { pending->resolve(std::move(fallback)); }

  std::shared_ptr<PendingDecision<T>> pending;
  T fallback;
};

struct ChallengeAnswer {
  URLSessionAuthChallengeDisposition disposition =
      URLSessionAuthChallengeDisposition::PerformDefaultHandling;
  URLCredentialPtr credential;
};

// Transfers still running when the process ends are cancelled and given a short while to wind
// down, so no transfer thread is left inside libcurl while the process tears itself down.
class TransferRegistry {
 public:
  // Kept for the life of the process (threads may still leave after the exit hook ran).
  static TransferRegistry& shared() {
    static TransferRegistry* registry = [] {
      auto* r = new TransferRegistry();
      std::atexit([] { shared().shutdown(); });
      return r;
    }();
    return *registry;
  }
  void shutdown() {
    std::vector<std::weak_ptr<URLSessionTask>> running;
    {
      std::lock_guard lock(mutex_);
      running = tasks_;
    }
    for (const auto& weak : running) {
      if (auto task = weak.lock()) task->cancel();
    }
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::seconds(3), [this] { return live_ == 0; });
  }
  void enter(const std::shared_ptr<URLSessionTask>& task) {
    std::lock_guard lock(mutex_);
    std::erase_if(tasks_, [](const auto& w) { return w.expired(); });
    tasks_.push_back(task);
    ++live_;
  }
  void leave() {
    std::lock_guard lock(mutex_);
    --live_;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<std::weak_ptr<URLSessionTask>> tasks_;
  int live_ = 0;
};

}  // namespace

URLSessionConfiguration URLSessionConfiguration::defaultSessionConfiguration() {
  return {};
}

URLSessionConfiguration URLSessionConfiguration::ephemeralSessionConfiguration() {
  URLSessionConfiguration c;
  c.kind = Kind::Ephemeral;
  return c;
}

URLSessionConfiguration
URLSessionConfiguration::backgroundSessionConfiguration(std::string identifier) {
  URLSessionConfiguration c;
  c.kind = Kind::Background;
  c.identifier = std::move(identifier);
  return c;
}

bool evaluateServerTrust(const ServerTrust& trust, ErrorPtr* error) {
  if (trust.trusted) return true;
  if (error) {
    *error = urlError(kURLErrorServerCertificateUntrusted,
                      "The certificate for this server is invalid: " + trust.failureReason,
                      "https://" + trust.host);
  }
  return false;
}

std::shared_ptr<const URLCredential>
URLCredential::credentialForTrust(const ServerTrustPtr& trust) {
  if (!trust) return nullptr;
  auto credential = std::make_shared<URLCredential>();
  credential->trust = trust;
  return credential;
}

// ---------------------------------------------------------------------------------------------
// The transfer thread of one task.

struct TaskRunner {
  URLSessionTaskPtr task;
  URLSessionPtr session;
  CURL* curl = nullptr;
  char errorBuffer[CURL_ERROR_SIZE] = {};

  // Per attempt (one request of the redirect chain).
  URLRequest request;
  bool sendBody = true;
  int status = 0;
  HTTPHeaders headers;
  bool holdForRedirect = false;
  HTTPURLResponsePtr redirectResponse;
  Bytes redirectBody;
  FILE* uploadStream = nullptr;
  std::string host;
  int port = 0;
  bool https = false;

  // Whole task.
  Bytes collected;
  std::string downloadPath;
  FILE* downloadStream = nullptr;
  std::uint64_t received = 0;
  bool tooLarge = false;
  bool writeFailed = false;
  bool challengeCancelled = false;
  std::set<std::string> trustedEndpoints;

  ~TaskRunner() {
    if (uploadStream) std::fclose(uploadStream);
    if (downloadStream) std::fclose(downloadStream);
    if (!downloadPath.empty()) ::unlink(downloadPath.c_str());
    if (curl) curl_easy_cleanup(curl);
  }

  // Runs `call` with the delegate on the delegate queue (nothing when the delegate is gone).
  void post(std::function<void(URLSessionDelegate&, URLSession&, URLSessionTask&)> call) {
    auto s = session;
    auto t = task;
    s->delegateQueue()->async([s, t, call = std::move(call)] {
      auto delegate = s->delegate();
      if (!delegate) return;
      try {
        call(*delegate, *s, *t);
      } catch (...) {
        // A delegate's failure must not take the queue down; the task goes on.
      }
    });
  }

  template <class T>
  T waitForDecision(const std::shared_ptr<PendingDecision<T>>& pending, T onCancel) {
    {
      std::lock_guard lock(task->mutex_);
      task->wake_ = [pending] {
        std::lock_guard l(pending->mutex);
        pending->cv.notify_all();
      };
    }
    std::unique_lock lock(pending->mutex);
    pending->cv.wait(lock, [&] { return pending->value.has_value() || task->cancelled_.load(); });
    T result = pending->value ? std::move(*pending->value) : std::move(onCancel);
    lock.unlock();
    std::lock_guard taskLock(task->mutex_);
    task->wake_ = nullptr;
    return result;
  }

  ChallengeAnswer askChallenge(bool trusted, const std::string& reason) {
    auto trust = std::make_shared<ServerTrust>();
    trust->host = host;
    trust->port = port;
    trust->trusted = trusted;
    trust->failureReason = reason;
    URLAuthenticationChallenge challenge;
    challenge.host = host;
    challenge.port = port;
    challenge.serverTrust = trust;
    if (!session->delegate()) return {};
    auto pending = std::make_shared<PendingDecision<ChallengeAnswer>>();
    auto resolver = std::make_shared<DecisionResolver<ChallengeAnswer>>(pending, ChallengeAnswer{});
    ChallengeCompletion completion = [resolver](URLSessionAuthChallengeDisposition d,
                                                URLCredentialPtr c) {
      resolver->pending->resolve(ChallengeAnswer{d, std::move(c)});
    };
    resolver.reset();
    post([challenge, completion](URLSessionDelegate& d, URLSession& s, URLSessionTask& t) {
      d.didReceiveChallenge(s, t, challenge, completion);
    });
    completion = nullptr;
    ChallengeAnswer cancelled{URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge,
                              nullptr};
    return waitForDecision(pending, cancelled);
  }

  std::optional<URLRequest> askRedirect(const HTTPURLResponse& response, const URLRequest& next,
                                        bool* cancelled) {
    *cancelled = false;
    if (!session->delegate()) return next;
    using Answer = std::optional<URLRequest>;
    auto pending = std::make_shared<PendingDecision<Answer>>();
    // A delegate that drops the completion stops at the redirect response.
    auto resolver = std::make_shared<DecisionResolver<Answer>>(pending, Answer{});
    RedirectCompletion completion = [resolver](Answer a) {
      resolver->pending->resolve(std::move(a));
    };
    resolver.reset();
    post([response, next, completion](URLSessionDelegate& d, URLSession& s, URLSessionTask& t) {
      d.willPerformHTTPRedirection(s, t, response, next, completion);
    });
    completion = nullptr;
    Answer answer = waitForDecision(pending, Answer{});
    if (task->cancelled_) *cancelled = true;
    return answer;
  }

  // Body bytes of the final response go where the task wants them.
  bool deliver(const char* data, std::size_t length) {
    if (length == 0) return true;
    if (task->kind_ == URLSessionTask::Kind::Download) {
      if (!downloadStream || std::fwrite(data, 1, length, downloadStream) != length) {
        writeFailed = true;
        return false;
      }
      return true;
    }
    if (task->completion_) {
      collected.insert(collected.end(), data, data + length);
      return true;
    }
    Bytes chunk(data, data + length);
    post([chunk = std::move(chunk)](URLSessionDelegate& d, URLSession& s, URLSessionTask& t) {
      d.didReceiveData(s, t, chunk);
    });
    return true;
  }

  static size_t onHeader(char* buffer, size_t size, size_t count, void* userdata) {
    auto* self = static_cast<TaskRunner*>(userdata);
    const size_t length = size * count;
    std::string line(buffer, length);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
      line.pop_back();
    if (line.rfind("HTTP/", 0) == 0) {
      self->headers.clear();
      self->status = 0;
      auto space = line.find(' ');
      if (space != std::string::npos) self->status = std::atoi(line.c_str() + space + 1);
      return length;
    }
    if (line.empty()) {
      if (self->status >= 200) self->headersComplete();
      return length;
    }
    auto colon = line.find(':');
    if (colon == std::string::npos) return length;
    std::string name = line.substr(0, colon);
    std::string value = line.substr(colon + 1);
    auto first = value.find_first_not_of(" \t");
    value = first == std::string::npos ? std::string() : value.substr(first);
    while (!value.empty() && (value.back() == ' ' || value.back() == '\t'))
      value.pop_back();
    if (auto existing = self->headers.get(name)) value = *existing + ", " + value;
    self->headers.set(name, value);
    return length;
  }

  void headersComplete() {
    auto response = std::make_shared<HTTPURLResponse>();
    response->url = request.url;
    response->statusCode = status;
    response->headers = headers;
    if (auto length = headers.get("Content-Length")) {
      char* end = nullptr;
      long long n = std::strtoll(length->c_str(), &end, 10);
      if (end != length->c_str() && n >= 0) response->expectedContentLength = n;
    }
    if (isRedirectStatus(status) && headers.contains("Location")) {
      // The body of a redirect is only the task's body if the redirect is refused.
      holdForRedirect = true;
      redirectResponse = response;
      return;
    }
    holdForRedirect = false;
    std::lock_guard lock(task->mutex_);
    task->response_ = response;
  }

  static size_t onWrite(char* data, size_t size, size_t count, void* userdata) {
    auto* self = static_cast<TaskRunner*>(userdata);
    const size_t length = size * count;
    if (self->task->cancelled_) return 0;
    self->received += length;
    if (self->received > self->session->configuration().maximumResponseBytes) {
      self->tooLarge = true;
      return 0;
    }
    if (self->holdForRedirect) {
      self->redirectBody.insert(self->redirectBody.end(), data, data + length);
      return length;
    }
    return self->deliver(data, length) ? length : 0;
  }

  static size_t onRead(char* buffer, size_t size, size_t count, void* userdata) {
    auto* self = static_cast<TaskRunner*>(userdata);
    if (self->task->cancelled_) return CURL_READFUNC_ABORT;
    size_t n = std::fread(buffer, 1, size * count, self->uploadStream);
    if (n == 0 && std::ferror(self->uploadStream)) return CURL_READFUNC_ABORT;
    return n;
  }

  static int onProgress(void* userdata, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    auto* self = static_cast<TaskRunner*>(userdata);
    return self->task->cancelled_ ? 1 : 0;
  }

  // Called by libcurl once the connection (and its TLS handshake, verified) stands, before the
  // request goes out: the delegate decides whether to talk to this server.
  static int onConnected(void* userdata, char*, char*, int, int) {
    auto* self = static_cast<TaskRunner*>(userdata);
    if (!self->https) return CURL_PREREQFUNC_OK;
    const std::string endpoint = self->host + ":" + std::to_string(self->port);
    if (self->trustedEndpoints.count(endpoint)) return CURL_PREREQFUNC_OK;
    ChallengeAnswer answer = self->askChallenge(true, {});
    if (answer.disposition == URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge ||
        self->task->cancelled_) {
      self->challengeCancelled = true;
      return CURL_PREREQFUNC_ABORT;
    }
    self->trustedEndpoints.insert(endpoint);
    return CURL_PREREQFUNC_OK;
  }

  static CURLcode onSSLContext(CURL*, void* sslctx, void* userdata) {
    auto* self = static_cast<TaskRunner*>(userdata);
    const std::string& file = self->session->configuration().additionalTrustedCertificatesFile;
    if (file.empty()) return CURLE_OK;
    X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(sslctx));
    if (!store || X509_STORE_load_locations(store, file.c_str(), nullptr) != 1) {
      return CURLE_SSL_CACERT_BADFILE;
    }
    return CURLE_OK;
  }

  // Sets the options of one attempt; returns an error when the request cannot be sent.
  ErrorPtr configureAttempt(curl_slist** headerList) {
    curl_easy_reset(curl);
    status = 0;
    headers.clear();
    holdForRedirect = false;
    redirectResponse.reset();
    redirectBody.clear();
    errorBuffer[0] = 0;

    const auto scheme = request.scheme();
    if (scheme.empty()) return urlError(kURLErrorBadURL, "bad URL", request.url);
    if (scheme != "http" && scheme != "https") {
      return urlError(kURLErrorUnsupportedURL, "unsupported URL", request.url);
    }
    https = scheme == "https";
    host = request.host();
    {
      CURLU* u = curl_url();
      char* portText = nullptr;
      if (u && curl_url_set(u, CURLUPART_URL, request.url.c_str(), 0) == CURLUE_OK &&
          curl_url_get(u, CURLUPART_PORT, &portText, CURLU_DEFAULT_PORT) == CURLUE_OK) {
        port = std::atoi(portText);
      }
      if (portText) curl_free(portText);
      if (u) curl_url_cleanup(u);
    }

    const auto& config = session->configuration();
    double idle =
        request.timeoutInterval > 0 ? request.timeoutInterval : config.timeoutIntervalForRequest;
    if (idle <= 0) idle = kURLRequestDefaultTimeout;

    curl_easy_setopt(curl, CURLOPT_URL, request.url.c_str());
    // The path goes out as the caller built it: callers escape what must stay one segment, and
    // no "." or ".." in it is folded away on the way.
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(curl, CURLOPT_ACCEPT_ENCODING, "");
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorBuffer);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, &TaskRunner::onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &TaskRunner::onWrite);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &TaskRunner::onProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, static_cast<long>(idle * 1000));
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_LIMIT, 1L);
    curl_easy_setopt(curl, CURLOPT_LOW_SPEED_TIME, static_cast<long>(std::ceil(idle)));
    if (config.timeoutIntervalForResource > 0) {
      curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS,
                       static_cast<long>(config.timeoutIntervalForResource * 1000));
    }
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 2L);
    if (!config.additionalTrustedCertificatesFile.empty()) {
      curl_easy_setopt(curl, CURLOPT_SSL_CTX_FUNCTION, &TaskRunner::onSSLContext);
      curl_easy_setopt(curl, CURLOPT_SSL_CTX_DATA, this);
    }
    if (https) {
      curl_easy_setopt(curl, CURLOPT_PREREQFUNCTION, &TaskRunner::onConnected);
      curl_easy_setopt(curl, CURLOPT_PREREQDATA, this);
    }

    // Method and body.
    const std::string& method = request.httpMethod.empty() ? "GET" : request.httpMethod;
    const bool isUpload = task->kind_ == URLSessionTask::Kind::Upload;
    const Bytes* memoryBody = nullptr;
    if (sendBody) {
      if (isUpload && task->uploadData_) {
        memoryBody = &*task->uploadData_;
      } else if (!isUpload && !request.httpBody.empty()) {
        memoryBody = &request.httpBody;
      }
    }
    const bool fileBody = sendBody && isUpload && !task->uploadFile_.empty();
    const bool hasBody = memoryBody != nullptr || fileBody;
    if (method == "HEAD") {
      curl_easy_setopt(curl, CURLOPT_NOBODY, 1L);
    } else if (method == "GET" && !hasBody) {
      curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    } else if (hasBody) {
      curl_easy_setopt(curl, CURLOPT_POST, 1L);
      if (method != "POST") curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
      if (memoryBody) {
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE,
                         static_cast<curl_off_t>(memoryBody->size()));
        curl_easy_setopt(curl, CURLOPT_POSTFIELDS, memoryBody->data());
      } else {
        if (uploadStream) std::fclose(uploadStream);
        uploadStream = std::fopen(task->uploadFile_.c_str(), "rb");
        struct stat st {};
        if (!uploadStream || ::fstat(::fileno(uploadStream), &st) != 0) {
          return urlError(kURLErrorCannotOpenFile, "cannot open the file to upload", request.url);
        }
        curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(st.st_size));
        curl_easy_setopt(curl, CURLOPT_READFUNCTION, &TaskRunner::onRead);
        curl_easy_setopt(curl, CURLOPT_READDATA, this);
      }
    } else if (method != "GET") {
      curl_easy_setopt(curl, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    // Header fields: the request's own, then the configuration's where the request has none.
    HTTPHeaders merged = request.headers;
    for (const auto& [name, value] : config.HTTPAdditionalHeaders.entries()) {
      if (!merged.contains(name)) merged.set(name, value);
    }
    // libcurl frames the body itself; a stale length from the caller would corrupt the stream.
    merged.remove("Content-Length");
    merged.remove("Transfer-Encoding");
    if (!merged.contains("User-Agent")) merged.set("User-Agent", "Lumora URLSession/1.0");
    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    for (const auto& [name, value] : merged.entries()) {
      if (isUnsafeHeader(name, value)) continue;
      std::string line = value.empty() ? name + ";" : name + ": " + value;
      list = curl_slist_append(list, line.c_str());
    }
    *headerList = list;
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, list);
    return nullptr;
  }

  ErrorPtr transportError(CURLcode rc) {
    std::string description = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
    return urlError(codeForCurlError(rc), description, request.url);
  }

  // The request a redirect leads to, with the platform's method rules.
  URLRequest redirectedRequest(const std::string& location) {
    URLRequest next = request;
    next.url = location;
    const bool toGet = (status == 303 && request.httpMethod != "HEAD") ||
                       ((status == 301 || status == 302) && request.httpMethod == "POST");
    if (toGet) {
      next.httpMethod = "GET";
      next.httpBody.clear();
      next.headers.remove("Content-Type");
      next.headers.remove("Content-Encoding");
      next.headers.remove("Content-Length");
    }
    return next;
  }

  void run() {
    ErrorPtr error = perform();
    finish(std::move(error));
  }

  ErrorPtr perform() {
    if (task->cancelled_) return urlError(kURLErrorCancelled, "cancelled", request.url);
    curl = curl_easy_init();
    if (!curl) return urlError(kURLErrorUnknown, "cannot start a transfer", request.url);
    if (task->kind_ == URLSessionTask::Kind::Download) {
      char path[] = "/tmp/lumora-download-XXXXXX";
      int fd = ::mkstemp(path);
      if (fd < 0) return urlError(kURLErrorCannotCreateFile, "cannot create a file", request.url);
      downloadPath = path;
      downloadStream = ::fdopen(fd, "wb");
      if (!downloadStream) {
        ::close(fd);
        return urlError(kURLErrorCannotCreateFile, "cannot create a file", request.url);
      }
    }
    for (int redirects = 0;; ++redirects) {
      curl_slist* headerList = nullptr;
      ErrorPtr setupError = configureAttempt(&headerList);
      CURLcode rc = CURLE_OK;
      if (!setupError) rc = curl_easy_perform(curl);
      curl_easy_setopt(curl, CURLOPT_HTTPHEADER, nullptr);
      curl_slist_free_all(headerList);
      if (setupError) return setupError;

      if (task->cancelled_ || challengeCancelled) {
        return urlError(kURLErrorCancelled, "cancelled", request.url);
      }
      if (tooLarge) {
        return urlError(kURLErrorDataLengthExceedsMaximum, "resource exceeds maximum size",
                        request.url);
      }
      if (writeFailed) {
        return urlError(kURLErrorCannotWriteToFile, "cannot write the downloaded data",
                        request.url);
      }
      if (rc == CURLE_PEER_FAILED_VERIFICATION) {
        std::string reason = errorBuffer[0] ? errorBuffer : curl_easy_strerror(rc);
        ChallengeAnswer answer = askChallenge(false, reason);
        if (answer.disposition ==
                URLSessionAuthChallengeDisposition::CancelAuthenticationChallenge ||
            task->cancelled_) {
          return urlError(kURLErrorCancelled, "cancelled", request.url);
        }
        return urlError(kURLErrorServerCertificateUntrusted,
                        "The certificate for this server is invalid: " + reason, request.url);
      }
      if (rc != CURLE_OK) return transportError(rc);

      if (!holdForRedirect) return nullptr;
      char* target = nullptr;
      curl_easy_getinfo(curl, CURLINFO_REDIRECT_URL, &target);
      if (!target || !*target) {
        refuseRedirect();
        return nullptr;
      }
      if (redirects >= 16) {
        return urlError(kURLErrorHTTPTooManyRedirects, "too many redirects", request.url);
      }
      URLRequest next = redirectedRequest(target);
      bool cancelled = false;
      auto answer = askRedirect(*redirectResponse, next, &cancelled);
      if (cancelled) return urlError(kURLErrorCancelled, "cancelled", request.url);
      if (!answer) {
        refuseRedirect();
        return nullptr;
      }
      if (answer->httpMethod == "GET" && request.httpMethod != "GET") sendBody = false;
      request = std::move(*answer);
      std::lock_guard lock(task->mutex_);
      task->currentRequest_ = request;
    }
  }

  // The task ends with the redirect response and its body.
  void refuseRedirect() {
    {
      std::lock_guard lock(task->mutex_);
      task->response_ = redirectResponse;
    }
    holdForRedirect = false;
    Bytes body = std::move(redirectBody);
    deliver(reinterpret_cast<const char*>(body.data()), body.size());
  }

  void finish(ErrorPtr error) {
    if (downloadStream) {
      if (std::fclose(downloadStream) != 0 && !error) {
        error =
            urlError(kURLErrorCannotWriteToFile, "cannot write the downloaded data", request.url);
      }
      downloadStream = nullptr;
    }
    HTTPURLResponsePtr response;
    {
      std::lock_guard lock(task->mutex_);
      task->error_ = error;
      task->state_ = URLSessionTask::State::Completed;
      response = task->response_;
    }
    if (!error && task->kind_ == URLSessionTask::Kind::Download && !downloadPath.empty()) {
      std::string path = std::move(downloadPath);
      downloadPath.clear();
      auto s = session;
      auto t = task;
      s->delegateQueue()->async([s, t, path] {
        if (auto delegate = s->delegate()) {
          try {
            delegate->didFinishDownloadingToURL(*s, *t, path);
          } catch (...) {
          }
        }
        ::unlink(path.c_str());
      });
    }
    auto s = session;
    auto t = task;
    Bytes data = error ? Bytes{} : std::move(collected);
    s->delegateQueue()->async([s, t, data = std::move(data), response, error] {
      DataTaskCompletion completion;
      {
        std::lock_guard lock(t->mutex_);
        completion = std::move(t->completion_);
        t->completion_ = nullptr;
      }
      try {
        if (completion) {
          completion(data, response, error);
        } else if (auto delegate = s->delegate()) {
          delegate->didCompleteWithError(*s, *t, error);
        }
      } catch (...) {
      }
      s->taskFinished(t);
    });
  }
};

// ---------------------------------------------------------------------------------------------

URLSessionTask::URLSessionTask(Kind kind, URLRequest request, std::shared_ptr<URLSession> session)
    : kind_(kind), identifier_(gNextTaskIdentifier++), originalRequest_(request), session_(session),
      currentRequest_(std::move(request)) {}

URLSessionTask::~URLSessionTask() = default;

URLRequest URLSessionTask::originalRequest() const {
  return originalRequest_;
}

URLRequest URLSessionTask::currentRequest() const {
  std::lock_guard lock(mutex_);
  return currentRequest_;
}

HTTPURLResponsePtr URLSessionTask::response() const {
  std::lock_guard lock(mutex_);
  return response_;
}

ErrorPtr URLSessionTask::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

URLSessionTask::State URLSessionTask::state() const {
  std::lock_guard lock(mutex_);
  return state_;
}

void URLSessionTask::resume() {
  URLSessionPtr session;
  {
    std::lock_guard lock(mutex_);
    if (started_) return;
    session = session_.lock();
    if (!session) return;
    started_ = true;
    if (state_ == State::Suspended) state_ = State::Running;
  }
  ensureCurlInitialized();
  auto runner = std::make_shared<TaskRunner>();
  runner->task = shared_from_this();
  runner->session = session;
  runner->request = currentRequest();
  auto& registry = TransferRegistry::shared();
  registry.enter(runner->task);
  // The transfer counts as work in flight until its completion is on the delegate queue, so a
  // test's runUntilIdle waits for it as for any queued task.
  std::thread([runner, &registry, inFlight = PendingWork()]() mutable {
    try {
      runner->run();
    } catch (...) {
      runner->finish(urlError(kURLErrorUnknown, "transfer failed", runner->request.url));
    }
    runner.reset();  // closes the transfer before the registry hears it has ended
    registry.leave();
    inFlight.done();
  }).detach();
}

void URLSessionTask::cancel() {
  std::function<void()> wake;
  bool start = false;
  {
    std::lock_guard lock(mutex_);
    if (state_ == State::Completed) return;
    cancelled_ = true;
    if (state_ != State::Completed) state_ = State::Canceling;
    wake = wake_;
    start = !started_;
  }
  if (wake) wake();
  // A task cancelled before it ran still reports its cancellation.
  if (start) resume();
}

// ---------------------------------------------------------------------------------------------

URLSession::URLSession(URLSessionConfiguration configuration,
                       std::shared_ptr<URLSessionDelegate> delegate, QueuePtr delegateQueue)
    : configuration_(std::move(configuration)),
      delegateQueue_(delegateQueue ? std::move(delegateQueue)
                                   : makeSerialQueue("com.lumora.urlsession.delegate")),
      delegate_(std::move(delegate)) {}

URLSession::~URLSession() = default;

URLSessionPtr URLSession::sessionWithConfiguration(URLSessionConfiguration configuration,
                                                   std::shared_ptr<URLSessionDelegate> delegate,
                                                   QueuePtr delegateQueue) {
  if (configuration.kind == URLSessionConfiguration::Kind::Background &&
      configuration.identifier.empty()) {
    return nullptr;
  }
  return URLSessionPtr(
      new URLSession(std::move(configuration), std::move(delegate), std::move(delegateQueue)));
}

std::shared_ptr<URLSessionDelegate> URLSession::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_;
}

URLSessionTaskPtr URLSession::makeTask(URLSessionTask::Kind kind, const URLRequest& request) {
  std::lock_guard lock(mutex_);
  if (invalidated_) return nullptr;
  URLSessionTaskPtr task(new URLSessionTask(kind, request, shared_from_this()));
  tasks_.insert(task);
  return task;
}

URLSessionTaskPtr URLSession::dataTaskWithRequest(const URLRequest& request) {
  if (configuration_.kind == URLSessionConfiguration::Kind::Background) return nullptr;
  return makeTask(URLSessionTask::Kind::Data, request);
}

URLSessionTaskPtr URLSession::dataTaskWithRequest(const URLRequest& request,
                                                  DataTaskCompletion completion) {
  if (configuration_.kind == URLSessionConfiguration::Kind::Background) return nullptr;
  auto task = makeTask(URLSessionTask::Kind::Data, request);
  if (task) task->completion_ = std::move(completion);
  return task;
}

URLSessionTaskPtr URLSession::uploadTaskWithRequest(const URLRequest& request, Bytes body) {
  if (configuration_.kind == URLSessionConfiguration::Kind::Background) return nullptr;
  auto task = makeTask(URLSessionTask::Kind::Upload, request);
  if (task) task->uploadData_ = std::move(body);
  return task;
}

URLSessionTaskPtr URLSession::uploadTaskWithRequestFromFile(const URLRequest& request,
                                                            std::string filePath) {
  if (filePath.empty()) return nullptr;
  auto task = makeTask(URLSessionTask::Kind::Upload, request);
  if (task) task->uploadFile_ = std::move(filePath);
  return task;
}

URLSessionTaskPtr URLSession::downloadTaskWithRequest(const URLRequest& request) {
  return makeTask(URLSessionTask::Kind::Download, request);
}

void URLSession::taskFinished(const URLSessionTaskPtr& task) {
  std::shared_ptr<URLSessionDelegate> released;
  {
    std::lock_guard lock(mutex_);
    tasks_.erase(task);
    if (invalidated_ && tasks_.empty()) released = std::move(delegate_);
  }
  // `released` lets go of the delegate outside the lock.
}

void URLSession::finishTasksAndInvalidate() {
  std::shared_ptr<URLSessionDelegate> released;
  std::lock_guard lock(mutex_);
  invalidated_ = true;
  if (tasks_.empty()) released = std::move(delegate_);
}

void URLSession::invalidateAndCancel() {
  std::set<URLSessionTaskPtr> tasks;
  std::shared_ptr<URLSessionDelegate> released;
  {
    std::lock_guard lock(mutex_);
    invalidated_ = true;
    tasks = tasks_;
    if (tasks_.empty()) released = std::move(delegate_);
  }
  for (const auto& task : tasks)
    task->cancel();
}

bool URLSession::isInvalidated() const {
  std::lock_guard lock(mutex_);
  return invalidated_;
}

std::size_t URLSession::runningTaskCount() const {
  std::lock_guard lock(mutex_);
  return tasks_.size();
}

}  // namespace platform
