#include "tests/fakes/window_server_channel.h"

#include "platform/appkit/application.h"
#include "platform/appkit/screen.h"
#include "platform/engine/channels.h"
#include "tests/fakes/test_channel_result.h"

namespace lumora::testing {

namespace {

using platform::Value;

const Value& get(const Value& args, const char* key) {
  static const Value kNull;
  const Value* v = args.find(Value(key));
  return v ? *v : kNull;
}

double number(const Value& args, const char* key) {
  const Value& v = get(args, key);
  if (v.isInt()) return static_cast<double>(v.asInt());
  if (v.isDouble()) return v.asDouble();
  throw std::invalid_argument(std::string("missing number \"") + key + "\"");
}

bool boolean(const Value& args, const char* key) {
  const Value& v = get(args, key);
  if (!v.isBool()) throw std::invalid_argument(std::string("missing boolean \"") + key + "\"");
  return v.asBool();
}

Value rect(const platform::Rect& r) {
  return Value::map(
      {{"x", r.origin.x}, {"y", r.origin.y}, {"width", r.size.width}, {"height", r.size.height}});
}

Value size(const platform::Size& s) {
  return Value::list({s.width, s.height});
}

Value color(const platform::Color& c) {
  return Value::map({{"red", c.red}, {"green", c.green}, {"blue", c.blue}, {"alpha", c.alpha}});
}

Value describeWindow(platform::Window& w) {
  Value buttons = Value::emptyMap();
  const char* names[] = {"close", "miniaturize", "zoom"};
  for (int i = 0; i < 3; ++i) {
    auto button = w.standardWindowButton(static_cast<platform::WindowButton>(i));
    buttons.asMap()[Value(names[i])] =
        button ? Value(button->isHidden() ? "hidden" : "shown") : Value("none");
  }
  auto closeButton = w.standardWindowButton(platform::WindowButton::Close);
  auto container =
      closeButton && closeButton->superview() ? closeButton->superview()->superview() : nullptr;
  return Value::map({
      {"frame", rect(w.frame())},
      {"styleMask", static_cast<std::int64_t>(w.styleMask())},
      {"title", w.title()},
      {"titleVisibility", static_cast<std::int64_t>(w.titleVisibility())},
      {"titlebarAppearsTransparent", w.titlebarAppearsTransparent()},
      {"titleBarContainerHidden", container ? Value(container->isHidden()) : Value()},
      {"buttons", buttons},
      {"level", w.level()},
      {"collectionBehavior", static_cast<std::int64_t>(w.collectionBehavior())},
      {"alphaValue", w.alphaValue()},
      {"hasShadow", w.hasShadow()},
      {"opaque", w.isOpaque()},
      {"backgroundColor", color(w.backgroundColor())},
      {"aspectRatio", size(w.aspectRatio())},
      {"contentAspectRatio", size(w.contentAspectRatio())},
      {"resizeIncrements", size(w.resizeIncrements())},
      {"minSize", size(w.minSize())},
      {"maxSize", size(w.maxSize())},
      {"appearance", w.appearanceName()},
      {"movable", w.isMovable()},
      {"ignoresMouseEvents", w.ignoresMouseEvents()},
      {"acceptsMouseMovedEvents", w.acceptsMouseMovedEvents()},
      {"visible", w.isVisible()},
      {"key", w.isKeyWindow()},
      {"main", w.isMainWindow()},
      {"miniaturized", w.isMiniaturized()},
      {"zoomed", w.isZoomed()},
      {"windowNumber", w.windowNumber()},
      {"windowDrags", static_cast<std::int64_t>(w.windowDragCount())},
  });
}

Value describeDockTile(platform::DockTile& tile) {
  Value progress;
  auto content = tile.contentView();
  if (content && !content->subviews().empty()) {
    if (auto bar =
            std::dynamic_pointer_cast<platform::ProgressIndicator>(content->subviews().back())) {
      progress = Value::map({{"hidden", bar->isHidden()},
                             {"indeterminate", bar->isIndeterminate()},
                             {"value", bar->doubleValue()},
                             {"min", bar->minValue()},
                             {"max", bar->maxValue()},
                             {"frame", rect(bar->frame())}});
    }
  }
  Value image;
  if (auto imageView = std::dynamic_pointer_cast<platform::ImageView>(content)) {
    if (auto shown = imageView->image()) image = Value(shown->name);
  }
  return Value::map({{"badgeLabel", tile.badgeLabel()},
                     {"size", size(tile.size())},
                     {"contentView", content ? Value(content->className()) : Value()},
                     {"image", image},
                     {"progress", progress},
                     {"displays", static_cast<std::int64_t>(tile.displayCount())}});
}

Value describe() {
  auto& app = platform::Application::shared();
  auto window = app.mainWindow();
  Value screens = Value::emptyList();
  for (const auto& s : platform::Screen::screens()) {
    screens.asList().push_back(Value::map({{"frame", rect(s.frame)},
                                           {"visibleFrame", rect(s.visibleFrame)},
                                           {"number", s.number},
                                           {"name", s.localizedName}}));
  }
  return Value::map({
      {"window", window ? describeWindow(*window) : Value()},
      {"dockTile", describeDockTile(app.dockTile())},
      {"application",
       Value::map({{"active", app.isActive()},
                   {"activationPolicy", static_cast<std::int64_t>(app.activationPolicy())},
                   {"iconImage",
                    app.applicationIconImage() ? Value(app.applicationIconImage()->name) : Value()},
                   {"windows", static_cast<std::int64_t>(app.windows().size())}})},
      {"screens", screens},
  });
}

platform::Rect rectArg(const Value& args) {
  return platform::Rect::make(number(args, "x"), number(args, "y"), number(args, "width"),
                              number(args, "height"));
}

Value handle(const flutter::MethodCall& call) {
  const Value& a = call.arguments;
  auto& app = platform::Application::shared();
  const std::string& m = call.method;
  if (m == "describe") return describe();
  if (m == "setMouseLocation") {
    platform::setMouseLocation({number(a, "x"), number(a, "y")});
    return true;
  }
  if (m == "setScreens") {
    std::vector<platform::Screen> screens;
    for (const auto& entry :
         get(a, "screens").isList() ? get(a, "screens").asList() : Value::List{}) {
      platform::Screen s;
      s.frame = rectArg(entry);
      s.visibleFrame =
          platform::Rect::make(number(entry, "visibleX"), number(entry, "visibleY"),
                               number(entry, "visibleWidth"), number(entry, "visibleHeight"));
      s.number = static_cast<std::int64_t>(number(entry, "number"));
      s.localizedName = get(entry, "name").isString() ? get(entry, "name").asString() : "";
      screens.push_back(s);
    }
    platform::Screen::setScreens(std::move(screens));
    return true;
  }
  if (m == "mouseDown") {
    app.setCurrentMouseDown(boolean(a, "value"));
    return true;
  }
  auto window = app.mainWindow();
  if (!window) throw std::invalid_argument("no window");
  if (m == "setFrame") {
    window->setFrame(rectArg(a), true);
  } else if (m == "click") {
    const Value& button = get(a, "button");
    if (button == Value("close")) {
      window->performClose();
    } else if (button == Value("zoom")) {
      window->zoom();
    } else if (button == Value("miniaturize")) {
      window->miniaturize();
    } else {
      throw std::invalid_argument("unknown button");
    }
  } else if (m == "liveResize") {
    window->simulateLiveResize(rectArg(a));
  } else if (m == "drag") {
    window->simulateDrag({number(a, "x"), number(a, "y")});
  } else if (m == "key") {
    boolean(a, "value") ? window->makeKeyWindow() : window->resignKeyWindow();
  } else if (m == "main") {
    boolean(a, "value") ? window->makeMainWindow() : window->resignMainWindow();
  } else {
    throw std::out_of_range(m);
  }
  return true;
}

class WindowServerChannel : public flutter::Plugin {
 public:
  void handleMethodCall(const flutter::MethodCall& call, flutter::MethodResult result) override {
    answerTestCall(result, [&] { return handle(call); });
  }
};

}  // namespace

void registerWindowServerChannel(const flutter::PluginRegistrarPtr& registrar) {
  registrar->addMethodCallDelegate(std::make_shared<WindowServerChannel>(),
                                   flutter::MethodChannel::methodChannelWithName(
                                       "lumora_test/window_server", registrar->messenger()));
}

}  // namespace lumora::testing
