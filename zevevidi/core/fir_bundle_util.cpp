#include "zevevidi/core/fir_bundle_util.h"

#include "zevevidi/utilities/gul_app_environment_util.h"

FIRBundleUtil::BundleList FIRBundleUtil::relevantBundles() {
  return {platform::Bundle::main()};
}

std::optional<std::string> FIRBundleUtil::optionsDictionaryPathWithResourceName(
    const std::string& resourceName, const std::string& fileType, const BundleList& bundles) {
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    if (auto path = bundle->pathForResource(resourceName, fileType)) return path;
  }
  return std::nullopt;
}

bool FIRBundleUtil::hasBundleIdentifierPrefix(const std::string& bundleIdentifier,
                                              const BundleList& bundles) {
  for (const auto& bundle : bundles) {
    if (!bundle) continue;
    auto id = bundle->bundleIdentifier();
    if (!id) continue;
    if (*id == bundleIdentifier) return true;
    if (GULAppEnvironmentUtil::isAppExtension() &&
        bundleIdentifierByRemovingLastPartFrom(*id) == bundleIdentifier) {
      return true;
    }
  }
  return false;
}

std::string
FIRBundleUtil::bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier) {
  auto dot = bundleIdentifier.rfind('.');
  if (dot == std::string::npos) return "";
  return bundleIdentifier.substr(0, dot);
}

std::vector<std::string> FIRBundleUtil::relevantURLSchemes() {
  std::vector<std::string> schemes;
  for (const auto& bundle : relevantBundles()) {
    if (!bundle) continue;
    auto some = bundle->urlSchemes();
    schemes.insert(schemes.end(), some.begin(), some.end());
  }
  return schemes;
}
