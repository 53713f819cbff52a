#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

#include "platform/appkit/application.h"
#include "platform/dispatch/main_loop.h"
#include "platform/engine/engine.h"
#include "platform/engine/view_controller.h"
#include "platform/log/log.h"
#include "platform/media/scripted_media.h"
#include "runner/app_delegate.h"
#include "runner/fvp_plugin.h"
#include "runner/generated_plugin_registrant.h"
#include "runner/main_flutter_window.h"
#include "runner/main_interface.h"

namespace lumora {
namespace {

// The full registration order; rows of plugins not built yet are absent from the table.
const char* const kFullOrder[] = {
    "ConnectivityPlusPlugin",   "ZevevidiAnalyticsPlugin",
    "FLTZevevidiCorePlugin",    "FvpPlugin",
    "FPPPackageInfoPlusPlugin", "ScreenRetrieverMacosPlugin",
    "SharedPreferencesPlugin",  "SqflitePlugin",
    "UrlLauncherPlugin",        "VideoPlayerPlugin",
    "WakelockPlusMacosPlugin",  "WebViewFlutterPlugin",
    "WindowManagerPlugin",
};

// Records the order of registrar requests and hands out real registrars.
class RecordingRegistry : public flutter::PluginRegistry {
 public:
  flutter::PluginRegistrarPtr registrarForPlugin(const std::string& key) override {
    keys.push_back(key);
    return engine->registrarForPlugin(key);
  }
  platform::ObjectPtr valuePublishedByPlugin(const std::string& key) const override {
    return engine->valuePublishedByPlugin(key);
  }
  flutter::EnginePtr engine =
      flutter::Engine::create(flutter::DartProject(std::vector<std::string>{}));
  std::vector<std::string> keys;
};

TEST(RegistrationTest, TableFollowsTheFixedOrderWithFvpAtFour) {
  const auto& table = generatedPluginTable();
  ASSERT_FALSE(table.empty());
  int previous = 0;
  bool sawFvp = false;
  for (const auto& row : table) {
    SCOPED_TRACE(row.key);
    ASSERT_GT(row.position, previous);
    ASSERT_LE(row.position, 13);
    EXPECT_STREQ(row.key, kFullOrder[row.position - 1]);
    EXPECT_NE(row.registerWith, nullptr);
    sawFvp = sawFvp || row.position == 4;
    previous = row.position;
  }
  EXPECT_TRUE(sawFvp);
}

TEST(RegistrationTest, RegistersEachRowOnceInOrderAndLogsIt) {
  RecordingRegistry registry;
  platform::ScopedLogCapture capture;
  int fvpBefore = FvpPlugin::registrationCount();
  RegisterGeneratedPlugins(registry);

  std::vector<std::string> expectedKeys, expectedLines;
  for (const auto& row : generatedPluginTable()) {
    expectedKeys.push_back(row.key);
    expectedLines.push_back("registered plugin " + std::to_string(row.position) + " " + row.key);
  }
  EXPECT_EQ(registry.keys, expectedKeys);
  std::vector<std::string> lines;
  for (const auto& line : capture.lines()) {
    if (line.category == "registration") lines.push_back(line.message);
  }
  EXPECT_EQ(lines, expectedLines);
  EXPECT_EQ(FvpPlugin::registrationCount(), fvpBefore + 1);
  registry.engine->shutDown();
}

TEST(MainWindowTest, AwakeFromNibKeepsTheFrameAndRegistersThroughTheController) {
  auto contentRect = platform::Rect::make(10, 20, 1024, 700);
  auto window = std::make_shared<MainFlutterWindow>(contentRect, platform::WindowStyleMaskTitled,
                                                    platform::BackingStoreType::Buffered, false);
  // The window's frame holds the content rectangle plus the title bar.
  const auto frame = window->frame();
  EXPECT_EQ(frame.size.height, contentRect.size.height + platform::kTitleBarHeight);
  // Seen when the registrations run: the controller is installed and the frame already restored.
  platform::ViewControllerPtr controllerAtRegistration;
  std::optional<platform::Rect> frameAtRegistration;
  MainFlutterWindow::setAdditionalRegistrant([&](flutter::PluginRegistry& registry) {
    controllerAtRegistration = window->contentViewController();
    frameAtRegistration = window->frame();
    EXPECT_EQ(dynamic_cast<flutter::PluginRegistry*>(controllerAtRegistration.get()), &registry);
  });
  int fvpBefore = FvpPlugin::registrationCount();
  window->awakeFromNib();
  MainFlutterWindow::setAdditionalRegistrant(nullptr);

  EXPECT_EQ(window->frame(), frame);
  EXPECT_EQ(window->displayCount(), 1);
  auto controller =
      std::dynamic_pointer_cast<flutter::ViewController>(window->contentViewController());
  ASSERT_TRUE(controller);
  EXPECT_EQ(controllerAtRegistration, controller);
  EXPECT_EQ(frameAtRegistration, frame);
  // The controller's view fills the restored content area and is the engine's view.
  EXPECT_EQ(window->contentView()->frame().size, contentRect.size);
  EXPECT_EQ(controller->engine()->view(), window->contentView());
  EXPECT_EQ(FvpPlugin::registrationCount(), fvpBefore + 1);
  controller->engine()->shutDown();
}

TEST(ApplicationTest, ClosingTheMainWindowEndsTheApplication) {
  GULAppDelegateSwizzler::resetForTesting();
  auto& app = platform::Application::shared();
  app.resetForTesting();
  app.loadInterface(mainInterface());
  ASSERT_EQ(app.windows().size(), 1u);
  auto window = app.mainWindow();
  ASSERT_TRUE(std::dynamic_pointer_cast<MainFlutterWindow>(window));
  auto delegate = std::dynamic_pointer_cast<AppDelegate>(app.delegate());
  ASSERT_TRUE(delegate);
  // Interceptors of application-delegate calls see the host's delegate.
  auto target = GULAppDelegateSwizzler::applicationDelegate();
  ASSERT_TRUE(target);
  EXPECT_EQ(target->delegateClassName(), "AppDelegate");
  EXPECT_FALSE(GULAppDelegateSwizzler::delegateRespondsToSelector(
      GULAppDelegateSelector::ContinueUserActivity));
  EXPECT_TRUE(delegate->applicationShouldTerminateAfterLastWindowClosed(app));
  EXPECT_TRUE(delegate->applicationSupportsSecureRestorableState(app));
  EXPECT_TRUE(window->isVisible());

  window->close();
  EXPECT_TRUE(app.windows().empty());
  EXPECT_TRUE(platform::MainLoop::instance().quitRequested());
  platform::MainLoop::instance().drain();
  app.resetForTesting();
}

TEST(RegistrationTest, TheVideoPlayerJoinsAtTenOnlyWithAMediaBackend) {
  auto positions = [] {
    std::vector<int> out;
    for (const auto& row : generatedPluginTable())
      out.push_back(row.position);
    return out;
  };
  platform::media::setDefaultMediaFactory(nullptr);
  auto without = positions();
  EXPECT_EQ(std::count(without.begin(), without.end(), 10), 0);

  platform::media::setDefaultMediaFactory(
      std::make_shared<platform::media::ScriptedMediaFactory>());
  RecordingRegistry registry;
  RegisterGeneratedPlugins(registry);
  auto with = positions();
  auto ten = std::find(with.begin(), with.end(), 10);
  ASSERT_NE(ten, with.end());
  EXPECT_EQ(*(ten - 1), 9);
  EXPECT_EQ(*(ten + 1), 11);
  EXPECT_NE(registry.valuePublishedByPlugin("VideoPlayerPlugin"), nullptr);
  platform::media::setDefaultMediaFactory(nullptr);
  registry.engine->shutDown();
}

}  // namespace
}  // namespace lumora
