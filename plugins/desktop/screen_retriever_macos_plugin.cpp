#include "plugins/desktop/screen_retriever_macos_plugin.h"

#include <algorithm>

#include "platform/foundation/notification_center.h"
#include "platform/foundation/process_info.h"

using platform::Screen;
using platform::Value;

namespace {

double firstScreenHeight() {
  const auto& screens = Screen::screens();
  return screens.empty() ? 0 : screens.front().frame.size.height;
}

Value sizeMap(const platform::Size& size) {
  return Value::map({{"width", size.width}, {"height", size.height}});
}

}  // namespace

void ScreenRetrieverMacosPlugin::registerWith(const flutter::PluginRegistrarPtr& registrar) {
  auto messenger = registrar->messenger();
  auto channel = flutter::MethodChannel::methodChannelWithName(
      "dev.quillmotive.plugins/screen_retriever", messenger);
  auto plugin = std::make_shared<ScreenRetrieverMacosPlugin>();
  registrar->addMethodCallDelegate(plugin, channel);
  flutter::EventChannel("dev.quillmotive.plugins/screen_retriever_event", messenger)
      .setStreamHandler(plugin);
  plugin->externalDisplayCount_ = static_cast<std::int64_t>(Screen::screens().size());
  // The observation lasts as long as the plugin; the weak capture keeps the centre from owning it.
  std::weak_ptr<ScreenRetrieverMacosPlugin> weak = plugin;
  platform::NotificationCenter::defaultCenter().addObserverForName(
      platform::kApplicationDidChangeScreenParametersNotification, nullptr,
      [weak](const platform::Notification&) {
        if (auto self = weak.lock()) self->handleDisplayConnection();
      });
}

Value ScreenRetrieverMacosPlugin::toDictionary(const Screen& screen) {
  // The platform reads the number as an unsigned 32-bit value.
  std::int64_t id = (screen.number >= 0 && screen.number <= 0xFFFFFFFFll) ? screen.number : 0;
  bool hasNames = platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({10, 15, 0});
  const platform::Rect& visible = screen.visibleFrame;
  return Value::map({
      {"id", std::to_string(id)},
      {"name", hasNames ? screen.localizedName : std::string()},
      {"size", sizeMap(screen.frame.size)},
      {"visiblePosition",
       Value::map({{"dx", visible.origin.x},
                   {"dy", firstScreenHeight() - visible.origin.y - visible.size.height}})},
      {"visibleSize", sizeMap(visible.size)},
  });
}

Value ScreenRetrieverMacosPlugin::cursorScreenPoint() {
  platform::Point mouse = platform::mouseLocation();
  const Screen* main = Screen::mainScreen();
  double top = main ? main->frame.maxY() : 0;
  // The smallest top edge among the main screen and every screen.
  for (const auto& screen : Screen::screens())
    top = std::min(top, screen.frame.maxY());
  return Value::map({{"dx", mouse.x}, {"dy", top - mouse.y}});
}

void ScreenRetrieverMacosPlugin::handleMethodCall(const flutter::MethodCall& call,
                                                  flutter::MethodResult result) {
  const std::string& method = call.method;
  if (method == "getCursorScreenPoint") return result(cursorScreenPoint());
  if (method == "getPrimaryDisplay") {
    const auto& screens = Screen::screens();
    return result(screens.empty() ? Value() : toDictionary(screens.front()));
  }
  if (method == "getAllDisplays") {
    Value displays = Value::emptyList();
    for (const auto& screen : Screen::screens())
      displays.asList().push_back(toDictionary(screen));
    return result(Value::map({{"displays", displays}}));
  }
  result(flutter::MethodNotImplemented);
}

std::optional<flutter::Error>
ScreenRetrieverMacosPlugin::onListenWithArguments(const Value&, flutter::EventSink events) {
  eventSink_ = std::move(events);
  return std::nullopt;
}

std::optional<flutter::Error> ScreenRetrieverMacosPlugin::onCancelWithArguments(const Value&) {
  eventSink_ = nullptr;
  return std::nullopt;
}

void ScreenRetrieverMacosPlugin::handleDisplayConnection() {
  auto count = static_cast<std::int64_t>(Screen::screens().size());
  if (count == externalDisplayCount_) return;
  const char* type = count > externalDisplayCount_ ? "display-added" : "display-removed";
  if (eventSink_) eventSink_(Value::map({{"type", type}}));
  externalDisplayCount_ = count;
}
