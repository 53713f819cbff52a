// A tiny program for the preferences tests: "write" stores a fixed set of values in the
// application's domain and in a suite, "read" prints what a fresh process sees. The tests run
// it twice with LUMORA_HOME pointing at a scratch folder.
#include <cstdio>
#include <cstring>

#include "platform/foundation/preferences.h"

using platform::Preferences;
using platform::Value;

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  auto app = Preferences::standard();
  auto suite = Preferences::withSuiteName("com.lumora.probe.suite");
  if (!suite) return 3;
  if (std::strcmp(argv[1], "write") == 0) {
    bool ok = app->setString("name", "probe") && app->setInteger("count", 42) &&
              app->setObject("nested", Value::map({{"list", Value::list({1, 2.5, true})},
                                                   {"when", Value::date(1709208000.5)}})) &&
              suite->setBool("flag", true);
    return ok ? 0 : 1;
  }
  if (std::strcmp(argv[1], "read") == 0) {
    std::printf("%s|%lld|%s|%d\n", app->stringForKey("name").value_or("-").c_str(),
                static_cast<long long>(app->integerForKey("count")),
                app->objectForKey("nested").debugString().c_str(), suite->boolForKey("flag"));
    return 0;
  }
  return 2;
}
