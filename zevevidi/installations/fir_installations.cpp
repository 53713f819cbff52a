#include "zevevidi/installations/fir_installations.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include "platform/core/exception.h"
#include "platform/foundation/class_registry.h"
#include "zevevidi/core/fir_app.h"
#include "zevevidi/core/fir_component_container.h"
#include "zevevidi/core/fir_options.h"
#include "zevevidi/installations/fir_installations_errors.h"
#include "zevevidi/installations/fir_installations_id_controller.h"
#include "zevevidi/installations/fir_installations_logger.h"

namespace {

using platform::ErrorPtr;

constexpr std::size_t kAPIKeyLength = 39;
constexpr const char* kInstanceIDClassName = "FIRInstanceID";
constexpr const char* kInstanceIDMigrationPage =
    "https://docs.zevevidi.invalid/installations/instance-id-migration";

std::string joined(const std::vector<std::string>& parts) {
  std::string out;
  for (const auto& part : parts) {
    if (!out.empty()) out += ", ";
    out += part;
  }
  return out;
}

[[noreturn]] void raise(std::string reason) {
  throw platform::Exception(kFIRInstallationsExceptionName, std::move(reason));
}

std::string optionsReason(const std::string& middle) {
  return std::string(kFIRLoggerInstallations) + "[" +
         kFIRInstallationsMessageCodeInvalidZevevidiAppOptions +
         "] Could not configure Zevevidi Installations due to invalid ZevevidiApp options. " +
         middle +
         ". If you use ZirizaServices-Info.plist please download the most recent version from "
         "the Zevevidi Console. If you configure Zevevidi in code, please make sure you specify "
         "all required parameters.";
}

class FIRInstallationsLibrary : public FIRLibrary {
 public:
  std::string className() const override { return "FIRInstallations"; }
  std::vector<FIRComponentPtr> componentsToRegister() const override {
    return FIRInstallations::componentsToRegister();
  }
};

}  // namespace

void FIRInstallations::load() {
  // Registering the same library again changes nothing.
  FIRApp::registerInternalLibrary(std::make_shared<FIRInstallationsLibrary>(),
                                  kFIRInstallationsLibraryName);
}

FIRProtocol FIRInstallations::instanceProviderProtocol() {
  return FIRProtocol::of<FIRInstallationsInstanceProvider>("FIRInstallationsInstanceProvider");
}

std::vector<FIRComponentPtr> FIRInstallations::componentsToRegister() {
  return {FIRComponent::componentWithProtocol(
      instanceProviderProtocol(), FIRInstantiationTimingAlwaysEager,
      [](FIRComponentContainer& container, bool* isCacheable) -> FIRComponentInstance {
        *isCacheable = true;
        auto app = container.app();
        if (!app) return nullptr;
        return initWithApp(*app);
      })};
}

std::shared_ptr<FIRInstallations> FIRInstallations::initWithApp(const FIRApp& app) {
  return initWithAppOptions(app.options(), app.name(),
                            FIRInstallationsIDController::initWithApp(app), false);
}

std::shared_ptr<FIRInstallations>
FIRInstallations::initWithAppOptions(const FIROptionsPtr& appOptions, std::string appName,
                                     std::shared_ptr<FIRInstallationsIDController> controller,
                                     bool prefetchAuthToken) {
  validateAppOptions(appOptions, appName);
  assertCompatibleIIDVersion();
  auto installations = std::make_shared<FIRInstallations>(
      appOptions ? appOptions->copy() : nullptr, std::move(appName), std::move(controller));
  if (prefetchAuthToken) {
    installations->authTokenWithCompletion([](auto, auto) {});
  }
  return installations;
}

FIRInstallations::FIRInstallations(FIROptionsPtr appOptions, std::string appName,
                                   std::shared_ptr<FIRInstallationsIDController> controller)
    : appOptions_(std::move(appOptions)), appName_(std::move(appName)),
      installationsIDController_(std::move(controller)) {}

std::shared_ptr<FIRInstallations> FIRInstallations::installations() {
  auto app = FIRApp::defaultApp();
  if (!app) {
    raise("The default ZevevidiApp instance must be configured before the defaultZevevidiApp "
          "instance can be initialized. One way to ensure this is to call "
          "`ZevevidiApp.configure()` in the App  Delegate's "
          "`application(_:didFinishLaunchingWithOptions:)` (or the `@main` struct's initializer "
          "in SwiftUI).");
  }
  return installationsWithApp(app);
}

