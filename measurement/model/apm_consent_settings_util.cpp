#include "measurement/model/apm_consent_settings_util.h"

#include <functional>
#include <map>

#include "platform/foundation/bundle.h"
#include "platform/foundation/preferences.h"

using platform::Value;
using platform::ValueList;
using platform::ValueMap;

const char* const APMConsentTypeAdStorage = "ad_storage";
const char* const APMConsentTypeAdUserData = "ad_user_data";
const char* const APMConsentTypeAdPersonalization = "ad_personalization";
const char* const APMConsentStatusGranted = "granted";
const char* const APMConsentStatusDenied = "denied";
const char* const APMAdStoragePlistKey = "ZIRIZA_ANALYTICS_DEFAULT_ALLOW_AD_STORAGE";
const char* const APMAnalyticsStoragePlistKey = "ZIRIZA_ANALYTICS_DEFAULT_ALLOW_ANALYTICS_STORAGE";
const char* const APMAdUserDataPlistKey = "ZIRIZA_ANALYTICS_DEFAULT_ALLOW_AD_USER_DATA";
const char* const APMAllowAdPersonalizationSignalsPlistKey =
    "ZIRIZA_ANALYTICS_DEFAULT_ALLOW_AD_PERSONALIZATION_SIGNALS";

namespace {

const char* const kAnalyticsStorage = "analytics_storage";
const char* const kRegionalPolicy = "eu_consent_policy";
const char* const kTypes[] = {APMConsentTypeAdStorage, kAnalyticsStorage, APMConsentTypeAdUserData,
                              APMConsentTypeAdPersonalization};

std::string asciiLower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

bool isRegionalType(const std::string& type) {
  return type == APMConsentTypeAdUserData || type == APMConsentTypeAdPersonalization;
}

// What the store holds; touched only on its queue.
struct ConsentState {
  std::optional<ValueMap> current;
  std::int64_t source = APMConsentSourceNone;
  std::optional<ValueMap> defaults;
  std::optional<ValueMap> delegated;
  std::optional<ValueMap> regional;
  std::optional<std::map<std::string, int>> diagnostics;
  std::int64_t version = 1;
};

ConsentState& state() {
  // Never destroyed: queue blocks may still run while the process exits.
  static auto* s = new ConsentState;
  return *s;
}

// Runs `block` on the store's queue and waits for it (in place when already there).
template <class F> auto onQueue(F block) -> decltype(block()) {
  const platform::QueuePtr queue = APMConsentSettingsUtil::serialQueue();
  if (queue->isCurrent()) return block();
  std::optional<decltype(block())> result;
  queue->sync([&] { result.emplace(block()); });
  return std::move(*result);
}

// Moved by every block that may change the state (each one run through onQueueVoid() or
// later()), on the queue only: answers worked out from the state are kept while it holds.
std::uint64_t gStateChanges = 0;

void onQueueVoid(const std::function<void()>& block) {
  const platform::QueuePtr queue = APMConsentSettingsUtil::serialQueue();
  const auto changing = [&block] {
    ++gStateChanges;
    block();
  };
  if (queue->isCurrent())
    changing();
  else
    queue->sync(changing);
}

void later(platform::Task block) {
  APMConsentSettingsUtil::serialQueue()->async([block = std::move(block)] {
    ++gStateChanges;
    block();
  });
}

Value lookup(const std::optional<ValueMap>& map, const std::string& key) {
  if (!map) return Value();
  auto it = map->find(Value(key));
  return it == map->end() ? Value() : it->second;
}

// The regional default of `type`: the configured one, else denied for the two regional types and
// granted for the others.
Value regionalStatus(const std::string& type) {
  Value configured = lookup(state().regional, type);
  if (!configured.isNull()) return configured;
  return Value(isRegionalType(type) ? APMConsentStatusDenied : APMConsentStatusGranted);
}

// The current value of `type` with the regional rule applied.
Value effectiveCurrent(const std::string& type) {
  Value value = lookup(state().current, type);
  if (APMShouldApplyRegionalConsent(type, value)) return regionalStatus(type);
  return value;
}

std::map<std::string, int>& diagnosticTable() {
  auto& table = state().diagnostics;
  if (!table)
    table.emplace(
        std::map<std::string, int>{{kTypes[0], 0}, {kTypes[1], 0}, {kTypes[2], 0}, {kTypes[3], 0}});
  return *table;
}

void refreshDiagnostics(bool fromSource) {
  ConsentState& s = state();
  std::map<std::string, int>& table = diagnosticTable();
  for (const char* type : kTypes) {
    const int old = table[type];
    const Value current = lookup(s.current, type);
    int digit;
    if (!current.isNull()) {
      digit = fromSource ? APMConsentDiagnosticSourceForConsentSource(s.source) : old;
      if (APMShouldApplyRegionalConsent(type, current)) digit = APMConsentDiagnosticRegional;
    } else if (std::string(type) == APMConsentTypeAdUserData &&
               !lookup(s.delegated, type).isNull()) {
      digit = APMConsentDiagnosticDelegated;
    } else if (!lookup(s.defaults, type).isNull() && !std::string(type).ends_with("_storage")) {
      digit = APMConsentDiagnosticDefault;
    } else {
      digit = APMConsentDiagnosticUnset;
    }
    table[type] = digit;
  }
}

std::string shownText(const Value& value) {
  if (const auto* s = value.ifString()) return *s;
  if (const auto* i = value.ifInt()) return std::to_string(*i);
  if (const auto* b = value.ifBool()) return *b ? "1" : "0";
  return "";
}

// The status as the description shows it.
std::string shownStatus(const std::string& type) {
  const Value value = lookup(state().current, type);
  if (APMShouldApplyRegionalConsent(type, value))
    return shownText(regionalStatus(type)) + " (" + kRegionalPolicy + ")";
  return shownText(value);
}

char signalBit(const std::string& type) {
  const Value value = lookup(state().current, type);
  if (APMIsConsentSettingEqualToValue(value, APMConsentStatusDenied)) return '0';
  if (APMIsConsentSettingEqualToValue(value, APMConsentStatusGranted)) return '1';
  return '-';
}

}  // namespace

