#include "runner/main_interface.h"

#include <iostream>
#include <string>
#include <vector>

#include "measurement/engine/apm_engine_startup.h"
#include "platform/foundation/environment.h"
#include "platform/log/log.h"
#include "runner/app_delegate.h"
#include "runner/main_flutter_window.h"
#include "runner/main_options.h"
#include "zevevidi/analytics/diderizevizo.h"
#include "zevevidi/analytics/diderizevizo_connector.h"
#include "zevevidi/installations/fir_installations.h"

namespace lumora {

namespace {

const platform::LogPtr& startLog() {
  static const auto log = platform::Log::cached("com.lumora.runner", "start");
  return log;
}

}  // namespace

std::shared_ptr<AppDelegate> makeAppDelegate() {
  GULAppDelegateSwizzler::setApplicationDelegate(std::make_shared<AppDelegateInterceptorTarget>());
  return std::make_shared<AppDelegate>();
}

platform::InterfaceDescription mainInterface() {
  platform::InterfaceDescription description;
  description.makeDelegate = [] { return makeAppDelegate(); };
  platform::InterfaceDescription::WindowEntry window;
  window.title = "Lumora";
  window.contentRect = platform::Rect::make(335, 390, 1280, 720);
  window.make = [](platform::Rect rect, std::uint32_t style, platform::BackingStoreType backing,
                   bool defer) {
    return std::make_shared<MainFlutterWindow>(rect, style, backing, defer);
  };
  description.windows.push_back(std::move(window));
  return description;
}

int lumoraMain(int argc, char** argv) {
  // The environment snapshot is taken here, before any thread starts; nothing reads the live
  // environment after this point.
  platform::Environment::current();
  std::vector<std::string> arguments;
  for (int i = 0; i < argc; ++i)
    arguments.emplace_back(argv[i] ? argv[i] : "");
  const std::string program = arguments.empty() ? "lumora" : arguments[0];
  MainOptions options = parseMainOptions(arguments);
  if (options.help) {
    std::cout << usage(program) << std::flush;
    return 0;
  }
  if (options.error) {
    startLog()->error("cannot start: " + *options.error);
    std::cerr << usage(program);
    return kExitUsage;
  }
  for (const auto& warning : options.warnings)
    startLog()->notice("warning: " + warning);
  for (const auto& warning : environmentWarnings(options))
    startLog()->notice("warning: " + warning);

  // Libraries that announce themselves when loaded do it here, before any plugin registers and
  // configures an app.
  FIRInstallations::load();
  APMEngineLoad();
  DIDErizevizo::load();
  DIDErizevizoConnector::load();

  // What applicationMain does, with a stop between loading the interface and running it: a
  // host whose socket did not open must not go on launching where no peer can reach it.
  platform::setProcessArguments(std::move(arguments));
  platform::Application& application = platform::Application::shared();
  application.loadInterface(mainInterface());
  if (MainFlutterWindow::engineFailedToStart()) {
    startLog()->error("cannot start: the engine socket could not be opened (see above)");
    return kExitStartFailed;
  }
  const int status = application.run();
  // Static objects are destroyed once this returns: queued measurement work ends first.
  APMEngineUnload();
  return status;
}

}  // namespace lumora
