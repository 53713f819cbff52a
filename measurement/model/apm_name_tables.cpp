#include "measurement/model/apm_name_tables.h"

#include <algorithm>
#include <array>

#include "measurement/model/apm_event.h"
#include "measurement/storage/apm_monitor.h"

APMNameTable::APMNameTable(std::vector<std::pair<std::string, std::string>> entries)
    : entries_(std::move(entries)) {
  // The first entry under a key wins, so an inverse table keeps the first public name.
  for (const auto& [key, value] : entries_)
    byKey_.emplace(key, value);
}

const std::string* APMNameTable::find(std::string_view key) const {
  const auto found = byKey_.find(key);
  return found == byKey_.end() ? nullptr : &found->second;
}

const APMNameTable& APMInternalEventNames() {
  static const APMNameTable table({
      {"adunit_exposure", "_xu"},
      {"ad_activeview", "_aa"},
      {"ad_click", "_ac"},
      {"ad_exposure", "_xa"},
      {"ad_impression", "_ai"},
      {"ad_query", "_aq"},
      {"ad_reward", "_ar"},
      {"app_clear_data", "_cd"},
      {"app_exception", "_ae"},
      {"app_remove", "_ui"},
      {"app_store_refund", "_asr"},
      {"app_store_subscription_cancel", "_asse"},
      {"app_store_subscription_convert", "_assc"},
      {"app_store_subscription_renew", "_assr"},
      {"app_update", "_au"},
      {"app_upgrade", "_ug"},
      {"error", "_err"},
      {"zevevidi_campaign", "_cmp"},
      {"first_open", "_f"},
      {"first_visit", "_v"},
      {"za_campaign", "_cmp"},
      {"za_extra_parameter", "_ep"},
      {"in_app_purchase", "_iap"},
      {"notification_dismiss", "_nd"},
      {"notification_foreground", "_nf"},
      {"notification_open", "_no"},
      {"notification_receive", "_nr"},
      {"os_update", "_ou"},
      {"screen_view", "_vs"},
      {"session_start", "_s"},
      {"session_start_with_rollout", "_ssr"},
      {"user_engagement", "_e"},
  });
  return table;
}

const APMNameTable& APMExternalEventNames() {
  static const APMNameTable table([] {
    std::vector<std::pair<std::string, std::string>> inverse;
    for (const auto& [publicName, internalName] : APMInternalEventNames().entries())
      inverse.emplace_back(internalName, publicName);
    return inverse;
  }());
  return table;
}

const APMNameTable& APMInternalEventNamesByPublicEventNames() {
  static const APMNameTable table(
      std::vector<std::pair<std::string, std::string>>{{"ad_impression", "_ai"}});
  return table;
}

const APMNameTable& APMInternalUserPropertyNames() {
  static const APMNameTable table({
      {"zevevidi_last_notification", "_ln"},
      {"first_open_after_install", "_fi"},
      {"first_open_time", "_fot"},
      {"za_session_id", "_sid"},
      {"za_session_number", "_sno"},
      {"last_advertising_id_reset", "_lair"},
      {"last_deep_link_referrer", "_ldl"},
      {"lifetime_user_engagement", "_lte"},
      {"session_user_engagement", "_se"},
      {"user_id", "_id"},
  });
  return table;
}

const APMNameTable& APMInternalParameterNames() {
  static const APMNameTable table({
      {"ad_event_id", "_aeid"},
      {"ad_unit_id", "_ai"},
      {"app_in_background", "_aib"},
      {"customer_type", "_ct"},
      {"deferred_analytics_collection", "_dac"},
      {"engagement_time_msec", "_et"},
      {"exposure_time", "_xt"},
      {"zevevidi_conversion", "_c"},
      {"zevevidi_debug", "_dbg"},
      {"zevevidi_error", "_err"},
      {"zevevidi_error_length", "_el"},
      {"zevevidi_error_value", "_ev"},
      {"zevevidi_event_origin", "_o"},
      {"zevevidi_feature_rollouts", "_ffr"},
      {"zevevidi_previous_class", "_pc"},
      {"zevevidi_previous_id", "_pi"},
      {"zevevidi_previous_screen", "_pn"},
      {"zevevidi_realtime", "_r"},
      {"zevevidi_screen", "_sn"},
      {"zevevidi_screen_class", "_sc"},
      {"zevevidi_screen_id", "_si"},
      {"za_conversion", "_c"},
      {"za_debug", "_dbg"},
      {"za_dedupe_id", "_did"},
      {"za_error", "_err"},
      {"za_error_length", "_el"},
      {"za_error_value", "_ev"},
      {"za_event_id", "_eid"},
      {"za_event_name", "_en"},
      {"za_event_origin", "_o"},
      {"za_extra_params_ct", "_epc"},
      {"za_group_name", "_gn"},
      {"za_index", "_i"},
      {"za_list_length", "_ll"},
      {"za_previous_class", "_pc"},
      {"za_previous_id", "_pi"},
      {"za_previous_screen", "_pn"},
      {"za_realtime", "_r"},
      {"za_screen", "_sn"},
      {"za_screen_class", "_sc"},
      {"za_screen_id", "_si"},
      {"message_id", "_nmid"},
      {"message_name", "_nmn"},
      {"message_time", "_nmt"},
      {"message_tracking_id", "_nmtid"},
      {"message_type", "_nmc"},
      {"message_device_time", "_ndt"},
      {"previous_app_version", "_pv"},
      {"previous_first_open_count", "_pfo"},
      {"previous_duz_app_id", "_pduz"},
      {"previous_os_version", "_po"},
      {"session_id", "_sid"},
      {"session_number", "_sno"},
      {"topic", "_nt"},
      {"update_with_analytics", "_uwa"},
  });
  return table;
}

