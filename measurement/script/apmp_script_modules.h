// The modules the remote configuration hands to each editing object, as script values: the
// settings store ("internal.remoteConfig" with "getValue"), the app metadata provider
// ("internal.appMetadata") and the logger ("internal.logger" with "log", "silent" and
// "unmonitored"). `APMPScriptModuleFromModule` turns the event model's description of a module
// into its script value.
//
// All of these are untracked natives, kept alive by the cache of "require" (which the global
// scope holds, so they are reached by every collection). Used on the runtime's thread.
#pragma once

#include <memory>
#include <string>

#include "measurement/model/apmp_event_editing.h"
#include "measurement/script/apmp_function_value.h"

inline constexpr std::u16string_view APMPEModuleRemoteConfig = u"internal.remoteConfig";
inline constexpr std::u16string_view APMPEModuleAppMetadata = u"internal.appMetadata";
inline constexpr std::u16string_view APMPEModuleLogger = u"internal.logger";

// "getValue" (key, default): the setting's text, or the default as passed when there is none.
class APMPKeyValueStoreGetValue final : public APMPFunctionValue {
 public:
  explicit APMPKeyValueStoreGetValue(APMPKeyValueStoreModule::GetValueBlock block);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                   APMPContext& ctx) override;

 private:
  APMPKeyValueStoreModule::GetValueBlock getValueBlock_;
};

// A function value carrying "getValue"; calling it does nothing.
class APMPKeyValueStore final : public APMPFunctionValue {
 public:
  APMPKeyValueStore(std::u16string functionName, APMPKeyValueStoreModule::GetValueBlock block);
  APMPValueRef invokeWithArguments(const APMPValueList&, APMPScope&, APMPContext&) override {
    return APMPUndefined();
  }
};

// "log": (message) at level 4, or (level, message, up to three context texts).
class APMPFunctionLog final : public APMPFunctionValue {
 public:
  APMPFunctionLog(std::shared_ptr<APMPLoggerDelegate> logger, bool silent, bool monitored);
  APMPValueRef invokeWithArguments(const APMPValueList& arguments, APMPScope& scope,
                                   APMPContext& ctx) override;

 private:
  bool silent_;
  bool monitored_;
  std::shared_ptr<APMPLoggerDelegate> logger_;
};

// "silent" and "unmonitored": each carries its own "log"; calling one returns itself.
class APMPFunctionLogSilent final : public APMPFunctionValue {
 public:
  explicit APMPFunctionLogSilent(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPValueRef invokeWithArguments(const APMPValueList&, APMPScope&, APMPContext&) override {
    return APMPValueRef(this);
  }
};

class APMPFunctionLogUnmonitored final : public APMPFunctionValue {
 public:
  explicit APMPFunctionLogUnmonitored(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPValueRef invokeWithArguments(const APMPValueList&, APMPScope&, APMPContext&) override {
    return APMPValueRef(this);
  }
};

// "internal.logger": "log", "silent" and "unmonitored" over one logger; calling it does nothing.
class APMPMessageLogger final : public APMPFunctionValue {
 public:
  explicit APMPMessageLogger(std::shared_ptr<APMPLoggerDelegate> logger);
  APMPValueRef invokeWithArguments(const APMPValueList&, APMPScope&, APMPContext&) override {
    return APMPUndefined();
  }
};

// The script value of a module description; none for an unknown kind or none given.
APMPValueRef APMPScriptModuleFromModule(const std::shared_ptr<APMPModule>& module);
