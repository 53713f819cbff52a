#include "plugins/desktop/url_launcher_plugin.h"

using url_launcher::UrlLauncherBoolResult;
using url_launcher::UrlLauncherError;

namespace {

std::shared_ptr<UrlLauncherBoolResult> answer(bool value,
                                              std::optional<UrlLauncherError> error = {}) {
  return UrlLauncherBoolResult::makeWithValue(value, error);
}

// The URL the desktop may be handed, or the answer to give instead.
std::optional<platform::URL> parse(const std::string& text,
                                   std::shared_ptr<UrlLauncherBoolResult>* refusal) {
  auto url = platform::URL::parse(text);
  if (!url) {
    *refusal = answer(false, UrlLauncherError::invalidUrl);
    return std::nullopt;
  }
  // A relative reference ("--help", say) names nothing the desktop could open, and must never
  // reach a tool's command line where it could read as an option.
  if (!url->isAbsolute()) {
    *refusal = answer(false);
    return std::nullopt;
  }
  return url;
}

}  // namespace

void UrlLauncherPlugin::registerWith(const flutter::PluginRegistrarPtr& registrar) {
  url_launcher::UrlLauncherApiSetup::setUp(
      registrar->messenger(), std::make_shared<UrlLauncherPlugin>(platform::Workspace::shared()));
}

void UrlLauncherPlugin::canLaunch(const std::string& text, Completion completion) {
  std::shared_ptr<UrlLauncherBoolResult> refusal;
  auto url = parse(text, &refusal);
  if (!url) return completion(refusal, std::nullopt);
  workspace_->urlForApplicationToOpenURL(
      *url, [completion](std::optional<platform::URL> application) {
        completion(answer(application.has_value()), std::nullopt);
      });
}

void UrlLauncherPlugin::launch(const std::string& text, Completion completion) {
  std::shared_ptr<UrlLauncherBoolResult> refusal;
  auto url = parse(text, &refusal);
  if (!url) return completion(refusal, std::nullopt);
  workspace_->openURL(*url,
                      [completion](bool opened) { completion(answer(opened), std::nullopt); });
}