const char* APMErrorEventCodeName(std::int64_t code) {
  static constexpr std::array<const char*, 29> names{
      "NoError",
      "InvalidDUZAppID",
      "InvalidEventName",
      "InvalidParameterName",
      "InvalidParameterValue",
      "ParameterLimitReached",
      "InvalidUserPropertyName",
      "UserPropertyValueTooLong",
      "EventLimitReached",
      "UserPropertyLimitReached",
      "ConversionEventLimitReached",
      "EventIsBlocked",
      "UserPropertyIsBlocked",
      "EventNameIsReserved",
      "ParameterNameIsReserved",
      "UserPropertyNameIsReserved",
      "PublicEventLimitReached",
      "TooManyExtraParamEvents",
      "ValueIsNotNumeric",
      "CurrencyCodeIsMissingOrInvalid",
      "InvalidArrayParamName",
      "InvalidArrayParamEventName",
      "InvalidArrayParamNesting",
      "CustomParamsInArrayElement",
      nullptr,
      nullptr,
      nullptr,
      nullptr,
      "ItemScopedCustomParameterLimitReached",
  };
  if (code < 0 || code >= static_cast<std::int64_t>(names.size())) return nullptr;
  return names[static_cast<std::size_t>(code)];
}

namespace {

bool isOneOf(std::string_view name, std::initializer_list<std::string_view> names) {
  return std::find(names.begin(), names.end(), name) != names.end();
}

}  // namespace

bool APMEventUtilIsPublicName(std::string_view name) {
  if (name.empty()) {
    APMProcessMonitor()->logWithLevel(2, 18003, "Cannot check the name. Name is empty");
    return false;
  }
  return name.front() != '_';
}

bool APMEventUtilIsErrorEvent(const APMEvent& event) {
  if (event.name().empty()) {
    APMProcessMonitor()->logWithLevel(2, 18004, "Cannot check the event name. Name is empty");
    return false;
  }
  return event.name() == "_err";
}

bool APMEventUtilIsSubscriptionEvent(const APMEvent& event) {
  const std::string& name = event.name();
  if (name == "_assc" || name == "_assr") return true;
  if (name != "_iap") return false;
  const auto subscription = event.parameter("subscription");
  return subscription && subscription->int64Value() == 1;
}

bool APMEventUtilIsValidEcommerceEventName(std::string_view name) {
  return isOneOf(name, {"add_payment_info",
                        "add_shipping_info",
                        "add_to_cart",
                        "add_to_wishlist",
                        "begin_checkout",
                        "purchase",
                        "refund",
                        "remove_from_cart",
                        "select_item",
                        "select_promotion",
                        "view_cart",
                        "view_item",
                        "view_item_list",
                        "view_promotion",
                        "ecommerce_purchase",
                        "checkout_progress",
                        "purchase_refund",
                        "select_content",
                        "set_checkout_option",
                        "view_search_results"});
}

bool APMEventUtilIsPredefinedEcommerceItemsParam(std::string_view name) {
  return isOneOf(name, {"affiliation",     "coupon",         "creative_name",
                        "creative_slot",   "currency",       "discount",
                        "index",           "item_id",        "item_brand",
                        "item_category",   "item_category2", "item_category3",
                        "item_category4",  "item_category5", "item_list_name",
                        "item_list_id",    "item_name",      "item_variant",
                        "location_id",     "payment_type",   "price",
                        "promotion_id",    "promotion_name", "quantity",
                        "shipping",        "shipping_tier",  "tax",
                        "transaction_id",  "value",          "checkout_step",
                        "checkout_option", "item_list",      "item_location_id"});
}

bool APMEventUtilIsConversionEventName(std::string_view name) {
  return isOneOf(name, {"ecommerce_purchase", "_f", "_iap", "purchase", "refund"});
}

bool APMIsPurchaseEventName(std::string_view name) {
  return isOneOf(name, {"_iap", "purchase", "ecommerce_purchase"});
}

bool APMEventAllowsDefaultEventParameters(std::string_view eventName) {
  return eventName != "_err";
}

std::int64_t APMEventUtilNestedParamCount(const APMEvent* event) {
  if (!event) return 0;
  std::int64_t count = 0;
  for (const auto& [name, value] : event->parameters()) {
    if (const auto* items = value.ifList()) count += static_cast<std::int64_t>(items->size());
  }
  return count;
}
