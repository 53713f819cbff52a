#include "zevevidi/analytics/fir_connector_utils.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using platform::Value;
using platform::ValueMap;
using U = FIRConnectorUtils;

struct Case {
  const char* rule;
  std::function<bool()> ask;
  bool expected;
};

TEST(FIRConnectorUtilsTest, EveryPredicateAnswersByItsTable) {
  const ValueMap none;
  const Case cases[] = {
      // Origins allowed to log and set user properties.
      {"origin auto", [] { return U::isOriginAllowed("auto"); }, false},
      {"origin app", [] { return U::isOriginAllowed("app"); }, false},
      {"origin am", [] { return U::isOriginAllowed("am"); }, false},
      {"origin app+ztm", [] { return U::isOriginAllowed("app+ztm"); }, true},
      {"origin zcm", [] { return U::isOriginAllowed("zcm"); }, true},
      {"origin ziam", [] { return U::isOriginAllowed("ziam"); }, true},
      {"origin crash", [] { return U::isOriginAllowed("crash"); }, true},
      {"origin clx", [] { return U::isOriginAllowed("clx"); }, true},
      {"origin App", [] { return U::isOriginAllowed("App"); }, true},
      {"origin other", [] { return U::isOriginAllowed("something"); }, true},
      // App origins.
      {"app origin app", [] { return U::isAppOrigin("app"); }, true},
      {"app origin app+ztm", [] { return U::isAppOrigin("app+ztm"); }, true},
      {"app origin app+", [] { return U::isAppOrigin("app+"); }, true},
      {"app origin apps", [] { return U::isAppOrigin("apps"); }, false},
      {"app origin ap", [] { return U::isAppOrigin("ap"); }, false},
      {"app origin xapp", [] { return U::isAppOrigin("xapp"); }, false},
      {"app origin empty", [] { return U::isAppOrigin(""); }, false},
      // Listener origins: three only.
      {"listener ziam", [] { return U::isListenerOriginAllowed("ziam"); }, true},
      {"listener crash", [] { return U::isListenerOriginAllowed("crash"); }, true},
      {"listener clx", [] { return U::isListenerOriginAllowed("clx"); }, true},
      {"listener zcm", [] { return U::isListenerOriginAllowed("zcm"); }, false},
      {"listener app", [] { return U::isListenerOriginAllowed("app"); }, false},
      {"listener empty", [] { return U::isListenerOriginAllowed(""); }, false},
      // Hidden events.
      {"hidden _xa", [] { return U::isEventNameAllowedForListeners("_xa"); }, false},
      {"hidden _exp_set", [] { return U::isEventNameAllowedForListeners("_exp_set"); }, false},
      {"hidden campaign_details",
       [] { return U::isEventNameAllowedForListeners("campaign_details"); }, false},
      {"hidden _ai", [] { return U::isEventNameAllowedForListeners("_ai"); }, false},
      {"shown _vs", [] { return U::isEventNameAllowedForListeners("_vs"); }, true},
      {"shown _e", [] { return U::isEventNameAllowedForListeners("_e"); }, true},
      {"shown _xaa", [] { return U::isEventNameAllowedForListeners("_xaa"); }, true},
      // The one event another origin's listener may see.
      {"_vs for clx", [] { return U::isEventNameAllowedForListenerOrigin("_vs", "clx"); }, true},
      {"_vs for ziam", [] { return U::isEventNameAllowedForListenerOrigin("_vs", "ziam"); }, false},
      {"_e for clx", [] { return U::isEventNameAllowedForListenerOrigin("_e", "clx"); }, false},
      // Events other components may log.
      {"log empty name", [] { return U::shouldLogEventWithName("", std::nullopt); }, false},
      {"log _e", [] { return U::shouldLogEventWithName("_e", std::nullopt); }, false},
      {"log _ep", [] { return U::shouldLogEventWithName("_ep", std::nullopt); }, true},
      {"log _s", [] { return U::shouldLogEventWithName("_s", std::nullopt); }, false},
      {"log _au", [] { return U::shouldLogEventWithName("_au", std::nullopt); }, false},
      {"log _f", [] { return U::shouldLogEventWithName("_f", std::nullopt); }, false},
      {"log _iap", [] { return U::shouldLogEventWithName("_iap", std::nullopt); }, false},
      {"log _cmp", [] { return U::shouldLogEventWithName("_cmp", std::nullopt); }, true},
      {"log with empty parameters", [] { return U::shouldLogEventWithName("x", ValueMap{}); },
       true},
      {"log with _dbg false",
       [] {
         return U::shouldLogEventWithName("x", ValueMap{{Value("_dbg"), Value(false)}});
       },
       false},
      {"log with _r 0",
       [] {
         return U::shouldLogEventWithName("x", ValueMap{{Value("_r"), Value(0)}});
       },
       false},
      {"log with _rr",
       [] {
         return U::shouldLogEventWithName("x", ValueMap{{Value("_rr"), Value(1)}});
       },
       true},
      {"log with _dbg among others",
       [] {
         return U::shouldLogEventWithName(
             "x", ValueMap{{Value("a"), Value(1)}, {Value("_dbg"), Value()}});
       },
       false},
      // User properties other components may set.
      {"property empty", [] { return U::isUserPropertyAllowed("", "zcm"); }, false},
      {"property _ln from zcm", [] { return U::isUserPropertyAllowed("_ln", "zcm"); }, true},
      {"property _ln from ziam", [] { return U::isUserPropertyAllowed("_ln", "ziam"); }, true},
      {"property _ln from clx", [] { return U::isUserPropertyAllowed("_ln", "clx"); }, false},
      {"property _ln from app", [] { return U::isUserPropertyAllowed("_ln", "app"); }, false},
      {"property _id from zcm", [] { return U::isUserPropertyAllowed("_id", "zcm"); }, false},
      {"property _id from ziam", [] { return U::isUserPropertyAllowed("_id", "ziam"); }, false},
      {"property _id from crash", [] { return U::isUserPropertyAllowed("_id", "crash"); }, false},
      {"property _fot", [] { return U::isUserPropertyAllowed("_fot", "zcm"); }, false},
      {"property _sid", [] { return U::isUserPropertyAllowed("_sid", "zcm"); }, false},
      {"property _sno", [] { return U::isUserPropertyAllowed("_sno", "zcm"); }, false},
      {"property _lte", [] { return U::isUserPropertyAllowed("_lte", "zcm"); }, false},
      {"property _fi", [] { return U::isUserPropertyAllowed("_fi", "zcm"); }, false},
      {"property _ltv_EUR", [] { return U::isUserPropertyAllowed("_ltv_EUR", "zcm"); }, false},
      {"property _ltv_eur", [] { return U::isUserPropertyAllowed("_ltv_eur", "zcm"); }, true},
      {"property _ltv_EURO", [] { return U::isUserPropertyAllowed("_ltv_EURO", "zcm"); }, true},
      {"property _ltv_EU", [] { return U::isUserPropertyAllowed("_ltv_EU", "zcm"); }, true},
      {"property x_ltv_EUR", [] { return U::isUserPropertyAllowed("x_ltv_EUR", "zcm"); }, true},
      {"property _cc1", [] { return U::isUserPropertyAllowed("_cc1", "zcm"); }, false},
      {"property _cc5", [] { return U::isUserPropertyAllowed("_cc5", "zcm"); }, false},
      {"property _cc6", [] { return U::isUserPropertyAllowed("_cc6", "zcm"); }, true},
      {"property _cc0", [] { return U::isUserPropertyAllowed("_cc0", "zcm"); }, true},
      {"property _cc11", [] { return U::isUserPropertyAllowed("_cc11", "zcm"); }, true},
      {"property _cc", [] { return U::isUserPropertyAllowed("_cc", "zcm"); }, true},
      {"property other underscore", [] { return U::isUserPropertyAllowed("_xyz", "clx"); }, true},
      {"property plain", [] { return U::isUserPropertyAllowed("colour", "clx"); }, true},
      // User properties other components may read.
      {"query _fot", [] { return U::isUserPropertyAllowedForQuery("_fot"); }, true},
      {"query _sid", [] { return U::isUserPropertyAllowedForQuery("_sid"); }, false},
      {"query _ln", [] { return U::isUserPropertyAllowedForQuery("_ln"); }, false},
      {"query _", [] { return U::isUserPropertyAllowedForQuery("_"); }, false},
      {"query empty", [] { return U::isUserPropertyAllowedForQuery(""); }, false},
      {"query plain", [] { return U::isUserPropertyAllowedForQuery("colour"); }, true},
      {"query inner underscore", [] { return U::isUserPropertyAllowedForQuery("a_b"); }, true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(c.ask(), c.expected) << c.rule;
}

TEST(FIRConnectorUtilsTest, TablesHoldTheirMembersOnly) {
  EXPECT_EQ(U::allowedListenerOrigins(), (U::Names{"ziam", "crash", "clx"}));
  EXPECT_EQ(U::blocklistedOrigins(), (U::Names{"auto", "app", "am"}));
  EXPECT_EQ(U::blocklistedEventNames(), (U::Names{"_au", "_e", "_f", "_iap", "_s"}));
  EXPECT_EQ(U::blocklistedParameters(), (U::Names{"_r", "_dbg"}));
  EXPECT_EQ(U::blocklistedUserProperties(),
            (U::Names{"_sno", "_sid", "_lte", "_fot", "_ln", "_id", "_fi"}));
  ASSERT_EQ(U::blocklistedUserPropertyPatterns().size(), 2u);
  EXPECT_EQ(U::blocklistedUserPropertyPatterns()[0]->pattern(), "^_ltv_[A-Z]{3}$");
  EXPECT_EQ(U::blocklistedUserPropertyPatterns()[1]->pattern(), "^_cc[1-5]{1}$");
  EXPECT_EQ(U::hiddenEventNames().size(), 14u);
}

}  // namespace
