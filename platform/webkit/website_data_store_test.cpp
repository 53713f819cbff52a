#include "platform/webkit/website_data_store.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/dispatch/test_environment.h"

namespace platform::webkit {
namespace {

using platform::Value;
namespace key = cookie_property;

platform::ValueMap properties(std::initializer_list<std::pair<const char*, Value>> entries) {
  platform::ValueMap map;
  for (const auto& [k, v] : entries)
    map[Value(k)] = v;
  return map;
}

TEST(HTTPCookieTest, WhichDictionariesMakeACookie) {
  struct Case {
    const char* what;
    platform::ValueMap dictionary;
    std::optional<std::string> domain;  // none: no cookie
    std::string path;
  };
  const std::vector<Case> cases = {
      {"name, value, domain",
       properties({{key::kName, "n"}, {key::kValue, "v"}, {key::kDomain, "a.invalid"}}),
       "a.invalid", "/"},
      {"empty value is a value",
       properties({{key::kName, "n"}, {key::kValue, ""}, {key::kDomain, "a.invalid"}}), "a.invalid",
       "/"},
      {"origin URL gives the domain",
       properties(
           {{key::kName, "n"}, {key::kValue, "v"}, {key::kOriginURL, "https://b.invalid/x"}}),
       "b.invalid", "/"},
      {"path kept",
       properties({{key::kName, "n"},
                   {key::kValue, "v"},
                   {key::kDomain, "a.invalid"},
                   {key::kPath, "/p"}}),
       "a.invalid", "/p"},
      {"no name", properties({{key::kValue, "v"}, {key::kDomain, "a.invalid"}}), std::nullopt, ""},
      {"empty name",
       properties({{key::kName, ""}, {key::kValue, "v"}, {key::kDomain, "a.invalid"}}),
       std::nullopt, ""},
      {"no value", properties({{key::kName, "n"}, {key::kDomain, "a.invalid"}}), std::nullopt, ""},
      {"value not a string",
       properties({{key::kName, "n"}, {key::kValue, 3}, {key::kDomain, "a.invalid"}}), std::nullopt,
       ""},
      {"neither domain nor origin", properties({{key::kName, "n"}, {key::kValue, "v"}}),
       std::nullopt, ""},
      {"origin without a host",
       properties({{key::kName, "n"}, {key::kValue, "v"}, {key::kOriginURL, "no url"}}),
       std::nullopt, ""},
      {"domain not a string",
       properties({{key::kName, "n"}, {key::kValue, "v"}, {key::kDomain, true}}), std::nullopt, ""},
  };
  for (const auto& c : cases) {
    auto cookie = HTTPCookie::cookieWithProperties(c.dictionary);
    if (!c.domain) {
      EXPECT_FALSE(cookie) << c.what;
      continue;
    }
    ASSERT_TRUE(cookie) << c.what;
    EXPECT_EQ(cookie->domain(), *c.domain) << c.what;
    EXPECT_EQ(cookie->path(), c.path) << c.what;
    // Reads back what it was made from, with domain and path filled in.
    auto expected = c.dictionary;
    expected[Value(key::kDomain)] = Value(*c.domain);
    expected[Value(key::kPath)] = Value(c.path);
    EXPECT_EQ(cookie->properties(), expected) << c.what;
  }
}

class WebsiteDataStoreTest : public ::testing::Test {
 protected:
  std::shared_ptr<HTTPCookie> cookie(const char* name, const char* value, const char* path = "/") {
    return HTTPCookie::cookieWithProperties(properties({{key::kName, name},
                                                        {key::kValue, value},
                                                        {key::kDomain, "a.invalid"},
                                                        {key::kPath, path}}));
  }
  std::vector<std::string> jar(const HTTPCookieStore& store) {
    std::vector<std::string> out;
    store.getAllCookies([&](HTTPCookieStore::Cookies cookies) {
      for (const auto& c : cookies)
        out.push_back(c->name() + "=" + c->value() + "@" + c->path());
    });
    env_.runUntilIdle();
    return out;
  }

