#include "platform/engine/dart_project.h"

#include <cstdlib>

#include "platform/appkit/application.h"

namespace flutter {

namespace {

std::string socketFromArguments(const std::vector<std::string>& arguments) {
  const std::string flag = "--engine-socket";
  for (std::size_t i = 0; i < arguments.size(); ++i) {
    const std::string& a = arguments[i];
    if (a == flag && i + 1 < arguments.size()) return arguments[i + 1];
    if (a.rfind(flag + "=", 0) == 0) return a.substr(flag.size() + 1);
  }
  return {};
}

}  // namespace

DartProject::DartProject() : DartProject(platform::processArguments()) {}

DartProject::DartProject(const std::vector<std::string>& arguments) {
  engineSocketPath_ = socketFromArguments(arguments);
  if (engineSocketPath_.empty()) {
    if (const char* env = std::getenv("LUMORA_ENGINE_SOCKET")) engineSocketPath_ = env;
  }
}

std::string DartProject::lookupKeyForAsset(const std::string& asset) {
  return "flutter_assets/" + asset;
}

std::string DartProject::lookupKeyForAsset(const std::string& asset, const std::string& package) {
  return lookupKeyForAsset("packages/" + package + "/" + asset);
}

}  // namespace flutter
