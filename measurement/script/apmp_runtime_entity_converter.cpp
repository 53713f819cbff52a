#include "measurement/script/apmp_runtime_entity_converter.h"

#include <cmath>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_object_manager.h"
#include "measurement/script/apmp_text.h"

namespace {

namespace field = apmpb_field::RuntimeEntity;

enum EntityType : int32_t { kString = 1, kNumber = 2, kBoolean = 3, kStatement = 4 };

// A record read through the typed accessors without copying it: the accessors take a message
// object, and this one only lends the record it was given.
class LentRecord final : public NANOMessageBase {
 public:
  explicit LentRecord(const MessageInfo& info) : info_(const_cast<MessageInfo*>(&info)) {}
  const char* messageID() const override { return info_->message_id(); }
  MessageInfo* messageInfo() const override { return info_; }
  std::optional<platform::Bytes> protoBuffer() const override { return std::nullopt; }

 private:
  MessageInfo* info_;
};

// The text of a string field: none when absent, and `ok` false when its bytes are not UTF-8.
std::optional<std::u16string> textField(const LentRecord& record, int32_t index, bool& ok) {
  ok = true;
  if (!NANOHasField(&record, index)) return std::nullopt;
  const std::optional<std::string> bytes = NANOGetString(&record, index);
  std::optional<std::u16string> text = bytes ? APMPUtf16FromUtf8(*bytes) : std::nullopt;
  if (!text) ok = false;
  return text;
}

}  // namespace

APMPValueRef APMPRuntimeEntityConverter::stringValueFromRuntimeEntity(const MessageInfo& entity,
                                                                      APMPContext& ctx) {
  const LentRecord record(entity);
  bool ok;
  std::optional<std::u16string> text = textField(record, field::kStringValue, ok);
  if (!ok) {
    ctx.fail(APMPErrorEntityType);
    return APMPUndefined();
  }
  return APMPStringValue::make(text ? std::move(*text) : std::u16string());
}

APMPValueRef APMPRuntimeEntityConverter::numberValueFromRuntimeEntity(const MessageInfo& entity) {
  const LentRecord record(entity);
  if (!NANOHasField(&record, field::kNumberValue)) return APMPNumberValue::make(std::nan(""));
  return APMPNumberValue::make(NANOGetDouble(&record, field::kNumberValue));
}

APMPValueRef APMPRuntimeEntityConverter::booleanValueFromRuntimeEntity(const MessageInfo& entity) {
  const LentRecord record(entity);
  return APMPBoolean(NANOGetBool(&record, field::kBooleanValue));
}

APMPValueRef APMPRuntimeEntityConverter::statementValueFromRuntimeEntity(const MessageInfo& entity,
                                                                         APMPContext& ctx) {
  const LentRecord record(entity);
  bool ok;
  std::optional<std::u16string> name = textField(record, field::kFunctionName, ok);
  if (!name) {
    ctx.fail(APMPErrorStatementName);
    return APMPUndefined();
  }
  APMPValueList operands;
  if (const ArrayInfo* children = entity.array(field::kValue)) {
    operands.reserve(children->messages.size());
    for (const auto& child : children->messages) {
      operands.push_back(runtimeValueFromRuntimeEntity(*child, ctx));
      if (ctx.failed()) return APMPUndefined();
    }
  }
  return APMPMake<APMPStatementValue>(std::move(*name), std::move(operands));
}

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromRuntimeEntity(const MessageInfo& entity,
                                                                       APMPContext& ctx) {
  // The codec refuses records nested deeper than 100 levels, so this recursion is bounded.
  const LentRecord record(entity);
  switch (NANOGetInt32(&record, field::kType)) {
  case kString:
    return stringValueFromRuntimeEntity(entity, ctx);
  case kNumber:
    return numberValueFromRuntimeEntity(entity);
  case kBoolean:
    return booleanValueFromRuntimeEntity(entity);
  case kStatement:
    return statementValueFromRuntimeEntity(entity, ctx);
  default:
    ctx.fail(APMPErrorEntityType);
    return APMPUndefined();
  }
}

