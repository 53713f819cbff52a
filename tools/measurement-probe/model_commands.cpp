#include "tools/measurement-probe/model_commands.h"

#include <memory>
#include <mutex>
#include <vector>

#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_event.h"
#include "measurement/model/apm_event_model_environment.h"
#include "measurement/model/apm_event_normalization.h"
#include "platform/core/base64.h"
#include "platform/foundation/class_registry.h"

namespace lumora::probe {

namespace {

// The internal events sent since the last command took them.
class InternalEventLog {
 public:
  void add(const std::string& origin, const std::string& name,
           const platform::ValueMap& parameters) {
    std::lock_guard lock(mutex_);
    events_.push_back(Json{{"origin", origin},
                           {"name", name},
                           {"parameters", jsonFromValue(platform::Value(parameters))}});
  }
  Json take() {
    std::lock_guard lock(mutex_);
    Json taken = Json::array();
    for (auto& event : events_)
      taken.push_back(std::move(event));
    events_.clear();
    return taken;
  }

 private:
  std::mutex mutex_;
  std::vector<Json> events_;
};

Json parametersWithKinds(const platform::ValueMap& parameters);

Json valueWithKind(const platform::Value& stored) {
  const auto value = APMValue::fromStored(stored);
  if (!value) return Json{{"kind", "unknown"}, {"value", jsonFromValue(stored)}};
  switch (value->valueType()) {
  case APMValueTypeDouble:
    return Json{{"kind", "double"}, {"value", value->doubleValue()}};
  case APMValueTypeInt64:
    return Json{{"kind", "int64"}, {"value", value->int64Value()}};
  case APMValueTypeString:
    return Json{{"kind", "string"}, {"value", *value->stringValue()}};
  case APMValueTypeArray: {
    Json items = Json::array();
    for (const auto& item : *value->arrayValue())
      items.push_back(item.isMap() ? parametersWithKinds(item.asMap()) : jsonFromValue(item));
    return Json{{"kind", "array"}, {"value", std::move(items)}};
  }
  }
  return Json(nullptr);
}

Json parametersWithKinds(const platform::ValueMap& parameters) {
  Json out = Json::object();
  for (const auto& [name, value] : parameters)
    out[name.isString() ? name.asString() : name.debugString()] = valueWithKind(value);
  return out;
}

}  // namespace

Json eventJson(const APMEvent& event) {
  Json out{{"origin", event.origin()},
           {"name", event.name()},
           {"timestamp", event.timestamp()},
           {"previousTimestamp", event.previousTimestamp()},
           {"parameters", parametersWithKinds(event.parameters())}};
  const auto bytes = event.protoEvent()->protoBuffer();
  out["bytes"] = bytes ? Json(platform::base64Encode(*bytes)) : Json(nullptr);
  return out;
}

namespace {

platform::ValueMap mapField(const Json& command, const char* name) {
  if (!command.contains(name)) return {};
  const platform::Value value = valueFromJson(command.at(name));
  if (!value.isMap()) throw ProbeInputError(std::string("\"") + name + "\" must be an object");
  return value.asMap();
}

using Formatter = std::string (*)(std::string_view);

ProbeSession::Command nameFormatter(Formatter format) {
  return [format](const Json& command) { return Json(format(stringField(command, "name"))); };
}

}  // namespace

void registerModelCommands(ProbeSession& session) {
  auto internalEvents = std::make_shared<InternalEventLog>();
  APMSetInternalEventSink([internalEvents](const std::string& origin, const std::string& name,
                                           const platform::ValueMap& parameters) {
    internalEvents->add(origin, name, parameters);
  });

  // {"op":"event","origin":"app","public":true,"name":"purchase","timestamp":1.5,
  //  "previousTimestamp":0,"parameters":{...}} -> the event (null when refused) and the error
  // events sent meanwhile.
  session.add("event", [internalEvents](const Json& command) {
    const auto event = APMEvent::initWithOrigin(
        stringField(command, "origin"), boolField(command, "public", false),
        stringField(command, "name"), numberField(command, "timestamp"),
        command.contains("previousTimestamp") ? numberField(command, "previousTimestamp") : 0.0,
        mapField(command, "parameters"));
    return Json{{"event", event ? eventJson(*event) : Json(nullptr)},
                {"errorEvents", internalEvents->take()}};
  });
  // {"op":"decodeEvent","bytes":"<base64>"} -> the event the wire bytes give, or null.
  session.add("decodeEvent", [](const Json& command) {
    const auto bytes = platform::base64Decode(stringField(command, "bytes"));
    if (!bytes) throw ProbeInputError("\"bytes\" must be base64");
    const auto proto = APMPBEvent::initWithBuffer(*bytes);
    if (!proto) throw ProbeInputError("\"bytes\" are not an Event message");
    const auto event = APMEvent::initWithEventProto(*proto);
    return event ? eventJson(*event) : Json(nullptr);
  });
  // {"op":"errorEvent","code":4,"value":"name","maxLength":40,"subject":"..."}
  session.add("errorEvent", [internalEvents](const Json& command) {
    const platform::Value value =
        command.contains("value") ? valueFromJson(command.at("value")) : platform::Value();
    const platform::Value subject =
        command.contains("subject") ? valueFromJson(command.at("subject")) : platform::Value();
    APMLogErrorEventWithParameters(integerField(command, "code"), value,
                                   integerField(command, "maxLength"),
                                   command.contains("subject") ? &subject : nullptr);
    return internalEvents->take();
  });
  session.add("parseNumeric", [](const Json& command) {
    const std::string text = stringField(command, "text");
    const auto number = APMParseNumericValueFromString(text);
    return Json{{"numericString", APMIsValidNumericString(text)},
                {"value", number ? Json(number->description()) : Json(nullptr)}};
  });

  // Debug formatting. "registerClass" stands in for a component announcing itself at start-up
  // (the analytics interface's "DIDErizevizo").
  session.add("registerClass", [](const Json& command) {
    const std::string name = stringField(command, "name");
    platform::ClassRegistry::shared().registerClass(name, std::make_shared<std::string>(name));
    return Json(platform::ClassRegistry::shared().contains(name));
  });
  session.add("formatEventName", nameFormatter(&APMFormattedEventName));
  session.add("formatParameterName", nameFormatter(&APMFormattedParameterName));
  session.add("formatUserPropertyName", nameFormatter(&APMFormattedUserPropertyName));
  session.add("formatParameters", [](const Json& command) {
    return Json(
        APMFormattedParametersDescription(platform::Value(mapField(command, "parameters"))));
  });
}

}  // namespace lumora::probe
