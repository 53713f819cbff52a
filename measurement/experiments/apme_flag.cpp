#include "measurement/experiments/apme_flag.h"

#include "measurement/experiments/apme_manager.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

namespace {

namespace field = apmpb_field::Flag;

// The kind of a value as a class name, for the diagnostics' contexts.
std::string kindName(const platform::Value& value) {
  if (value.isNull()) return "nil";
  if (value.isBool() || value.isInt() || value.isDouble()) return "NSNumber";
  if (value.isString()) return "NSString";
  if (value.isBytes()) return "NSData";
  if (value.isList()) return "NSArray";
  if (value.isMap()) return "NSDictionary";
  if (value.isDate()) return "NSDate";
  if (const auto object = value.ifObject(); object && *object) return (*object)->className();
  return "NSObject";
}

}  // namespace

std::shared_ptr<APMPBFlag> APMEFlagWithName(const platform::Value& name,
                                            const platform::Value& value) {
  const auto monitor = APMEManager::monitor();
  if (name.isNull()) {
    monitor->logWithLevel(1, 850000, "Flag name must not be nil");
    return nullptr;
  }
  const std::string* text = name.ifString();
  if (!text) {
    monitor->logWithLevel(1, 850001, "Flag name must be a string",
                          {platform::Value(kindName(name))});
    return nullptr;
  }
  if (!(value.isBool() || value.isInt() || value.isDouble() || value.isString())) {
    monitor->logWithLevel(1, 850002, "Flag value is invalid", {platform::Value(kindName(value))});
    return nullptr;
  }
  auto flag = APMPBFlag::initWithMessageInfo();
  if (!flag) return nullptr;
  NANOSetString(flag.get(), field::kName, *text);
  if (const std::string* string = value.ifString()) {
    NANOSetString(flag.get(), field::kStringValue, *string);
  } else if (value.isDouble()) {
    NANOSetDouble(flag.get(), field::kDoubleValue, value.asDouble());
  } else if (value.isBool()) {
    NANOSetInt64(flag.get(), field::kIntValue, value.asBool() ? 1 : 0);
  } else {
    NANOSetInt64(flag.get(), field::kIntValue, value.asInt());
  }
  return flag;
}

platform::Value APMEValueFromFlagProto(const APMPBFlag* flag) {
  if (!flag) return {};
  if (NANOHasField(flag, field::kIntValue)) {
    return platform::Value(static_cast<std::int64_t>(NANOGetInt64(flag, field::kIntValue)));
  }
  if (NANOHasField(flag, field::kDoubleValue))
    return platform::Value(NANOGetDouble(flag, field::kDoubleValue));
  if (NANOHasField(flag, field::kStringValue)) {
    if (auto text = NANOGetString(flag, field::kStringValue)) return platform::Value(*text);
  }
  if (NANOHasField(flag, field::kBoolValue))
    return platform::Value(NANOGetBool(flag, field::kBoolValue));
  return {};
}