std::string APMConsentTypeStringFromEnum(int type) {
  return type >= 1 && type <= 4 ? kTypes[type - 1] : "";
}

std::string APMConsentStatusStringFromEnum(int status) {
  if (status == static_cast<int>(APMConsentStatus::Granted)) return APMConsentStatusGranted;
  if (status == static_cast<int>(APMConsentStatus::Denied)) return APMConsentStatusDenied;
  return "";
}

const ValueList& APMAllConsentTypes() {
  static const auto* types =
      new ValueList{Value(kTypes[0]), Value(kTypes[1]), Value(kTypes[2]), Value(kTypes[3])};
  return *types;
}

bool APMIsConsentSettingEqualToValue(const Value& stored, const std::string& status) {
  const auto* text = stored.ifString();
  return text && asciiLower(*text) == status;
}

bool APMShouldApplyRegionalConsent(const std::string& type, const Value& value) {
  return isRegionalType(type) && APMIsConsentSettingEqualToValue(value, kRegionalPolicy);
}

int APMConsentDiagnosticSourceForConsentSource(std::int64_t source) {
  switch (source) {
  case APMConsentSourceTCF:
    return APMConsentDiagnosticTCF;
  case APMConsentSourceThirdParty:
  case APMConsentSourceApplication:
    return APMConsentDiagnosticApplicationOrThirdParty;
  case APMConsentSourcePlist:
    return APMConsentDiagnosticPlist;
  case APMConsentSourceOnStart:
    return APMConsentDiagnosticOnStart;
  default:
    return APMConsentDiagnosticReset;
  }
}

std::optional<std::string> APMConsentStatusFromPlistValue(const std::string& type,
                                                          const Value& value) {
  if (APMIsConsentSettingEqualToValue(value, kRegionalPolicy)) {
    if (isRegionalType(type)) return std::string(kRegionalPolicy);
    return std::nullopt;
  }
  std::optional<bool> reading;
  if (const auto* b = value.ifBool())
    reading = *b;
  else if (const auto* i = value.ifInt())
    reading = *i != 0;
  else if (const auto* d = value.ifDouble())
    reading = *d != 0;
  else if (const auto* s = value.ifString())
    reading = platform::stringBoolValue(*s);
  if (!reading) return std::nullopt;
  return std::string(*reading ? APMConsentStatusGranted : APMConsentStatusDenied);
}

platform::QueuePtr APMConsentSettingsUtil::serialQueue() {
  static const auto* queue =
      new platform::QueuePtr(platform::makeSerialQueue("APMConsentSettingsUtilQueue"));
  return *queue;
}

std::optional<ValueMap> APMConsentSettingsUtil::consentSettings() {
  return onQueue([] { return state().current; });
}
std::optional<ValueMap> APMConsentSettingsUtil::defaultSettings() {
  return onQueue([] { return state().defaults; });
}
std::optional<ValueMap> APMConsentSettingsUtil::delegatedSettings() {
  return onQueue([] { return state().delegated; });
}
std::optional<ValueMap> APMConsentSettingsUtil::regionalDefaults() {
  return onQueue([] { return state().regional; });
}