APMPValueRef APMPRuntimeEntityConverter::runtimeValueFromNSObject(const platform::Value& object,
                                                                  APMPScope& scope,
                                                                  APMPContext& ctx) {
  APMPDepthGuard guard(ctx);
  if (!guard.ok() || !ctx.tick()) return APMPUndefined();
  switch (object.kind()) {
  case platform::ValueKind::Null:
    return APMPNull();
  case platform::ValueKind::Bool:
    return APMPBoolean(object.asBool());
  case platform::ValueKind::Int:
    return APMPNumberValue::make(static_cast<double>(object.asInt()));
  case platform::ValueKind::Double:
    return APMPNumberValue::make(object.asDouble());
  case platform::ValueKind::String: {
    std::optional<std::u16string> text = APMPUtf16FromUtf8(object.asString());
    if (!text) break;
    return APMPStringValue::make(std::move(*text), ctx);
  }
  case platform::ValueKind::Map: {
    auto map = APMPObjectManager::mapValueWithScope(scope, ctx);
    for (const auto& [key, value] : object.asMap()) {
      const std::string keyText = key.isString() ? key.asString() : key.debugString();
      std::optional<std::u16string> name = APMPUtf16FromUtf8(keyText);
      if (!name) {
        ctx.fail(APMPErrorPlatformObject);
        return APMPUndefined();
      }
      APMPValueRef converted = runtimeValueFromNSObject(value, scope, ctx);
      if (ctx.failed()) return APMPUndefined();
      map->setValue(std::move(converted), *name, ctx);
    }
    if (ctx.failed()) return APMPUndefined();
    return map;
  }
  case platform::ValueKind::List: {
    APMPValueList elements;
    for (const platform::Value& element : object.asList()) {
      elements.push_back(runtimeValueFromNSObject(element, scope, ctx));
      if (ctx.failed()) return APMPUndefined();
    }
    if (elements.size() > APMPMaxArrayLength) {
      ctx.fail(APMPErrorArrayLength);
      return APMPUndefined();
    }
    auto array = APMPObjectManager::arrayValueWithArray(std::move(elements), scope, ctx);
    if (ctx.failed()) return APMPUndefined();
    return array;
  }
  default:
    break;
  }
  ctx.fail(APMPErrorPlatformObject);
  return APMPUndefined();
}

namespace {

// A compound value already being converted out: a cycle, which no platform value can hold.
bool enterCompound(const APMPRuntimeValue& value, APMPContext& ctx) {
  if (ctx.isJoining(&value)) {
    ctx.fail(APMPErrorArgumentKind);
    return false;
  }
  ctx.pushJoining(&value);
  return true;
}

}  // namespace

std::optional<platform::Value>
APMPRuntimeEntityConverter::objectFromRuntimeValue(const APMPRuntimeValue& value,
                                                   APMPContext& ctx) {
  if (value.isNull()) return std::nullopt;
  if (value.isUndefined()) return platform::Value(std::string());
  APMPDepthGuard guard(ctx);
  if (!guard.ok() || !ctx.tick()) return std::nullopt;
  if (value.isMap()) {
    if (!enterCompound(value, ctx)) return platform::Value(platform::ValueMap{});
    platform::Value out(dictionaryFromMapValue(APMPAs<APMPMapValue>(value), ctx));
    ctx.popJoining();
    return out;
  }
  if (value.isArray()) {
    if (!enterCompound(value, ctx)) return platform::Value(platform::ValueList{});
    platform::ValueList list;
    for (const APMPValueRef& element : APMPAs<APMPArrayValue>(value).allElements()) {
      std::optional<platform::Value> converted = objectFromRuntimeValue(*element, ctx);
      if (ctx.failed()) break;
      if (converted) list.push_back(std::move(*converted));
    }
    ctx.popJoining();
    return platform::Value(std::move(list));
  }
  const double number = value.doubleValueOrError(ctx);
  if (ctx.failed()) return std::nullopt;
  if (!std::isnan(number)) return platform::Value(number);
  const std::u16string text = value.stringValueOrError(ctx);
  if (ctx.failed()) return std::nullopt;
  return platform::Value(APMPUtf8FromUtf16(text));
}

platform::ValueMap APMPRuntimeEntityConverter::dictionaryFromMapValue(const APMPMapValue& map,
                                                                      APMPContext& ctx) {
  // Collected, then made a map in one go: a program's map of many properties out of order must
  // not cost an insertion into the middle of the map per property.
  platform::ValueMap::container_type entries;
  map.properties().forEach([&](const std::u16string& name, const APMPValueRef& value) {
    if (ctx.failed()) return;
    std::optional<platform::Value> converted = objectFromRuntimeValue(*value, ctx);
    if (ctx.failed() || !converted) return;
    entries.emplace_back(APMPUtf8FromUtf16(name), std::move(*converted));
  });
  return platform::ValueMap::fromEntries(std::move(entries),
                                         platform::ValueMap::Repeated::KeepFirst);
}

std::vector<const MessageInfo*> APMPProgramInstructions(const APMPBProgram& program) {
  std::vector<const MessageInfo*> instructions;
  const MessageInfo* record = program.messageInfo();
  if (!record) return instructions;
  if (const ArrayInfo* list = record->array(apmpb_field::Program::kInstructions)) {
    for (const auto& entity : list->messages)
      instructions.push_back(entity.get());
  }
  return instructions;
}
