#include "plugins/window_manager/window_manager.h"

#include <gtest/gtest.h>

#include "platform/appkit/application.h"
#include "platform/appkit/screen.h"

namespace window_manager {
namespace {

using platform::Value;

class WindowManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    manager->onEvent = [this](const std::string& name) { events.push_back(name); };
  }
  void TearDown() override { platform::Application::shared().resetForTesting(); }

  template <class W = platform::Window> std::shared_ptr<W> bind() {
    auto window = std::make_shared<W>(platform::Rect::make(100, 200, 800, 572),
                                      platform::WindowStyleMaskTitled,
                                      platform::BackingStoreType::Buffered, false);
    manager->setMainWindow(window);
    return window;
  }
  static WindowManager::Args args(std::initializer_list<std::pair<const Value, Value>> items) {
    return WindowManager::Args(items);
  }

  std::shared_ptr<WindowManager> manager = std::make_shared<WindowManager>();
  std::vector<std::string> events;
};

TEST_F(WindowManagerTest, AlwaysOnTopSetsThePanelBitOnPanelsOnly) {
  auto panel = bind<platform::Panel>();
  manager->setAlwaysOnTop(args({{"isAlwaysOnTop", true}}));
  EXPECT_EQ(panel->level(), 3);
  EXPECT_TRUE(panel->styleMask() & platform::WindowStyleMaskNonactivatingPanel);
  manager->setAlwaysOnTop(args({{"isAlwaysOnTop", false}}));
  EXPECT_FALSE(panel->styleMask() & platform::WindowStyleMaskNonactivatingPanel);

  auto window = bind();
  auto mask = window->styleMask();
  manager->setAlwaysOnTop(args({{"isAlwaysOnTop", true}}));
  EXPECT_EQ(window->styleMask(), mask);
}

TEST_F(WindowManagerTest, PanelsReportFocusFromKeyChanges) {
  auto panel = bind<platform::Panel>();
  panel->makeKeyWindow();
  panel->resignKeyWindow();
  EXPECT_EQ(events, (std::vector<std::string>{"focus", "blur"}));
}

TEST_F(WindowManagerTest, ProgressBecomesDeterminateAgainAfterAnOverflow) {
  bind();
  auto& tile = platform::Application::shared().dockTile();
  auto indicator = [&] {
    return std::dynamic_pointer_cast<platform::ProgressIndicator>(
        tile.contentView()->subviews().back());
  };
  manager->setProgressBar(args({{"progress", 3}}));
  EXPECT_TRUE(indicator()->isIndeterminate());
  manager->setProgressBar(args({{"progress", 0.5}}));
  EXPECT_FALSE(indicator()->isIndeterminate());
  EXPECT_EQ(indicator()->doubleValue(), 0.5);
  // Content someone else installed is replaced by ours.
  auto foreign = std::make_shared<platform::View>();
  foreign->addSubview(std::make_shared<platform::View>());
  tile.setContentView(foreign);
  manager->setProgressBar(args({{"progress", 0.25}}));
  ASSERT_TRUE(indicator());
  EXPECT_EQ(indicator()->doubleValue(), 0.25);
}

TEST_F(WindowManagerTest, BadArgumentsNameTheKeyAndChangeNothing) {
  auto window = bind();
  auto before = window->backgroundColor();
  struct Case {
    void (WindowManager::*op)(const WindowManager::Args&);
    WindowManager::Args args;
    const char* key;
  };
  const Case cases[] = {
      {&WindowManager::setTitle, args({}), "title"},
      {&WindowManager::setPreventClose, args({{"isPreventClose", "yes"}}), "isPreventClose"},
      {&WindowManager::setBackgroundColor,
       args({{"backgroundColorA", 255},
             {"backgroundColorR", 255},
             {"backgroundColorG", 1.5},
             {"backgroundColorB", 0}}),
       "backgroundColorG"},
      {&WindowManager::setBackgroundColor,
       args({{"backgroundColorA", 256},
             {"backgroundColorR", 0},
             {"backgroundColorG", 0},
             {"backgroundColorB", 0}}),
       "backgroundColorA"},
      {&WindowManager::setBounds, args({{"width", "wide"}, {"height", 10}}), "width"},
      {&WindowManager::setTitleBarStyle, args({{"titleBarStyle", "hidden"}}),
       "windowButtonVisibility"},
  };
  for (const auto& c : cases) {
    try {
      ((*manager).*c.op)(c.args);
      ADD_FAILURE() << "accepted arguments without " << c.key;
    } catch (const WindowManagerArgumentError& e) {
      EXPECT_EQ(e.key(), c.key);
    }
  }
  EXPECT_EQ(window->backgroundColor(), before);
  EXPECT_EQ(window->frame(), platform::Rect::make(100, 200, 800, 600));
  EXPECT_EQ(window->titleVisibility(), platform::WindowTitleVisibility::Visible);
  EXPECT_FALSE(manager->isPreventClose());
}

TEST_F(WindowManagerTest, WithoutAScreenTheFirstScreenHeightIsZero) {
  auto window = bind();
  platform::Screen::setScreens({});
  EXPECT_EQ(manager->getBounds(),
            Value::map({{"x", 100.0}, {"y", -800.0}, {"width", 800.0}, {"height", 600.0}}));
  platform::Screen::setScreens(platform::Screen::defaultScreens());
}

}  // namespace
}  // namespace window_manager
