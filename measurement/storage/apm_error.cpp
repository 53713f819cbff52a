#include "measurement/storage/apm_error.h"

platform::ErrorPtr apm_errorWithCode(std::int64_t code, std::string_view description,
                                     std::string_view monitorContext) {
  platform::ValueMap userInfo;
  if (!description.empty())
    userInfo[platform::Value(platform::kLocalizedDescriptionKey)] = description;
  if (!monitorContext.empty()) userInfo[platform::Value(APMMonitorContextKey)] = monitorContext;
  return platform::Error::make(APMErrorDomain, code, std::move(userInfo));
}

void APMSetErrorWithMonitorContext(platform::ErrorPtr* error, std::int64_t code,
                                   std::string_view description, std::string_view monitorContext) {
  if (error) *error = apm_errorWithCode(code, description, monitorContext);
}

void APMSetError(platform::ErrorPtr* error, std::int64_t code, std::string_view description) {
  APMSetErrorWithMonitorContext(error, code, description, {});
}

bool APMAssertTrue(bool condition, platform::ErrorPtr* error, std::int64_t code,
                   std::string_view description) {
  if (!condition) APMSetError(error, code, description);
  return condition;
}

bool APMAssertNotNil(const platform::Value& value, platform::ErrorPtr* error, std::int64_t code,
                     std::string_view description) {
  return APMAssertTrue(!value.isNull(), error, code, description);
}

bool APMAssertNotNull(const void* pointer, platform::ErrorPtr* error, std::int64_t code,
                      std::string_view description) {
  return APMAssertTrue(pointer != nullptr, error, code, description);
}

bool APMAssertNotZero(std::uint64_t count, platform::ErrorPtr* error, std::int64_t code,
                      std::string_view description) {
  return APMAssertTrue(count != 0, error, code, description);
}

std::string APMMonitorContextString(const platform::ValueList& contexts) {
  std::string joined;
  for (const auto& context : contexts) {
    const platform::ErrorPtr* error = context.ifError();
    if (!error || !*error || (*error)->domain != APMErrorDomain) continue;
    const auto entry = (*error)->userInfo.find(platform::Value(APMMonitorContextKey));
    const std::string* text =
        entry == (*error)->userInfo.end() ? nullptr : entry->second.ifString();
    if (!text || text->empty()) continue;
    if (!joined.empty()) joined += ',';
    joined += *text;
  }
  return joined;
}
