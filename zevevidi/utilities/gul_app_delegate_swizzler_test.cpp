#include "zevevidi/utilities/gul_app_delegate_swizzler.h"

#include <gtest/gtest.h>

#include "platform/core/assertion.h"
#include "platform/foundation/bundle.h"
#include "platform/foundation/class_registry.h"
#include "platform/log/log.h"
#include "zevevidi/utilities/gul_logger.h"

namespace {

using namespace platform;

// A delegate or interceptor that records its calls and answers as told.
class TestDelegate : public GULApplicationDelegate {
 public:
  explicit TestDelegate(std::string name, bool answer = false, bool implementsActivity = true)
      : name_(std::move(name)) {
    if (implementsActivity) {
      continueUserActivity = [this, answer](const GULUserActivity& a,
                                            const GULRestorationHandler&) {
        calls.push_back(name_ + ":" + a.webpageURL);
        return answer;
      };
    }
  }
  void implementRemoteNotifications() {
    didRegisterForRemoteNotificationsWithDeviceToken = [this](const Bytes& token) {
      calls.push_back(name_ + ":token" + std::to_string(token.size()));
    };
  }
  std::string delegateClassName() const override { return "LumoraAppDelegate"; }
  std::vector<std::string> calls;

 private:
  std::string name_;
};

class GULAppDelegateSwizzlerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    GULAppDelegateSwizzler::resetForTesting();
    setInfo({});
    GULResetLoggerForTesting();
    GULSetLoggerLevel(GULLoggerLevelDebug);
    delegate_ = std::make_shared<TestDelegate>("delegate", false);
    GULAppDelegateSwizzler::setApplicationDelegate(delegate_);
  }
  void TearDown() override {
    GULAppDelegateSwizzler::resetForTesting();
    Bundle::setMainForTesting(nullptr);
    GULResetLoggerForTesting();
  }

  static void setInfo(ValueMap info) {
    Bundle::setMainForTesting(Bundle::inMemory("/nowhere", std::move(info)));
  }
  std::size_t logged(const std::string& text) {
    GULLoggerFlushForTesting();
    return capture_.count(text);
  }
  static bool openURL(const std::string& url) {
    GULUserActivity activity;
    activity.activityType = "browsing-web";
    activity.webpageURL = url;
    return GULAppDelegateSwizzler::application_continueUserActivity(activity, nullptr);
  }

  ScopedLogCapture capture_;
  std::shared_ptr<TestDelegate> delegate_;
};

TEST_F(GULAppDelegateSwizzlerTest, TwoInterceptorsAndTheDelegateCombineWithOr) {
  auto no = std::make_shared<TestDelegate>("no", false);
  auto yes = std::make_shared<TestDelegate>("yes", true);
  GULAppDelegateSwizzler::registerAppDelegateInterceptor(no);
  GULAppDelegateSwizzler::registerAppDelegateInterceptor(yes);
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(GULAppDelegateSwizzler::originalDelegate(), delegate_);

  EXPECT_TRUE(openURL("https://x/1")) << "one interceptor's yes wins over the delegate's no";
  EXPECT_EQ(no->calls, std::vector<std::string>{"no:https://x/1"});
  EXPECT_EQ(yes->calls, std::vector<std::string>{"yes:https://x/1"});
  EXPECT_EQ(delegate_->calls, std::vector<std::string>{"delegate:https://x/1"});

  // Without any yes the answer is no, and every party still hears the call.
  GULAppDelegateSwizzler::clearInterceptors();
  GULAppDelegateSwizzler::registerAppDelegateInterceptor(no);
  EXPECT_FALSE(openURL("https://x/2"));
  EXPECT_EQ(no->calls.size(), 2u);
  EXPECT_EQ(delegate_->calls.size(), 2u);
}

