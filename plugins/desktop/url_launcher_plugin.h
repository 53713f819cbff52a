// The URL launcher plugin: the generated interface UrlLauncherApi over the workspace. Answers
// whether an application can open a URL and opens URLs; never answers with an error reply: a text
// that is no URL comes back as {value: false, error: invalidUrl}. Only absolute URLs (with a
// scheme) reach the desktop; a relative reference answers false with no error and runs nothing.
// Owned by the engine through its channels; main thread.
#pragma once

#include <memory>

#include "platform/appkit/workspace.h"
#include "platform/engine/plugin_registrar.h"
#include "plugins/desktop/messages.h"

class UrlLauncherPlugin : public url_launcher::UrlLauncherApi {
 public:
  explicit UrlLauncherPlugin(std::shared_ptr<platform::Workspace> workspace)
      : workspace_(std::move(workspace)) {}

  using Completion = std::function<void(std::shared_ptr<url_launcher::UrlLauncherBoolResult> result,
                                        const std::optional<pigeon::PigeonError>& error)>;

  static void registerWith(const flutter::PluginRegistrarPtr& registrar);

  void canLaunch(const std::string& url, Completion completion) override;
  void launch(const std::string& url, Completion completion) override;

 private:
  std::shared_ptr<platform::Workspace> workspace_;
};
