// The engine's view controller: becomes the main window's content view controller, owns the
// engine and serves as the plugin registry. Main thread only.
#pragma once

#include <memory>
#include <string>

#include "platform/appkit/view.h"
#include "platform/engine/dart_project.h"
#include "platform/engine/engine.h"
#include "platform/engine/plugin_registrar.h"

namespace flutter {

class ViewController : public platform::ViewController, public PluginRegistry {
 public:
  // Creates the controller with the default project and starts its engine; engineStarted()
  // says whether that worked (the reason is logged at error level).
  ViewController();
  explicit ViewController(DartProject project);
  ~ViewController() override;

  const EnginePtr& engine() const { return engine_; }
  // False when the engine could not open its socket: the application cannot reach this host.
  bool engineStarted() const { return engineStarted_; }

  PluginRegistrarPtr registrarForPlugin(const std::string& pluginKey) override;
  platform::ObjectPtr valuePublishedByPlugin(const std::string& pluginKey) const override;

 protected:
  platform::ViewPtr loadView() override;

 private:
  EnginePtr engine_;
  bool engineStarted_ = false;
};

}  // namespace flutter
