// The web view bridge's registrar: owns the instance manager and the proxy codec, installs the
// instance manager's own channels ("removeStrongReference" and "clear" of
// "PigeonInternalInstanceManager"), announces native objects to the application's code and
// tells it when a registered object dies.
//
// Channel handlers and announcements run on the main thread. A registered object may die on any
// thread: its finalizer only posts the "removeStrongReference" message to the main queue.
// Lives as long as its handlers (the process, in the hosts).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "platform/dispatch/queue.h"
#include "platform/engine/binary_messenger.h"
#include "platform/engine/standard_codec.h"
#include "plugins/pigeon/pigeon_channel.h"
#include "plugins/webview_flutter_wkwebview/instance_manager.h"
#include "plugins/webview_flutter_wkwebview/messages.h"
#include "plugins/webview_flutter_wkwebview/proxy_api_codec.h"

namespace webview {

inline constexpr const char* kPackage = "webview_flutter_wkwebview";

class ProxyApiRegistrar : public ProxyApiCodecHost,
                          public std::enable_shared_from_this<ProxyApiRegistrar> {
 public:
  // The fields an API announces after the identifier (none for most). Reserving one slot more
  // than the fields spares the announcement a second list.
  using AnnouncedFields = std::function<platform::ValueList(const InstanceManager::ObjectPtr&)>;

  static std::shared_ptr<ProxyApiRegistrar>
  create(const std::shared_ptr<flutter::BinaryMessenger>& messenger);

  // Installs the instance manager's channels, then makes the generated API objects and installs
  // the channels of every API given a native delegate (the others stay unanswered).
  void setUp(const ProxyApiDelegates& delegates = {});
  // The API objects made by setUp() (senders of announcements and callbacks).
  const ProxyApis& apis() const { return apis_; }

  InstanceManager& instanceManager() override { return *instanceManager_; }
  bool ignoreCallsToDart() const override { return ignoreCallsToDart_.load(); }
  void setIgnoreCallsToDart(bool ignore) { ignoreCallsToDart_.store(ignore); }
  std::optional<std::int64_t> announce(const InstanceManager::ObjectPtr& object) override;
  // Announces like announce() and reports the outcome: "ignore-calls-error" while calls are
  // ignored, success without sending when the object is known, else the judged reply. Returns
  // the identifier it registered, as announce() does.
  std::optional<std::int64_t>
  pigeonNewInstance(const InstanceManager::ObjectPtr& object,
                    std::function<void(const pigeon::CallResult&)> completion);

  // The codec of every API channel and of every call toward the application's code.
  const std::shared_ptr<const flutter::StandardMessageCodec>& codec() const { return codec_; }
  std::shared_ptr<flutter::BinaryMessenger> messenger() const { return messenger_.lock(); }

  // The API that announces objects of `className` ("NSObject" for classes without one of their
  // own) and the fields it sends.
  static std::string announcingApi(const std::string& className);
  void setAnnouncedFields(const std::string& api, AnnouncedFields fields);

  // Errors the API delegates throw (all with null details unless stated).
  // "UnknownEnumError": "<caseName> doesn't represent a native value."
  static pigeon::PigeonError createUnknownEnumError(const std::string& caseName);
  // "FWFUnsupportedVersionError": "`<method>` requires <versionRequirements>."
  static pigeon::PigeonError createUnsupportedVersionError(const std::string& method,
                                                           const std::string& versionRequirements);
  // "ConstructorReturnedNullError": "Failed to instantiate `<type>` with parameters: <map>";
  // for type "URL" with a "string" parameter, createNullURLError of that string instead.
  static pigeon::PigeonError createConstructorNullError(const std::string& type,
                                                        const platform::ValueMap& parameters);
  // "FWFURLParsingError", "Failed parsing file path.", details naming `url`.
  static pigeon::PigeonError createNullURLError(const std::string& url);

  // Handed to dispatchOnMainThread's work: reports a failed call toward the application's code.
  using FailureReporter =
      std::function<void(const std::string& methodName, const pigeon::PigeonError& error)>;
  // Runs `work` (callable with a const FailureReporter&) on a later turn of the main loop; its
  // reporter logs through logFlutterMethodFailure. An exception escaping `work` is logged, never
  // propagated. The work is queued as it is: one task, no second wrapper around it.
  template <class Work> void dispatchOnMainThread(Work work) {
    platform::mainQueue()->async([work = std::move(work)]() mutable {
      runOnMainThread(&work, [](void* context, const FailureReporter& onFailure) {
        (*static_cast<Work*>(context))(onFailure);
      });
    });
  }
  // Logs a failed call toward the application's code: the error and the method's name, then the
  // call stack. The message is logged as it stands.
  static void logFlutterMethodFailure(const pigeon::PigeonError& error,
                                      const std::string& methodName);

  // Tells the application's code that the object under `identifier` died; the outcome is
  // ignored. Main thread.
  void removeStrongReference(std::int64_t identifier,
                             std::function<void(const pigeon::CallResult&)> completion = {});

 private:
  explicit ProxyApiRegistrar(const std::shared_ptr<flutter::BinaryMessenger>& messenger);

  // The body of a dispatchOnMainThread task: calls `invoke(context, reporter)`, logging anything
  // it throws.
  static void runOnMainThread(void* context,
                              void (*invoke)(void* context, const FailureReporter& onFailure));

  std::weak_ptr<flutter::BinaryMessenger> messenger_;
  // Filled by setUp(): how finalizers reach the registrar.
  std::shared_ptr<std::weak_ptr<ProxyApiRegistrar>> weakSelfSlot_;
  std::unique_ptr<InstanceManager> instanceManager_;
  std::atomic<bool> ignoreCallsToDart_{false};
  std::shared_ptr<const flutter::StandardMessageCodec> codec_;
  // Where objects of a class are announced, and with which fields.
  struct Announcer {
    std::string channel;
    const AnnouncedFields* fields = nullptr;  // into announcedFields_
  };
  const Announcer& announcerFor(const std::string& className);

  std::map<std::string, AnnouncedFields> announcedFields_;  // set up before any message
  std::mutex announcersMutex_;  // guards announcers_, a cache by class name
  std::unordered_map<std::string, Announcer> announcers_;
  ProxyApis apis_;
};

}  // namespace webview
