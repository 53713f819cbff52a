#include "platform/foundation/url.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

namespace platform {
namespace {

TEST(URL, ParsesValidTexts) {
  struct Case {
    const char* text;
    const char* scheme;
    std::optional<std::string> host;
    std::optional<int> port;
    const char* path;
    std::optional<std::string> query;
    std::optional<std::string> fragment;
  };
  const Case cases[] = {
      {"https://example.invalid", "https", "example.invalid", {}, "", {}, {}},
      {"HTTPS://Example.Invalid:8443/a/b?x=1&y#frag", "https", "example.invalid", 8443, "/a/b",
       "x=1&y", "frag"},
      {"http://user:pw@127.0.0.1:80/", "http", "127.0.0.1", 80, "/", {}, {}},
      {"http://[::1]:9000/v1/x%20y", "http", "::1", 9000, "/v1/x y", {}, {}},
      {"http://host:/p", "http", "host", {}, "/p", {}, {}},
      {"file:///tmp/a%20b.txt", "file", "", {}, "/tmp/a b.txt", {}, {}},
      {"mailto:someone@example.invalid", "mailto", {}, {}, "someone@example.invalid", {}, {}},
      {"about:blank", "about", {}, {}, "blank", {}, {}},
      {"custom+scheme.v1-x://cb?code=%2F", "custom+scheme.v1-x", "cb", {}, "", "code=%2F", {}},
      {"relative/path?q", "", {}, {}, "relative/path", "q", {}},
      {"/absolute/path", "", {}, {}, "/absolute/path", {}, {}},
      {"//host.only/x", "", "host.only", {}, "/x", {}, {}},
      {"?only=query", "", {}, {}, "", "only=query", {}},
      {"#only-fragment", "", {}, {}, "", {}, "only-fragment"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    auto url = URL::parse(c.text);
    ASSERT_TRUE(url);
    EXPECT_EQ(url->absoluteString(), c.text);
    EXPECT_EQ(url->scheme(), c.scheme);
    EXPECT_EQ(url->host(), c.host);
    EXPECT_EQ(url->port(), c.port);
    EXPECT_EQ(url->path(), c.path);
    EXPECT_EQ(url->query(), c.query);
    EXPECT_EQ(url->fragment(), c.fragment);
  }
  auto withUser = URL::parse("http://user:pw@127.0.0.1:80/");
  EXPECT_EQ(withUser->user(), "user");
  EXPECT_EQ(withUser->password(), "pw");
}

TEST(URL, RefusesInvalidTexts) {
  for (const char* bad : {
           "",
           "http://exa mple.invalid/",  // space
           "https://host/a b",          // space in path
           "https://host/\xC3\xA9",     // raw non-ASCII
           "http://host/%zz",           // bad escape
           "http://host/%4",            // short escape
           "http://host/<script>",      // excluded characters
           "http://host/a#b#c",         // second fragment
           "http://host:99999/",        // port out of range
           "http://host:8o/",           // port not digits
           "http://[::1/",              // unclosed literal
           "http://[zz::1]/",           // not hex
           "http://",                   // http without a host
           "https:/no-authority",       // https without a host
           "1http://x",                 // scheme must start with a letter
           "ht tp://x",                 // space in scheme
           "http://ho^st/",             // bad host character
           "tab\tin",                   // control character
           "a:b//c\\d",                 // backslash
       }) {
    EXPECT_EQ(URL::parse(bad), std::nullopt) << bad;
  }
}

TEST(URL, ResolvesRelativeReferences) {
  auto base = URL::parse("http://a/b/c/d;p?q");
  ASSERT_TRUE(base);
  const std::pair<const char*, const char*> cases[] = {
      {"g", "http://a/b/c/g"},      {"./g", "http://a/b/c/g"},
      {"g/", "http://a/b/c/g/"},    {"/g", "http://a/g"},
      {"//g", "http://g"},          {"?y", "http://a/b/c/d;p?y"},
      {"g?y", "http://a/b/c/g?y"},  {"#s", "http://a/b/c/d;p?q#s"},
      {"", "http://a/b/c/d;p?q"},   {".", "http://a/b/c/"},
      {"..", "http://a/b/"},        {"../g", "http://a/b/g"},
      {"../../../g", "http://a/g"}, {"/./g", "http://a/g"},
      {"g/../h", "http://a/b/c/h"}, {"https://other/x/../y", "https://other/y"},
  };
  for (const auto& [ref, expected] : cases) {
    auto resolved = URL::parse(ref, *base);
    ASSERT_TRUE(resolved) << ref;
    EXPECT_EQ(resolved->absoluteString(), expected) << ref;
  }
  EXPECT_EQ(URL::parse("g", *URL::parse("relative/base")), std::nullopt);
  EXPECT_EQ(URL::parse("bad path", *base), std::nullopt);
}

// Every part of `url`, as the parser sees it.
std::string partsOf(const URL& url) {
  auto opt = [](const auto& o) {
    if (!o) return std::string("-");
    std::ostringstream s;
    s << "'" << *o << "'";
    return s.str();
  };
  return "scheme='" + url.scheme() + "' authority=" + (url.hasAuthority() ? "yes" : "no") +
         " user=" + opt(url.user()) + " password=" + opt(url.password()) +
         " host=" + opt(url.host()) + " port=" + opt(url.port()) + " path='" +
         url.percentEncodedPath() + "' query=" + opt(url.query()) +
         " fragment=" + opt(url.fragment());
}

// The text of a resolved URL must read back as the same parts, or whoever takes the text (a
// request, a log line, a stored address) reaches somewhere else than the parts say.
TEST(URL, ResolvedTextsReadBackAsTheirParts) {
  const std::pair<const char*, const char*> known[] = {
      // Dot segments that leave "//" at the start of a path without an authority would read
      // back as a host.
      {"a:/b/c", "..//evil/x"},      {"a:/b", "/..//evil"},         {"a:b", "/.//evil"},
      {"mailto:x", "/..//evil?q#f"}, {"http://h/p", "a:/..//evil"},
  };
  for (const auto& [baseText, ref] : known) {
    auto resolved = URL::parse(ref, *URL::parse(baseText));
    ASSERT_TRUE(resolved) << ref;
    auto again = URL::parse(resolved->absoluteString());
    ASSERT_TRUE(again) << resolved->absoluteString();
    EXPECT_EQ(partsOf(*again), partsOf(*resolved)) << baseText << " + " << ref;
    EXPECT_FALSE(again->host().has_value()) << resolved->absoluteString();
  }
  // An authority without a host under a scheme that needs one could never be read back.
  EXPECT_EQ(URL::parse("//:1", *URL::parse("http://h/p")), std::nullopt);
  EXPECT_EQ(URL::parse("//u@/x", *URL::parse("https://h/p")), std::nullopt);

  const char* bases[] = {
      "http://a/b/c/d;p?q", "a:/b/c", "a:b/c",           "a:b", "mailto:x", "file:///", "file:/x",
      "s://u:p@[::1]:1/",   "s://h",  "http://h:/p/q#f", "a:",  "a:/"};
  const char* pieces[] = {"..",  ".", "/",   "//", "g",  "h:i", "?q", "#f",
                          "%2E", "@", "u@h", ":1", ";p", "?",   "#",  "x.y"};
  std::mt19937 random(14);
  int checked = 0;
  for (int round = 0; round < 20000; ++round) {
    std::string ref;
    for (int n = std::uniform_int_distribution<int>(0, 6)(random); n > 0; --n) {
      ref += pieces[std::uniform_int_distribution<std::size_t>(0, std::size(pieces) - 1)(random)];
    }
    const char* baseText = bases[round % std::size(bases)];
    auto resolved = URL::parse(ref, *URL::parse(baseText));
    if (!resolved) continue;
    ++checked;
    auto again = URL::parse(resolved->absoluteString());
    ASSERT_TRUE(again) << baseText << " + " << ref << " = " << resolved->absoluteString();
    ASSERT_EQ(partsOf(*again), partsOf(*resolved))
        << baseText << " + " << ref << " = " << resolved->absoluteString();
  }
  EXPECT_GT(checked, 10000);
}

TEST(URL, QueryItemsFileURLsAndBuilding) {
  auto url = URL::parse("https://h/p?a=1&b=&c&d=x%26y%3Dz&e=1+2");
  ASSERT_TRUE(url);
  std::vector<URLQueryItem> expected = {
      {"a", "1"}, {"b", ""}, {"c", std::nullopt}, {"d", "x&y=z"}, {"e", "1+2"}};
  EXPECT_EQ(url->queryItems(), expected);

  auto built = url->withQueryItems({{"key", "a b&c=d/é"}, {"flag", std::nullopt}});
  EXPECT_EQ(built.absoluteString(), "https://h/p?key=a%20b%26c%3Dd/%C3%A9&flag");
  EXPECT_EQ(built.queryItems()[0].value, "a b&c=d/\xC3\xA9");
  EXPECT_EQ(URL::parse(built.absoluteString()), built);
  EXPECT_EQ(url->withQueryItems({}).absoluteString(), "https://h/p");
  EXPECT_EQ(URL::parse("https://h/api")->byAppendingPathComponent("v 1").absoluteString(),
            "https://h/api/v%201");

  auto file = URL::fileURLWithPath("/tmp/dir with space/#1.txt");
  ASSERT_TRUE(file);
  EXPECT_EQ(file->absoluteString(), "file:///tmp/dir%20with%20space/%231.txt");
  EXPECT_EQ(file->filePath(), "/tmp/dir with space/#1.txt");
  EXPECT_EQ(file->lastPathComponent(), "#1.txt");
  EXPECT_EQ(URL::fileURLWithPath("/tmp/d", true)->absoluteString(), "file:///tmp/d/");
  EXPECT_EQ(URL::fileURLWithPath("relative"), std::nullopt);
  EXPECT_EQ(URL::parse("file://remote/x")->filePath(), std::nullopt);
  EXPECT_EQ(URL::parse("file:///x%00y")->filePath(), std::nullopt);
  EXPECT_EQ(URL::parse("https://h/x")->filePath(), std::nullopt);
}

}  // namespace
}  // namespace platform
