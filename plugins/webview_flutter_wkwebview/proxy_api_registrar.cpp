#include "plugins/webview_flutter_wkwebview/proxy_api_registrar.h"

#include <set>
#include <utility>

#include "platform/dispatch/queue.h"
#include "platform/log/log.h"
#include "plugins/webview_flutter_wkwebview/messages.h"

namespace webview {

namespace {

constexpr const char* kInstanceManagerApi = "PigeonInternalInstanceManager";

}  // namespace

std::shared_ptr<ProxyApiRegistrar>
ProxyApiRegistrar::create(const std::shared_ptr<flutter::BinaryMessenger>& messenger) {
  std::shared_ptr<ProxyApiRegistrar> registrar(new ProxyApiRegistrar(messenger));
  *registrar->weakSelfSlot_ = registrar;
  return registrar;
}

ProxyApiRegistrar::ProxyApiRegistrar(const std::shared_ptr<flutter::BinaryMessenger>& messenger)
    : messenger_(messenger) {
  // A finalizer runs wherever the object dies, maybe under foreign locks: it only posts.
  // The registrar is reached weakly, so a death after it is gone says nothing.
  auto self = std::make_shared<std::weak_ptr<ProxyApiRegistrar>>();
  instanceManager_ = std::make_unique<InstanceManager>([self](std::int64_t identifier) {
    platform::mainQueue()->async([self, identifier] {
      if (auto registrar = self->lock()) registrar->removeStrongReference(identifier);
    });
  });
  weakSelfSlot_ = self;
  codec_ = makeProxyApiCodec(*this);
}

namespace {

// The instance manager's requests from the application's code.
class InstanceManagerHostApi : public PigeonInternalInstanceManager {
 public:
  explicit InstanceManagerHostApi(std::shared_ptr<ProxyApiRegistrar> registrar)
      : registrar_(std::move(registrar)) {}
  void removeStrongReference(std::int64_t identifier) override {
    auto released = registrar_->instanceManager().removeInstance(identifier);
    // Released here, outside the instance manager's lock.
    released.reset();
  }
  void clear() override { registrar_->instanceManager().removeAllObjects(); }

