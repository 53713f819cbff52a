// FIRInstallations: the public face of installations, one instance per configured app, made by
// the component system. It validates the app's options at creation, hands every operation to the
// app's FIRInstallationsIDController and turns every failure into an error of the installations
// domain.
//
// The four operations may be called from any thread; they only build promise chains and return
// at once. Completions run exactly once, on the main queue. Instances are immutable.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"
#include "zevevidi/core/fir_component.h"

class FIRApp;
class FIROptions;
class FIRInstallationsIDController;

// The protocol the component is registered under; it identifies the component.
class FIRInstallationsInstanceProvider {
 public:
  virtual ~FIRInstallationsInstanceProvider() = default;
};

// What a class registered as "FIRInstanceID" may answer: whether it already works over
// installations.
class FIRInstanceIDCompatibility {
 public:
  virtual ~FIRInstanceIDCompatibility() = default;
  virtual bool usesFIS() const = 0;
};

struct FIRInstallationsAuthTokenResult {
  std::string authToken;
  platform::Date expirationDate;
};

inline constexpr const char* kFIRInstallationsLibraryName = "zev-install";
inline constexpr const char* kFIRInstallationsExceptionName = "com.zevevidi.installations";

class FIRInstallations : public platform::Object, public FIRInstallationsInstanceProvider {
 public:
  using IDCompletion = std::function<void(std::optional<std::string>, platform::ErrorPtr)>;
  using TokenCompletion =
      std::function<void(std::optional<FIRInstallationsAuthTokenResult>, platform::ErrorPtr)>;
  using DeleteCompletion = std::function<void(platform::ErrorPtr)>;

  // What loading the class does: registers the library "zev-install" with its component. Called
  // at process start, before plugin registration; calling it again changes nothing.
  static void load();
  static std::vector<FIRComponentPtr> componentsToRegister();
  static FIRProtocol instanceProviderProtocol();

  // Raise kFIRInstallationsExceptionName when the options are not usable.
  static std::shared_ptr<FIRInstallations> initWithApp(const FIRApp& app);
  static std::shared_ptr<FIRInstallations>
  initWithAppOptions(const std::shared_ptr<FIROptions>& appOptions, std::string appName,
                     std::shared_ptr<FIRInstallationsIDController> controller,
                     bool prefetchAuthToken);

  // The default app's instance; raises when no default app is configured.
  static std::shared_ptr<FIRInstallations> installations();
  // The instance the app's container holds (one per app); null for a null app.
  static std::shared_ptr<FIRInstallations> installationsWithApp(const std::shared_ptr<FIRApp>& app);

  void installationIDWithCompletion(IDCompletion completion) const;
  void authTokenWithCompletion(TokenCompletion completion) const;
  void authTokenForcingRefresh(bool forceRefresh, TokenCompletion completion) const;
  void deleteWithCompletion(DeleteCompletion completion) const;

  static void validateAppOptions(const std::shared_ptr<FIROptions>& appOptions,
                                 const std::string& appName);
  // The API key's problems, in order; empty when it is well-formed.
  static std::vector<std::string> validateAPIKey(const std::optional<std::string>& APIKey);
  static void assertCompatibleIIDVersion();

  std::string className() const override { return "FIRInstallations"; }
  const std::string& appName() const { return appName_; }

  FIRInstallations(std::shared_ptr<FIROptions> appOptions, std::string appName,
                   std::shared_ptr<FIRInstallationsIDController> controller);

 private:
  const std::shared_ptr<FIROptions> appOptions_;
  const std::string appName_;
  const std::shared_ptr<FIRInstallationsIDController> installationsIDController_;
};
