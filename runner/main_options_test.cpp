#include "runner/main_options.h"

#include <gtest/gtest.h>

namespace lumora {
namespace {

TEST(MainOptionsTest, CommandLines) {
  struct Case {
    std::vector<std::string> arguments;
    bool help;
    std::optional<std::string> error;
    std::vector<std::string> warnings;
  };
  const Case cases[] = {
      {{"lumora"}, false, std::nullopt, {}},
      {{"lumora", "--engine-socket", "/run/a.sock"}, false, std::nullopt, {}},
      {{"lumora", "--engine-socket=/run/a.sock"}, false, std::nullopt, {}},
      {{"lumora", "--help"}, true, std::nullopt, {}},
      {{"lumora", "-h", "--bogus"},
       true,
       std::nullopt,
       {"ignoring unknown option \"--bogus\" (see --help)"}},
      // An empty or missing path is an error, never "no socket".
      {{"lumora", "--engine-socket"}, false, "--engine-socket needs a socket path", {}},
      {{"lumora", "--engine-socket="}, false, "--engine-socket needs a socket path", {}},
      {{"lumora", "--engine-socket", ""}, false, "--engine-socket needs a socket path", {}},
      // The value after the flag is the path even when it looks like an option.
      {{"lumora", "--engine-socket", "--help"}, false, std::nullopt, {}},
      {{"lumora", "extra", "--engine-socket", "/a.sock", "-x"},
       false,
       std::nullopt,
       {"ignoring unknown argument \"extra\" (see --help)",
        "ignoring unknown option \"-x\" (see --help)"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.arguments));
    MainOptions options = parseMainOptions(c.arguments);
    EXPECT_EQ(options.help, c.help);
    EXPECT_EQ(options.error, c.error);
    EXPECT_EQ(options.warnings, c.warnings);
  }
}

}  // namespace
}  // namespace lumora