std::int64_t APMConsentSettingsUtil::consentSource() {
  return onQueue([] { return state().source; });
}

void APMConsentSettingsUtil::setConsentSource(std::int64_t source) {
  later([source] {
    state().source = source;
    refreshDiagnostics(true);
  });
}

std::int64_t APMConsentSettingsUtil::version() {
  return onQueue([] { return state().version; });
}

void APMConsentSettingsUtil::setVersion(std::int64_t version) {
  if (version != 1 && version != 2) return;
  later([version] { state().version = version; });
}

void APMConsentSettingsUtil::setConsentSettings(std::optional<ValueMap> settings) {
  later([settings = std::move(settings)] {
    state().current = settings;
    if (!settings) {
      state().source = APMConsentSourceNone;
      refreshDiagnostics(true);
    }
  });
}

void APMConsentSettingsUtil::setDefaultSettings(std::optional<ValueMap> settings) {
  later([settings = std::move(settings)] { state().defaults = settings; });
}
void APMConsentSettingsUtil::setDelegatedSettings(std::optional<ValueMap> settings) {
  later([settings = std::move(settings)] { state().delegated = settings; });
}
void APMConsentSettingsUtil::setRegionalDefaults(std::optional<ValueMap> settings) {
  later([settings = std::move(settings)] { state().regional = settings; });
}

void APMConsentSettingsUtil::updateSettings(const ValueMap& settings) {
  later([settings] {
    ValueMap merged = state().current.value_or(ValueMap{});
    for (const auto& [key, value] : settings)
      merged[key] = value;
    state().current = std::move(merged);
  });
}

void APMConsentSettingsUtil::updateSettings(const ValueMap& settings, std::int64_t source) {
  later([settings, source] {
    ConsentState& s = state();
    ValueMap merged = s.current.value_or(ValueMap{});
    for (const auto& [key, value] : settings)
      merged[key] = value;
    s.current = std::move(merged);
    s.source = source;
    if (!s.diagnostics) return;
    const int digit = APMConsentDiagnosticSourceForConsentSource(source);
    for (const auto& [key, value] : settings)
      if (const auto* type = key.ifString()) (*s.diagnostics)[*type] = digit;
  });
}

bool APMConsentSettingsUtil::isAdStorageDenied() {
  return onQueue([] {
    return APMIsConsentSettingEqualToValue(lookup(state().current, APMConsentTypeAdStorage),
                                           APMConsentStatusDenied);
  });
}

bool APMConsentSettingsUtil::isAnalyticsStorageDenied() {
  return onQueue([] {
    return APMIsConsentSettingEqualToValue(lookup(state().current, kAnalyticsStorage),
                                           APMConsentStatusDenied);
  });
}

bool APMConsentSettingsUtil::isAdUserDataDenied() {
  return onQueue([] {
    ConsentState& s = state();
    Value value = effectiveCurrent(APMConsentTypeAdUserData);
    if (value.isNull()) {
      const Value delegate = lookup(s.delegated, APMConsentTypeAdUserData);
      if (const auto* other = delegate.ifString()) {
        const Value followed = lookup(s.current, *other);
        if (!followed.isNull())
          return APMIsConsentSettingEqualToValue(followed, APMConsentStatusDenied);
      }
      value = lookup(s.defaults, APMConsentTypeAdUserData);
    }
    return APMIsConsentSettingEqualToValue(value, APMConsentStatusDenied);
  });
}

std::optional<bool> APMConsentSettingsUtil::adPersonalization() {
  return onQueue([]() -> std::optional<bool> {
    Value value = effectiveCurrent(APMConsentTypeAdPersonalization);
    if (value.isNull()) value = lookup(state().defaults, APMConsentTypeAdPersonalization);
    if (APMIsConsentSettingEqualToValue(value, APMConsentStatusDenied)) return false;
    if (APMIsConsentSettingEqualToValue(value, APMConsentStatusGranted)) return true;
    return std::nullopt;
  });
}

bool APMConsentSettingsUtil::didAdUserDataConsentChange(bool previouslyDenied) {
  return isAdUserDataDenied() != previouslyDenied;
}

bool APMConsentSettingsUtil::isConsentSourceEqualPriority(std::int64_t source) {
  const std::int64_t current = consentSource();
  return source == current ||
         (source == APMConsentSourceTCF && current == APMConsentSourceThirdParty) ||
         (source == APMConsentSourceThirdParty && current == APMConsentSourceTCF);
}

