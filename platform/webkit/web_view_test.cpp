#include "platform/webkit/web_view.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "platform/dispatch/test_environment.h"

namespace platform::webkit {
namespace {

using platform::Value;
namespace kvo = key_value_observing;

// Records every notification as "keyPath change".
class Recorder : public NativeObject {
 public:
  void observeValue(const std::string& keyPath, const std::shared_ptr<NativeObject>& object,
                    const platform::ValueMap& change) override {
    seen.push_back(keyPath + " " + Value(change).debugString());
    objects.push_back(object.get());
  }
  std::vector<std::string> seen;
  std::vector<const NativeObject*> objects;
};

// An object with one observable value, "v".
class Observed : public NativeObject {
 public:
  Value valueForKey(const std::string& keyPath) const override {
    return keyPath == "v" ? value : Value();
  }
  void set(Value next) {
    Value old = value;
    value = next;
    didChangeValueForKey("v", old, next);
  }
  Value value{1};
};

std::string change(std::initializer_list<std::pair<const Value, Value>> entries) {
  return Value(platform::ValueMap(entries)).debugString();
}

TEST(KeyValueObservingTest, EachOptionBitAsThePlatformHonoursIt) {
  struct Case {
    std::uint64_t options;
    std::vector<std::string> expected;  // after registering, then after set(2)
  };
  const Value kind(kvo::kKindKey), newKey(kvo::kNewKey), oldKey(kvo::kOldKey),
      prior(kvo::kNotificationIsPriorKey);
  const std::vector<Case> cases = {
      {0, {"v " + change({{kind, Value(1)}})}},
      {kvo::kNew, {"v " + change({{kind, Value(1)}, {newKey, Value(2)}})}},
      {kvo::kOld, {"v " + change({{kind, Value(1)}, {oldKey, Value(1)}})}},
      {kvo::kNew | kvo::kInitial,
       {"v " + change({{kind, Value(1)}, {newKey, Value(1)}}),
        "v " + change({{kind, Value(1)}, {newKey, Value(2)}})}},
      {kvo::kInitial, {"v " + change({{kind, Value(1)}}), "v " + change({{kind, Value(1)}})}},
      {kvo::kPrior | kvo::kOld | kvo::kNew,
       {"v " + change({{kind, Value(1)}, {prior, Value(true)}, {oldKey, Value(1)}}),
        "v " + change({{kind, Value(1)}, {newKey, Value(2)}, {oldKey, Value(1)}})}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.options);
    auto observed = std::make_shared<Observed>();
    auto recorder = std::make_shared<Recorder>();
    observed->addObserver(recorder, "v", c.options);
    observed->addObserver(recorder, "other", c.options & ~kvo::kInitial);
    observed->set(Value(2));
    EXPECT_EQ(recorder->seen, c.expected);
    for (auto* object : recorder->objects)
      EXPECT_EQ(object, observed.get());
  }
}

TEST(KeyValueObservingTest, RemovalNeedsARegistrationAndObserversAreHeldWeakly) {
  auto observed = std::make_shared<Observed>();
  auto recorder = std::make_shared<Recorder>();
  EXPECT_FALSE(observed->removeObserver(*recorder, "v"));
  observed->addObserver(recorder, "v", kvo::kNew);
  observed->addObserver(recorder, "v", kvo::kNew);
  EXPECT_EQ(observed->observationCount("v"), 2u);
  EXPECT_FALSE(observed->removeObserver(*recorder, "w"));
  EXPECT_TRUE(observed->removeObserver(*recorder, "v"));
  observed->set(Value(2));
  EXPECT_EQ(recorder->seen.size(), 1u);  // the second registration still hears
  EXPECT_TRUE(observed->removeObserver(*recorder, "v"));
  EXPECT_FALSE(observed->removeObserver(*recorder, "v"));

  auto shortLived = std::make_shared<Recorder>();
  observed->addObserver(shortLived, "v", kvo::kNew);
  std::weak_ptr<Recorder> weak = shortLived;
  shortLived.reset();
  EXPECT_TRUE(weak.expired());  // the registration kept nothing alive
  EXPECT_EQ(observed->observationCount("v"), 0u);
  observed->set(Value(3));  // and notifying skips it
}

TEST(WebViewTest, TitleOfDocument) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"<title>T</title>", "T"},
      {"<html><HEAD><Title lang=en>\n  Two words \t</TITLE>", "Two words"},
      {"<titles>no</titles><title>yes</title>", "yes"},
      {"<title></title>", ""},
      {"<title>never closed", std::nullopt},
      {"<p>none</p>", std::nullopt},
  };
  for (const auto& [html, title] : cases)
    EXPECT_EQ(titleOfDocument(html), title) << html;
}