TEST_F(GULAppDelegateSwizzlerTest, ProxyAnswersForADelegateWithoutItsOwnMethod) {
  auto plain = std::make_shared<TestDelegate>("plain", false, /*implementsActivity=*/false);
  GULAppDelegateSwizzler::setApplicationDelegate(plain);
  auto yes = std::make_shared<TestDelegate>("yes", true);
  GULAppDelegateSwizzler::registerAppDelegateInterceptor(yes);
  EXPECT_FALSE(GULAppDelegateSwizzler::delegateRespondsToSelector(
      GULAppDelegateSelector::ContinueUserActivity));
  EXPECT_FALSE(openURL("https://x/")) << "no proxy yet: interceptors are not told";
  EXPECT_TRUE(yes->calls.empty());

  GULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_TRUE(GULAppDelegateSwizzler::delegateRespondsToSelector(
      GULAppDelegateSelector::ContinueUserActivity));
  EXPECT_TRUE(openURL("https://x/"));
  EXPECT_EQ(yes->calls.size(), 1u);
}

TEST_F(GULAppDelegateSwizzlerTest, InformationPropertyListSwitches) {
  struct Case {
    ValueMap info;
    bool enabled;
  };
  const Case cases[] = {
      {{}, true},
      {{{Value("ZirizaUtilitiesAppDelegateProxyEnabled"), Value(false)}}, false},
      {{{Value("ZevevidiAppDelegateProxyEnabled"), Value(false)}}, false},
      {{{Value("ZevevidiAppDelegateProxyEnabled"), Value(0)}}, false},
      {{{Value("ZirizaUtilitiesAppDelegateProxyEnabled"), Value("NO")}}, true},
      {{{Value("ZevevidiAppDelegateProxyEnabled"), Value(true)},
        {Value("ZirizaUtilitiesAppDelegateProxyEnabled"), Value(1)}},
       true},
  };
  for (const auto& c : cases) {
    setInfo(c.info);
    EXPECT_EQ(GULAppDelegateSwizzler::isAppDelegateProxyEnabled(), c.enabled)
        << Value(c.info).debugString();
    EXPECT_EQ(GULSceneDelegateSwizzler::isSceneDelegateProxyEnabled(), c.enabled);
  }

  setInfo({{Value("ZirizaUtilitiesAppDelegateProxyEnabled"), Value(false)}});
  auto yes = std::make_shared<TestDelegate>("yes", true);
  GULAppDelegateSwizzler::registerAppDelegateInterceptor(yes);
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(logged("App Delegate Proxy is disabled. "), 1u);
  EXPECT_EQ(GULAppDelegateSwizzler::originalDelegate(), nullptr);
  EXPECT_FALSE(openURL("https://x/"));
  EXPECT_TRUE(yes->calls.empty());
  EXPECT_EQ(delegate_->calls.size(), 1u) << "the delegate's own method still runs";
}

TEST_F(GULAppDelegateSwizzlerTest, GoneInterceptorIsDroppedAtTheNextCall) {
  auto transient = std::make_shared<TestDelegate>("transient", true);
  const std::string id = GULAppDelegateSwizzler::registerAppDelegateInterceptor(transient);
  EXPECT_EQ(id.rfind("GUL_0x", 0), 0u) << id;
  EXPECT_EQ(GULAppDelegateSwizzler::registerAppDelegateInterceptor(transient), id);
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  transient.reset();

  EXPECT_FALSE(openURL("https://x/"));
  EXPECT_EQ(logged("AppDelegateProxy cannot find interceptor with ID " + id +
                   ". Removing the interceptor."),
            1u);
  openURL("https://x/");
  EXPECT_EQ(logged("AppDelegateProxy cannot find interceptor with ID"), 1u) << "removed once";
  GULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(id);
  EXPECT_EQ(logged("AppDelegateProxy cannot unregister interceptor that was not registered. "
                   "Interceptor ID " +
                   id),
            1u);

  auto live = std::make_shared<TestDelegate>("live", true);
  const std::string liveID = GULAppDelegateSwizzler::registerAppDelegateInterceptor(live);
  GULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID(liveID);
  EXPECT_FALSE(openURL("https://x/"));
  EXPECT_TRUE(live->calls.empty());

  ScopedAssertionCapture assertions;
  EXPECT_EQ(GULAppDelegateSwizzler::registerAppDelegateInterceptor(nullptr), "");
  GULAppDelegateSwizzler::unregisterAppDelegateInterceptorWithID("");
  EXPECT_EQ(assertions.count(), 2u);
}

