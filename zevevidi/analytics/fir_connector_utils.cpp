#include "zevevidi/analytics/fir_connector_utils.h"

#include "platform/core/assertion.h"

const FIRConnectorUtils::Names& FIRConnectorUtils::allowedListenerOrigins() {
  static const Names names{"ziam", "crash", "clx"};
  return names;
}

const FIRConnectorUtils::Names& FIRConnectorUtils::blocklistedOrigins() {
  static const Names names{"auto", "app", "am"};
  return names;
}

const FIRConnectorUtils::Names& FIRConnectorUtils::blocklistedEventNames() {
  static const Names names{"_au", "_e", "_f", "_iap", "_s"};
  return names;
}

const FIRConnectorUtils::Names& FIRConnectorUtils::blocklistedParameters() {
  static const Names names{"_r", "_dbg"};
  return names;
}

const FIRConnectorUtils::Names& FIRConnectorUtils::blocklistedUserProperties() {
  static const Names names{"_sno", "_sid", "_lte", "_fot", "_ln", "_id", "_fi"};
  return names;
}

const FIRConnectorUtils::Patterns& FIRConnectorUtils::blocklistedUserPropertyPatterns() {
  static const Patterns patterns = [] {
    Patterns out;
    for (const char* pattern : {"^_ltv_[A-Z]{3}$", "^_cc[1-5]{1}$"}) {
      auto compiled = platform::RegularExpression::make(pattern);
      // Fixed patterns: a refusal is a fault of this file.
      LUMORA_ASSERT(compiled != nullptr, "a user-property pattern did not compile");
      if (compiled) out.push_back(std::move(compiled));
    }
    return out;
  }();
  return patterns;
}

const FIRConnectorUtils::Names& FIRConnectorUtils::hiddenEventNames() {
  static const Names names{"_exp_expire", "_exp_timeout", "_exp_activate", "_exp_clear",
                           "_exp_set",    "_ug",          "_iapx",         "_xa",
                           "_xu",         "_aq",          "_aa",           "campaign_details",
                           "_ac",         "_ai"};
  return names;
}

bool FIRConnectorUtils::isOriginAllowed(const std::string& origin) {
  return !blocklistedOrigins().contains(origin);
}

bool FIRConnectorUtils::isAppOrigin(const std::string& origin) {
  return origin == "app" || origin.starts_with("app+");
}

bool FIRConnectorUtils::isListenerOriginAllowed(const std::string& origin) {
  return allowedListenerOrigins().contains(origin);
}

bool FIRConnectorUtils::isEventNameAllowedForListeners(const std::string& name) {
  return !hiddenEventNames().contains(name);
}

bool FIRConnectorUtils::isEventNameAllowedForListenerOrigin(const std::string& name,
                                                            const std::string& origin) {
  return name == "_vs" && origin == "clx";
}

bool FIRConnectorUtils::shouldLogEventWithName(
    const std::string& name, const std::optional<platform::ValueMap>& parameters) {
  if (name.empty() || blocklistedEventNames().contains(name)) return false;
  if (parameters) {
    for (const auto& blocked : blocklistedParameters()) {
      if (parameters->contains(platform::Value(blocked))) return false;
    }
  }
  return true;
}

bool FIRConnectorUtils::isUserPropertyAllowed(const std::string& name, const std::string& origin) {
  if (name.empty()) return false;
  // Before the blocked list, which holds "_ln" as well.
  if (name == "_ln") return origin == "zcm" || origin == "ziam";
  if (blocklistedUserProperties().contains(name)) return false;
  for (const auto& pattern : blocklistedUserPropertyPatterns()) {
    if (pattern->findsMatchIn(name)) return false;
  }
  return true;
}

bool FIRConnectorUtils::isUserPropertyAllowedForQuery(const std::string& name) {
  return !name.empty() && (name == "_fot" || !name.starts_with("_"));
}