bool APMConsentSettingsUtil::isConsentSourceHigherPriority(std::int64_t source) {
  return isConsentSourceEqualPriority(source) || consentSource() >= source;
}

ValueMap APMConsentSettingsUtil::consentSettingsFromDictionary(const ValueMap& dictionary) {
  ValueMap settings;
  for (const char* type : kTypes) {
    auto it = dictionary.find(Value(type));
    if (it != dictionary.end()) settings.emplace(it->first, it->second);
  }
  return settings;
}

ValueMap APMConsentSettingsUtil::consentSettingsFromPlist() {
  const auto bundle = platform::Bundle::main();
  ValueMap settings;
  if (!bundle) return settings;
  const std::pair<const char*, const char*> keys[] = {
      {APMAdStoragePlistKey, APMConsentTypeAdStorage},
      {APMAnalyticsStoragePlistKey, kAnalyticsStorage},
      {APMAdUserDataPlistKey, APMConsentTypeAdUserData},
      {APMAllowAdPersonalizationSignalsPlistKey, APMConsentTypeAdPersonalization},
  };
  for (const auto& [key, type] : keys) {
    const Value value = bundle->objectForInfoDictionaryKey(key);
    if (value.isNull()) continue;
    if (std::string(type) == APMConsentTypeAdPersonalization && !value.ifString()) continue;
    if (auto status = APMConsentStatusFromPlistValue(type, value))
      settings[Value(type)] = Value(*status);
  }
  return settings;
}

std::string APMConsentSettingsUtil::consentSignals() {
  return onQueue([] {
    return std::string("G1") + signalBit(APMConsentTypeAdStorage) + signalBit(kAnalyticsStorage);
  });
}

std::string APMConsentSettingsUtil::consentDiagnostics() {
  return onQueue([] {
    // Every stored event asks. The refresh below changes nothing a second time while the state
    // is unchanged, so the text stays what it was. Leaked: blocks may run while the process
    // exits.
    struct Answer {
      std::uint64_t changes = 0;
      std::optional<std::string> text;
    };
    static auto* answer = new Answer();
    if (answer->text && answer->changes == gStateChanges) return *answer->text;
    refreshDiagnostics(false);
    std::string text = "1";
    for (const char* type : kTypes)
      text += std::to_string(diagnosticTable()[type]);
    answer->changes = gStateChanges;
    answer->text = text;
    return text;
  });
}

void APMConsentSettingsUtil::setDiagnosticSource(int digit, const std::string& type) {
  later([digit, type] { diagnosticTable()[type] = digit; });
}

void APMConsentSettingsUtil::resetDiagnosticSources() {
  onQueueVoid([] {
    state().diagnostics.reset();
    diagnosticTable();
  });
}

void APMConsentSettingsUtil::refreshDiagnosticSources(bool fromSource) {
  onQueueVoid([fromSource] { refreshDiagnostics(fromSource); });
}

void APMConsentSettingsUtil::unsetAdPersonalization() {
  later([] {
    ConsentState& s = state();
    if (!s.current || !s.current->erase(Value(APMConsentTypeAdPersonalization))) return;
    diagnosticTable()[APMConsentTypeAdPersonalization] = APMConsentDiagnosticReset;
  });
}

std::string APMConsentSettingsUtil::description() {
  return onQueue([] {
    ConsentState& s = state();
    auto storage = [&](const char* type) {
      return lookup(s.current, type).isNull() ? std::string(APMConsentStatusGranted)
                                              : shownStatus(type);
    };
    std::string text = std::string(APMConsentTypeAdStorage) + " is " +
                       storage(APMConsentTypeAdStorage) + ". " + kAnalyticsStorage + " is " +
                       storage(kAnalyticsStorage) + ".";
    for (const char* type : {APMConsentTypeAdUserData, APMConsentTypeAdPersonalization}) {
      if (lookup(s.current, type).isNull()) continue;
      text += std::string(" ") + type + " is " + shownStatus(type) + ".";
    }
    return text;
  });
}

void APMConsentSettingsUtil::clearAllSettings() {
  later([] {
    ConsentState& s = state();
    s.source = APMConsentSourceNone;
    s.current.reset();
    s.defaults.reset();
    s.delegated.reset();
    s.regional.reset();
    s.diagnostics.reset();
    diagnosticTable();
  });
}

void APMConsentSettingsUtil::resetForTesting() {
  onQueueVoid([] { state() = ConsentState{}; });
}
