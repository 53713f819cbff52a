// FIRBundleUtil: finds the options resource, bundle identifiers and URL schemes in the bundles
// that matter to the app registry. The host is one executable, so the bundle of this code is
// the main bundle and the list holds the main bundle once. Stateless; any thread.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/bundle.h"

class FIRBundleUtil {
 public:
  using BundleList = std::vector<std::shared_ptr<const platform::Bundle>>;

  static BundleList relevantBundles();
  static std::optional<std::string>
  optionsDictionaryPathWithResourceName(const std::string& resourceName,
                                        const std::string& fileType, const BundleList& bundles);
  static bool hasBundleIdentifierPrefix(const std::string& bundleIdentifier,
                                        const BundleList& bundles);
  static std::string bundleIdentifierByRemovingLastPartFrom(const std::string& bundleIdentifier);
  static std::vector<std::string> relevantURLSchemes();
};