  platform::TestEnvironment env_{1000.0};
};

TEST_F(WebsiteDataStoreTest, TheJarKeepsOrderReplacesSameNameDomainAndPathAndHandsOutNewObjects) {
  WebsiteDataStore store;
  auto& cookies = *store.httpCookieStore();
  bool set = false;
  auto first = cookie("a", "1");
  cookies.setCookie(first, [&] { set = true; });
  EXPECT_FALSE(set);  // completions run on a later main-loop turn
  cookies.setCookie(cookie("b", "2"), nullptr);
  cookies.setCookie(cookie("a", "3", "/other"), nullptr);
  cookies.setCookie(cookie("a", "4"), nullptr);  // replaces "a" at "/" in place
  env_.runUntilIdle();
  EXPECT_TRUE(set);
  EXPECT_EQ(jar(cookies), (std::vector<std::string>{"a=4@/", "b=2@/", "a=3@/other"}));

  std::vector<std::shared_ptr<HTTPCookie>> handedOut[2];
  for (auto& out : handedOut)
    cookies.getAllCookies([&out](HTTPCookieStore::Cookies c) { out = std::move(c); });
  env_.runUntilIdle();
  ASSERT_EQ(handedOut[0].size(), 3u);
  EXPECT_NE(handedOut[0][0], handedOut[1][0]);
  EXPECT_NE(handedOut[0][0].get(), first.get());
}

TEST_F(WebsiteDataStoreTest, RecordsAreFetchedByTypeAndRemovedWhenModifiedSinceTheDate) {
  WebsiteDataStore store;
  store.addRecord(website_data_type::kLocalStorage, 100);
  store.addRecord(website_data_type::kLocalStorage, 200);
  store.addRecord(website_data_type::kDiskCache, 300);
  env_.setWallClock(250);
  store.httpCookieStore()->setCookie(cookie("c", "1"), nullptr);

  auto fetch = [&](std::set<std::string> types) {
    std::optional<std::vector<WebsiteDataStore::Record>> records;
    store.fetchDataRecordsOfTypes(types, [&](auto r) { records = std::move(r); });
    EXPECT_FALSE(records);
    env_.runUntilIdle();
    return records ? records->size() : 99u;
  };
  EXPECT_EQ(fetch({}), 0u);
  EXPECT_EQ(fetch({website_data_type::kLocalStorage}), 2u);
  EXPECT_EQ(fetch({website_data_type::kCookies, website_data_type::kDiskCache}), 2u);

  bool removed = false;
  store.removeDataOfTypes({website_data_type::kLocalStorage, website_data_type::kCookies}, 150,
                          [&] { removed = true; });
  env_.runUntilIdle();
  EXPECT_TRUE(removed);
  EXPECT_EQ(fetch({website_data_type::kLocalStorage}), 1u);  // the one from 100 stays
  EXPECT_EQ(fetch({website_data_type::kDiskCache}), 1u);     // another type: untouched
  EXPECT_TRUE(jar(*store.httpCookieStore()).empty());        // set at 250: removed
}

// Records what reaches it and answers from its own list, so a call that stays in the simulated
// store shows as missing here.
class RecordingBackend : public WebsiteDataBackend {
 public:
  void setCookie(const std::shared_ptr<HTTPCookie>& cookie,
                 std::function<void()> completion) override {
    calls.push_back("set " + cookie->name());
    cookies.push_back(cookie);
    completion();
  }
  void getAllCookies(std::function<void(Cookies)> completion) override {
    calls.push_back("get");
    completion(cookies);
  }
  void
  fetchDataRecordsOfTypes(const std::set<std::string>& types,
                          std::function<void(std::vector<WebsiteDataRecord>)> completion) override {
    calls.push_back("fetch " + std::to_string(types.size()));
    completion({WebsiteDataRecord{website_data_type::kDiskCache, 0}});
  }
  void removeDataOfTypes(const std::set<std::string>& types, double since,
                         std::function<void()> completion) override {
    calls.push_back("remove " + std::to_string(types.size()) + " since " +
                    std::to_string(static_cast<int>(since)));
    completion();
  }
  std::vector<std::string> calls;
  Cookies cookies;
};

TEST_F(WebsiteDataStoreTest, WithABackendEveryCallGoesToTheEngineAndNoneToTheSimulatedJar) {
  WebsiteDataStore store;
  auto& cookies = *store.httpCookieStore();
  cookies.setCookie(cookie("before", "1"), nullptr);
  store.addRecord(website_data_type::kLocalStorage, 10);
  env_.runUntilIdle();

  auto backend = std::make_shared<RecordingBackend>();
  store.setBackend(backend);
  bool set = false;
  cookies.setCookie(cookie("engine", "2"), [&] { set = true; });
  cookies.setCookie(nullptr, [&] {});  // no cookie: nothing for the engine
  EXPECT_TRUE(set);
  EXPECT_EQ(jar(cookies), (std::vector<std::string>{"engine=2@/"}));
  std::vector<WebsiteDataStore::Record> records;
  store.fetchDataRecordsOfTypes({website_data_type::kLocalStorage, website_data_type::kCookies},
                                [&](auto r) { records = std::move(r); });
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].type, website_data_type::kDiskCache);
  bool removed = false;
  store.removeDataOfTypes({website_data_type::kCookies}, 5, [&] { removed = true; });
  EXPECT_TRUE(removed);
  env_.runUntilIdle();
  EXPECT_EQ(backend->calls,
            (std::vector<std::string>{"set engine", "get", "fetch 2", "remove 1 since 5"}));

  // Without it, the simulated jar and records are as they were.
  store.setBackend(nullptr);
  EXPECT_EQ(jar(cookies), (std::vector<std::string>{"before=1@/"}));
  std::optional<std::size_t> simulated;
  store.fetchDataRecordsOfTypes({website_data_type::kLocalStorage},
                                [&](auto r) { simulated = r.size(); });
  env_.runUntilIdle();
  EXPECT_EQ(simulated, std::optional<std::size_t>(1));
}

TEST(WebsiteDataStoreDefaultTest, OneDefaultStorePerProcess) {
  auto a = WebsiteDataStore::defaultDataStore();
  EXPECT_EQ(a, WebsiteDataStore::defaultDataStore());
  EXPECT_EQ(a->httpCookieStore(), WebsiteDataStore::defaultDataStore()->httpCookieStore());
  EXPECT_NE(std::make_shared<WebsiteDataStore>()->httpCookieStore(), a->httpCookieStore());
}

}  // namespace
}  // namespace platform::webkit