TEST_F(GULAppDelegateSwizzlerTest, ProxyIsMadeOncePerProcessUnlessReArmed) {
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(logged("Successfully created App Delegate Proxy automatically. To disable the proxy, "
                   "set the flag ZirizaUtilitiesAppDelegateProxyEnabled to NO"),
            1u);
  GULAppDelegateSwizzler::resetProxyOriginalDelegateOnceToken();
  platform::ClassRegistry::shared().registerClass("FIRCore", std::make_shared<int>(0));
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  platform::ClassRegistry::shared().unregisterClass("FIRCore");
  EXPECT_EQ(logged("set the flag ZevevidiAppDelegateProxyEnabled to NO (Boolean) in the "
                   "Info.plist"),
            1u);
}

TEST_F(GULAppDelegateSwizzlerTest, NoDelegateIsLeftAlone) {
  GULAppDelegateSwizzler::setApplicationDelegate(nullptr);
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  EXPECT_EQ(logged("App Delegate does not conform to UIApplicationDelegate protocol. "), 1u);
  EXPECT_EQ(GULAppDelegateSwizzler::originalDelegate(), nullptr);
  EXPECT_FALSE(openURL("https://x/"));
}

TEST_F(GULAppDelegateSwizzlerTest, AnotherDelegateEndsTheProxy) {
  auto yes = std::make_shared<TestDelegate>("yes", true);
  GULAppDelegateSwizzler::registerAppDelegateInterceptor(yes);
  GULAppDelegateSwizzler::proxyOriginalDelegate();
  auto replacement = std::make_shared<TestDelegate>("replacement", false);
  GULAppDelegateSwizzler::setApplicationDelegate(replacement);
  EXPECT_EQ(GULAppDelegateSwizzler::originalDelegate(), nullptr);
  EXPECT_FALSE(openURL("https://x/"));
  EXPECT_TRUE(yes->calls.empty());
  EXPECT_EQ(replacement->calls.size(), 1u);
}

TEST_F(GULAppDelegateSwizzlerTest, RemoteNotificationCallsOnlyWithTheirOwnProxy) {
  delegate_->implementRemoteNotifications();
  auto interceptor = std::make_shared<TestDelegate>("interceptor", false);
  interceptor->implementRemoteNotifications();
  GULAppDelegateSwizzler::registerAppDelegateInterceptor(interceptor);

  GULAppDelegateSwizzler::proxyOriginalDelegate();
  GULAppDelegateSwizzler::application_didRegisterForRemoteNotificationsWithDeviceToken({1, 2});
  EXPECT_TRUE(interceptor->calls.empty());
  EXPECT_EQ(delegate_->calls, std::vector<std::string>{"delegate:token2"});

  GULAppDelegateSwizzler::proxyOriginalDelegateIncludingAPNSMethods();
  GULAppDelegateSwizzler::application_didRegisterForRemoteNotificationsWithDeviceToken({1, 2, 3});
  EXPECT_EQ(interceptor->calls, std::vector<std::string>{"interceptor:token3"});
  EXPECT_EQ(delegate_->calls.back(), "delegate:token3");
  EXPECT_TRUE(GULAppDelegateSwizzler::delegateRespondsToSelector(
      GULAppDelegateSelector::DidFailToRegisterForRemoteNotifications));
  // The delegate has no failure method of its own: only the interceptors could hear it.
  GULAppDelegateSwizzler::application_didFailToRegisterForRemoteNotificationsWithError(
      Error::make("test", 1));
  EXPECT_EQ(delegate_->calls.size(), 2u);
}

}  // namespace
