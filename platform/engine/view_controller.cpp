#include "platform/engine/view_controller.h"

namespace flutter {

namespace {

// The view the engine draws into.
class EngineView : public platform::View {
 public:
  using platform::View::View;
  std::string className() const override { return "FlutterView"; }
};

}  // namespace

ViewController::ViewController() : ViewController(DartProject()) {}

ViewController::ViewController(DartProject project) : engine_(Engine::create(std::move(project))) {
  engineStarted_ = engine_->run();
}

ViewController::~ViewController() {
  engine_->shutDown();
}

PluginRegistrarPtr ViewController::registrarForPlugin(const std::string& pluginKey) {
  return engine_->registrarForPlugin(pluginKey);
}

platform::ObjectPtr ViewController::valuePublishedByPlugin(const std::string& pluginKey) const {
  return engine_->valuePublishedByPlugin(pluginKey);
}

platform::ViewPtr ViewController::loadView() {
  auto view = std::make_shared<EngineView>(platform::Rect::make(0, 0, 800, 600));
  engine_->setView(view);
  return view;
}

}  // namespace flutter