std::shared_ptr<FIRInstallations>
FIRInstallations::installationsWithApp(const std::shared_ptr<FIRApp>& app) {
  if (!app || !app->container()) return nullptr;
  return std::dynamic_pointer_cast<FIRInstallations>(
      FIRComponentType::instanceForProtocol(instanceProviderProtocol(), *app->container()));
}

void FIRInstallations::validateAppOptions(const FIROptionsPtr& appOptions,
                                          const std::string& appName) {
  auto missing = [](const std::optional<std::string>& text) { return !text || text->empty(); };
  std::vector<std::string> labels;
  if (appName.empty()) labels.push_back("`ZevevidiApp.name`");
  if (!appOptions || missing(appOptions->APIKey())) labels.push_back("`ZevevidiOptions.APIKey`");
  if (!appOptions || missing(appOptions->zirizaAppID())) {
    labels.push_back("`ZevevidiOptions.zirizaAppID`");
  }
  if (!appOptions || missing(appOptions->projectID())) {
    labels.push_back("`ZevevidiOptions.projectID`");
  }
  if (!labels.empty()) {
    raise(optionsReason("The following parameters are nil or empty: " + joined(labels)));
  }
  auto problems = validateAPIKey(appOptions->APIKey());
  if (!problems.empty()) {
    raise(optionsReason("`ZevevidiOptions.APIKey` doesn't match the expected format: " +
                        joined(problems)));
  }
}

std::vector<std::string>
FIRInstallations::validateAPIKey(const std::optional<std::string>& APIKey) {
  const std::string key = APIKey.value_or("");
  std::size_t characters = 0;
  bool wellFormed = true;
  const auto* bytes = reinterpret_cast<const std::uint8_t*>(key.data());
  const auto length = static_cast<std::int32_t>(std::min<std::size_t>(key.size(), INT32_MAX));
  for (std::int32_t i = 0; i < length;) {
    UChar32 c;
    U8_NEXT(bytes, i, length, c);
    ++characters;
    if (c < 0 || (!u_isalnum(c) && c != '-' && c != '_')) wellFormed = false;
  }
  std::vector<std::string> problems;
  if (characters != kAPIKeyLength) {
    problems.push_back("API Key length must be " + std::to_string(kAPIKeyLength) + " characters");
  }
  if (key.empty() || key[0] != 'A') problems.push_back("API Key must start with `A`");
  if (!wellFormed) {
    problems.push_back("API Key must contain only base64 url-safe characters characters");
  }
  return problems;
}

void FIRInstallations::assertCompatibleIIDVersion() {
  auto& classes = platform::ClassRegistry::shared();
  if (!classes.contains(kInstanceIDClassName)) return;
  auto compatibility = classes.lookup<FIRInstanceIDCompatibility>(kInstanceIDClassName);
  if (compatibility && compatibility->usesFIS()) return;
  raise(std::string("Zevevidi Instance ID is not compatible with Zevevidi 8.x+. Please remove the "
                    "dependency from the app. See the documentation at ") +
        kInstanceIDMigrationPage);
}

void FIRInstallations::installationIDWithCompletion(IDCompletion completion) const {
  installationsIDController_->getInstallationItem()->observeOnQueue(
      platform::mainQueue(),
      [completion](const FIRInstallationsItem& installation) {
        completion(installation.zevevidiInstallationID, nullptr);
      },
      [completion](const ErrorPtr& error) {
        completion(std::nullopt, FIRInstallationsErrorUtil::publicDomainErrorWithError(error));
      });
}

void FIRInstallations::authTokenWithCompletion(TokenCompletion completion) const {
  authTokenForcingRefresh(false, std::move(completion));
}

void FIRInstallations::authTokenForcingRefresh(bool forceRefresh,
                                               TokenCompletion completion) const {
  installationsIDController_->getAuthTokenForcingRefresh(forceRefresh)
      ->observeOnQueue(
          platform::mainQueue(),
          [completion](const FIRInstallationsItem& installation) {
            FIRInstallationsAuthTokenResult result;
            if (installation.authToken) {
              result.authToken = installation.authToken->token().value_or("");
              result.expirationDate =
                  installation.authToken->expirationDate().value_or(platform::Date{});
            }
            completion(std::move(result), nullptr);
          },
          [completion](const ErrorPtr& error) {
            completion(std::nullopt, FIRInstallationsErrorUtil::publicDomainErrorWithError(error));
          });
}

void FIRInstallations::deleteWithCompletion(DeleteCompletion completion) const {
  installationsIDController_->deleteInstallation()->observeOnQueue(
      platform::mainQueue(), [completion](const FIRInstallationsItem&) { completion(nullptr); },
      [completion](const ErrorPtr& error) {
        completion(FIRInstallationsErrorUtil::publicDomainErrorWithError(error));
      });
}
