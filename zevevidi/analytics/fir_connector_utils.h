// FIRConnectorUtils: the fixed rules by which the analytics interop connector screens the
// requests of other Zevevidi components: which origins may log events, set user properties and
// listen, which events and parameters they may log, which user properties they may set or read,
// and which logged events listeners may see.
//
// Class methods only. Each table is an immutable set built once on first use and kept for the
// life of the process; every method may be called from any thread. Comparisons are exact,
// case-sensitive equality; an empty name counts as absent.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/core/value.h"
#include "platform/foundation/regular_expression.h"

class FIRConnectorUtils {
 public:
  using Names = std::set<std::string>;
  using Patterns = std::vector<std::shared_ptr<const platform::RegularExpression>>;

  static const Names& allowedListenerOrigins();
  static const Names& blocklistedOrigins();
  static const Names& blocklistedEventNames();
  static const Names& blocklistedParameters();
  static const Names& blocklistedUserProperties();
  static const Patterns& blocklistedUserPropertyPatterns();
  static const Names& hiddenEventNames();

  // Not one of the blocked origins ("auto", "app", "am").
  static bool isOriginAllowed(const std::string& origin);
  // "app", or "app+" followed by anything.
  static bool isAppOrigin(const std::string& origin);
  static bool isListenerOriginAllowed(const std::string& origin);
  static bool isEventNameAllowedForListeners(const std::string& name);
  // Only "_vs" for "clx".
  static bool isEventNameAllowedForListenerOrigin(const std::string& name,
                                                  const std::string& origin);
  // A name that is neither empty nor blocked, and no blocked parameter present (whatever its
  // value).
  static bool shouldLogEventWithName(const std::string& name,
                                     const std::optional<platform::ValueMap>& parameters);
  // "_ln" only from "zcm" and "ziam"; never a blocked name or one a blocked pattern matches.
  static bool isUserPropertyAllowed(const std::string& name, const std::string& origin);
  // "_fot", or a non-empty name that does not begin with "_".
  static bool isUserPropertyAllowedForQuery(const std::string& name);
};