TEST(WebViewTest, LoadsStepProgressKeepHistoryAndPublishTheirChanges) {
  auto webView = std::make_shared<WebView>(nullptr);
  auto recorder = std::make_shared<Recorder>();
  for (const char* key : {"estimatedProgress", "title", "URL", "canGoBack", "canGoForward"})
    webView->addObserver(recorder, key, kvo::kNew);
  EXPECT_FALSE(webView->url());
  ASSERT_NE(webView->configuration(), nullptr);

  webView->loadHTMLString("<title>A</title>", std::nullopt);
  EXPECT_EQ(webView->url()->absoluteString(), "about:blank");
  EXPECT_EQ(webView->title(), "A");
  EXPECT_EQ(webView->estimatedProgress(), 1.0);
  std::vector<std::string> keys;
  for (const auto& line : recorder->seen)
    keys.push_back(line.substr(0, line.find(' ')));
  EXPECT_EQ(keys, (std::vector<std::string>{"estimatedProgress", "estimatedProgress", "URL",
                                            "title", "estimatedProgress"}));

  webView->loadHTMLString("<title>B</title>", platform::URL::parse("https://b.invalid/"));
  EXPECT_TRUE(webView->canGoBack());
  webView->goBack();
  EXPECT_EQ(webView->title(), "A");
  EXPECT_FALSE(webView->canGoBack());
  EXPECT_TRUE(webView->canGoForward());
  webView->goForward();
  EXPECT_EQ(webView->url()->absoluteString(), "https://b.invalid/");
  EXPECT_EQ(webView->title(), "B");

  // A new load drops the pages ahead of the current one.
  webView->goBack();
  WebView::scriptLoad("https://c.invalid/", {404, "Missing", std::nullopt});
  webView->loadRequest(URLRequest(*platform::URL::parse("https://c.invalid/")));
  EXPECT_FALSE(webView->canGoForward());
  EXPECT_EQ(webView->title(), "Missing");
  EXPECT_EQ(webView->engineState()[Value("statusCode")], Value(404));
}

TEST(WebViewTest, FailedLoadsKeepThePageAndLocalFilesGiveTheirTitle) {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("lumora-web-view-test-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  std::ofstream(folder / "page.html") << "<title>Local</title>";
  auto webView = std::make_shared<WebView>(nullptr);
  const auto access = *platform::URL::fileURLWithPath(folder.string(), true);

  webView->loadFileURL(*platform::URL::fileURLWithPath((folder / "page.html").string()), access);
  EXPECT_EQ(webView->title(), "Local");
  EXPECT_EQ(webView->engineState()[Value("readAccessURL")], Value(access.absoluteString()));
  webView->loadFileURL(*platform::URL::fileURLWithPath((folder / "gone.html").string()), access);
  WebView::scriptLoad("https://down.invalid/", {200, std::nullopt, "offline"});
  webView->loadRequest(URLRequest(*platform::URL::parse("https://down.invalid/")));
  EXPECT_EQ(webView->title(), "Local");
  EXPECT_FALSE(webView->canGoBack());
  EXPECT_EQ(webView->estimatedProgress(), 1.0);
  std::filesystem::remove_all(folder);
}

TEST(WebViewTest, EvaluationsCompleteOnALaterTurnEachWithItsOwnOutcome) {
  platform::TestEnvironment env;
  auto webView = std::make_shared<WebView>(nullptr);
  webView->scriptJavaScript("1+1", {Value(2), nullptr});
  webView->scriptJavaScript("void 0", {std::nullopt, nullptr});
  std::vector<std::string> outcomes;
  auto record = [&](std::optional<Value> result, platform::ErrorPtr error) {
    outcomes.push_back(error ? error->domain : result ? result->debugString() : "none");
  };
  webView->evaluateJavaScript("1+1", record);
  webView->evaluateJavaScript("void 0", record);
  webView->evaluateJavaScript("unscripted()", record);
  EXPECT_TRUE(outcomes.empty());
  env.runUntilIdle();
  EXPECT_EQ(outcomes, (std::vector<std::string>{"2", "none", kSimulatedEngineErrorDomain}));
}

}  // namespace
}  // namespace platform::webkit