 private:
  std::shared_ptr<ProxyApiRegistrar> registrar_;  // kept alive by the handlers
};

}  // namespace

void ProxyApiRegistrar::setUp(const ProxyApiDelegates& delegates) {
  auto messenger = messenger_.lock();
  PigeonInternalInstanceManagerSetup::setUp(
      messenger, std::make_shared<InstanceManagerHostApi>(shared_from_this()));
  apis_ = setUpProxyApis(*this, delegates);
}

std::string ProxyApiRegistrar::announcingApi(const std::string& className) {
  // Classes whose API is named otherwise; every other class announces under its own name.
  static const std::map<std::string, std::string> renamed = {
      {"URLRequestWrapper", "URLRequest"},
      {"NSHTTPURLResponse", "HTTPURLResponse"},
      {"NSURLResponse", "URLResponse"},
      {"NSHTTPCookie", "HTTPCookie"},
      {"WKWebView", "NSViewWKWebView"},
      {"NSURLCredential", "URLCredential"},
      {"NSURLProtectionSpace", "URLProtectionSpace"},
      {"NSURLAuthenticationChallenge", "URLAuthenticationChallenge"},
      {"SecTrustWrapper", "SecTrust"},
      {"SecCertificateWrapper", "SecCertificate"},
  };
  static const std::set<std::string> own = {
      "URL",
      "WKUserScript",
      "WKNavigationAction",
      "WKNavigationResponse",
      "WKFrameInfo",
      "NSError",
      "WKScriptMessage",
      "WKSecurityOrigin",
      "AuthenticationChallengeResponse",
      "WKWebsiteDataStore",
      "WKWebViewConfiguration",
      "WKUserContentController",
      "WKPreferences",
      "WKHTTPCookieStore",
      "WKWebpagePreferences",
      "GetTrustResultResponse",
  };
  if (auto it = renamed.find(className); it != renamed.end()) return it->second;
  if (own.count(className)) return className;
  return "NSObject";
}

void ProxyApiRegistrar::setAnnouncedFields(const std::string& api, AnnouncedFields fields) {
  std::lock_guard lock(announcersMutex_);
  announcedFields_[api] = std::move(fields);
  announcers_.clear();
}

const ProxyApiRegistrar::Announcer& ProxyApiRegistrar::announcerFor(const std::string& className) {
  std::lock_guard lock(announcersMutex_);
  auto it = announcers_.find(className);
  if (it == announcers_.end()) {
    const std::string api = announcingApi(className);
    auto fields = announcedFields_.find(api);
    it = announcers_
             .emplace(className,
                      Announcer{pigeon::channelName(kPackage, api, "pigeon_newInstance"),
                                fields == announcedFields_.end() ? nullptr : &fields->second})
             .first;
  }
  return it->second;  // entries are never removed, and unordered_map keeps them in place
}

std::optional<std::int64_t> ProxyApiRegistrar::announce(const InstanceManager::ObjectPtr& object) {
  return pigeonNewInstance(object, nullptr);
}

std::optional<std::int64_t>
ProxyApiRegistrar::pigeonNewInstance(const InstanceManager::ObjectPtr& object,
                                     std::function<void(const pigeon::CallResult&)> completion) {
  if (ignoreCallsToDart()) {
    if (completion) {
      completion(pigeon::CallResult{pigeon::PigeonError("ignore-calls-error",
                                                        "Calls to Dart are being ignored.",
                                                        platform::Value("")),
                                    {}});
    }
    return std::nullopt;
  }
  if (instanceManager_->containsInstance(object)) {
    if (completion) completion(pigeon::CallResult{});
    return std::nullopt;
  }
  const std::int64_t identifier = instanceManager_->addHostCreatedInstance(object);
  const Announcer& announcer = announcerFor(object->className());
  // The fields come with room for the identifier in front: the message is that one list.
  platform::ValueList message;
  if (announcer.fields) message = (*announcer.fields)(object);
  message.emplace(message.begin(), identifier);
  pigeon::callApplication(messenger(), codec_, announcer.channel, std::move(message), false,
                          std::move(completion));
  return identifier;
}

void ProxyApiRegistrar::removeStrongReference(
    std::int64_t identifier, std::function<void(const pigeon::CallResult&)> completion) {
  pigeon::callApplication(
      messenger(), WebKitLibraryPigeonCodec::shared(),
      pigeon::channelName(kPackage, kInstanceManagerApi, "removeStrongReference"),
      {platform::Value(identifier)}, false, std::move(completion));
}

pigeon::PigeonError ProxyApiRegistrar::createUnknownEnumError(const std::string& caseName) {
  return pigeon::PigeonError("UnknownEnumError", caseName + " doesn't represent a native value.",
                             platform::Value());
}

pigeon::PigeonError
ProxyApiRegistrar::createUnsupportedVersionError(const std::string& method,
                                                 const std::string& versionRequirements) {
  return pigeon::PigeonError("FWFUnsupportedVersionError",
                             "`" + method + "` requires " + versionRequirements + ".",
                             platform::Value());
}

pigeon::PigeonError
ProxyApiRegistrar::createConstructorNullError(const std::string& type,
                                              const platform::ValueMap& parameters) {
  if (type == "URL") {
    if (auto it = parameters.find(platform::Value("string"));
        it != parameters.end() && it->second.isString()) {
      return createNullURLError(it->second.asString());
    }
  }
  return pigeon::PigeonError("ConstructorReturnedNullError",
                             "Failed to instantiate `" + type +
                                 "` with parameters: " + platform::Value(parameters).debugString(),
                             platform::Value());
}

pigeon::PigeonError ProxyApiRegistrar::createNullURLError(const std::string& url) {
  return pigeon::PigeonError("FWFURLParsingError", "Failed parsing file path.",
                             platform::Value("Initializing URL with the supplied '" + url +
                                             "' path resulted in a nil value."));
}

void ProxyApiRegistrar::runOnMainThread(void* context,
                                        void (*invoke)(void* context,
                                                       const FailureReporter& onFailure)) {
  static const FailureReporter report = [](const std::string& methodName,
                                           const pigeon::PigeonError& error) {
    logFlutterMethodFailure(error, methodName);
  };
  try {
    invoke(context, report);
  } catch (const std::exception& e) {
    platform::Log::cached("com.lumora.webview", "bridge")
        ->error(std::string("web view bridge: a main-thread task failed: ") + e.what());
  } catch (...) {
    platform::Log::cached("com.lumora.webview", "bridge")
        ->error("web view bridge: a main-thread task failed");
  }
}

void ProxyApiRegistrar::logFlutterMethodFailure(const pigeon::PigeonError& error,
                                                const std::string& methodName) {
  const auto log = platform::Log::cached("com.lumora.webview", "bridge");
  std::string text =
      "PigeonError(code: " + error.code + ", message: " + error.message.value_or("nil") +
      ", details: " + error.details.debugString() + "): Error returned from calling " + methodName +
      ": " + error.message.value_or("nil");
  log->error(text);
  log->error(pigeon::callStackDescription());
}

}  // namespace webview
