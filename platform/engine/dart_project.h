// The engine project: where the application's code and assets live and how the engine is
// started. The default project reads the engine socket from the process arguments
// ("--engine-socket PATH" or "--engine-socket=PATH") or else from LUMORA_ENGINE_SOCKET.
// Plain value type.
#pragma once

#include <string>
#include <vector>

namespace flutter {

class DartProject {
 public:
  // The default project of this process.
  DartProject();
  // A project from explicit arguments (tests).
  explicit DartProject(const std::vector<std::string>& arguments);

  // The key of an asset inside the bundle's asset folder: "flutter_assets/<asset>".
  static std::string lookupKeyForAsset(const std::string& asset);
  // The key of an asset of a package: "flutter_assets/packages/<package>/<asset>".
  static std::string lookupKeyForAsset(const std::string& asset, const std::string& package);

  // Unix socket path the engine listens on for the application peer; empty for none.
  const std::string& engineSocketPath() const { return engineSocketPath_; }
  void setEngineSocketPath(std::string path) { engineSocketPath_ = std::move(path); }

 private:
  std::string engineSocketPath_;
};

}  // namespace flutter
