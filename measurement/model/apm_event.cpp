#include "measurement/model/apm_event.h"

#include <limits>

#include "measurement/messages/message_codec.h"
#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_info.h"
#include "measurement/messages/message_types.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_debug_formatting.h"
#include "measurement/model/apm_event_normalization.h"
#include "measurement/model/apm_name_tables.h"
#include "measurement/storage/apm_monitor.h"

namespace {

const platform::Value kOrigin("_o");
const platform::Value kConversion("_c");
const platform::Value kRealtime("_r");
const platform::Value kDebug("_dbg");
const platform::Value kErr("_err");

// Previous timestamps at or below this are "none".
constexpr double kNoPreviousTimestamp = std::numeric_limits<double>::epsilon();

void setFlag(platform::ValueMap& parameters, const platform::Value& name, bool on) {
  if (on) {
    parameters[name] = platform::Value(std::int64_t{1});
  } else {
    parameters.erase(name);
  }
}

}  // namespace

std::int64_t APMMillisecondsFromSeconds(double seconds) {
  return APMSaturatingInt64(seconds * 1000);
}

APMEvent::APMEvent(std::string origin, std::string name, double timestamp, double previousTimestamp,
                   platform::ValueMap parameters)
    : origin_(std::move(origin)), name_(std::move(name)), timestamp_(timestamp),
      previousTimestamp_(previousTimestamp), parameters_(std::move(parameters)) {}

std::shared_ptr<APMEvent> APMEvent::initWithOrigin(const std::string& origin, bool isPublic,
                                                   const std::string& name, double timestamp,
                                                   double previousTimestamp,
                                                   platform::ValueMap parameters) {
  const platform::Value originValue(origin);
  std::int64_t code = 0;
  if (!APMDataTypeValidator::isValidForwardedEventOrigin(originValue, &code) &&
      (code != APMValidatorFailureNotForwardedOrigin ||
       !APMDataTypeValidator::isValidInternalEventOrigin(originValue, nullptr))) {
    return nullptr;
  }
  const platform::Value nameValue(name);
  if (isPublic && !APMDataTypeValidator::isValidPublicEventName(nameValue, nullptr)) return nullptr;
  if (!APMDataTypeValidator::isValidInternalEventName(nameValue, nullptr)) return nullptr;
  if (previousTimestamp > timestamp) {
    APMProcessMonitor()->logWithLevel(
        5, 16002, "Event created with previous timestamp after current timestamp");
  }
  auto normalized = APMNormalizedParametersForParametersAndEventName(std::move(parameters), &name,
                                                                     isPublic, false);
  auto event =
      std::make_shared<APMEvent>(origin, name, timestamp, previousTimestamp,
                                 normalized ? std::move(*normalized) : platform::ValueMap{});
  event->parameters_[kOrigin] = originValue;
  if (event->shouldValidateParams() && !APMValidateConversionEventParameters(event->parameters_)) {
    event->parameters_.erase(kConversion);
  }
  event->normalized_ = true;
  return event;
}

std::shared_ptr<APMEvent> APMEvent::copy() const {
  return copyWithParameters(parameters_);
}

std::shared_ptr<APMEvent> APMEvent::copyWithParameters(platform::ValueMap parameters) const {
  return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp_,
                        std::move(parameters));
}

std::shared_ptr<APMEvent> APMEvent::copyWithPreviousTimestamp(double previousTimestamp) const {
  if (!normalized_) {
    return initWithOrigin(origin_, false, name_, timestamp_, previousTimestamp, parameters_);
  }
  // The origin and the name passed their checks when this event was made; the parameters are in
  // the initialiser's own output form, "_o" and the conversion rule included.
  if (previousTimestamp > timestamp_) {
    APMProcessMonitor()->logWithLevel(
        5, 16002, "Event created with previous timestamp after current timestamp");
  }
  auto copy =
      std::make_shared<APMEvent>(origin_, name_, timestamp_, previousTimestamp, parameters_);
  copy->normalized_ = true;
  return copy;
}

std::optional<APMValue> APMEvent::parameter(std::string_view name) const {
  const auto found = parameters_.find(platform::Value(name));
  return found == parameters_.end() ? std::nullopt : APMValue::fromStored(found->second);
}

bool APMEvent::isConversion() const {
  const auto found = parameters_.find(kConversion);
  return found != parameters_.end() && found->second.isInt() && found->second.asInt() == 1;
}

void APMEvent::setConversion(bool conversion) {
  if (conversion) {
    if (!APMValidateConversionEventParameters(parameters_)) return;
    parameters_[kConversion] = platform::Value(std::int64_t{1});
    const auto err = parameters_.find(kErr);
    if (err != parameters_.end() && err->second.isInt() && err->second.asInt() == 10) {
      parameters_.erase(err);
    }
    return;
  }
  if (parameters_.erase(kConversion) > 0) APMAddErrorParameter(parameters_, 10);
}

bool APMEvent::isRealtime() const {
  const auto found = parameters_.find(kRealtime);
  if (found == parameters_.end()) return false;
  if (found->second.isInt()) return found->second.asInt() == 1;
  APMProcessMonitor()->logWithLevel(2, 16006, "Realtime parameter must be an int64. Event name",
                                    {platform::Value(name_)});
  return false;
}

void APMEvent::setRealtime(bool realtime) {
  setFlag(parameters_, kRealtime, realtime);
}

bool APMEvent::isDebug() const {
  const auto found = parameters_.find(kDebug);
  return found != parameters_.end() && found->second.isInt() && found->second.asInt() == 1;
}

void APMEvent::setDebug(bool debug) {
  setFlag(parameters_, kDebug, debug);
}

bool APMEvent::shouldValidateParams() const {
  return isConversion() || name_ == "ad_impression" || name_ == "_ai";
}

void APMEvent::applyParameters(platform::ValueMap parameters, bool isPublic) {
  if (parameters.empty()) return;
  auto normalized = APMNormalizedParametersForParameters(std::move(parameters), isPublic);
  if (!normalized || normalized->empty()) return;
  // The merged map may hold more public parameters than one normalisation would keep.
  normalized_ = false;
  for (auto& [name, value] : parameters_)
    (*normalized)[name] = std::move(value);
  parameters_ = std::move(*normalized);
}

bool APMEvent::addScreenParameters(const platform::ValueMap& screen) {
  if (screen.empty() || APMHasScreenParameters(parameters_)) return false;
  const auto find = [&screen](const char* name) -> const platform::Value* {
    const auto found = screen.find(platform::Value(name));
    return found == screen.end() ? nullptr : &found->second;
  };
  const platform::Value* screenID = find("_si");
  const platform::Value* screenClass = find("_sc");
  const platform::Value* screenName = find("_sn");
  if (!screenID) return false;
  if (screenClass) {
    if (!screenClass->isString()) return false;
    if (!APMDataTypeValidator::isValidScreenParameterValue(*screenClass, nullptr)) {
      APMProcessMonitor()->logWithLevel(3, 16003, "Received invalid screen class", {*screenClass});
      return false;
    }
  }
  if (!screenID->isNumber()) return false;
  if (screenName) {
    if (!screenName->isString()) return false;
    if (!APMDataTypeValidator::isValidScreenParameterValue(*screenName, nullptr)) {
      APMProcessMonitor()->logWithLevel(3, 16004, "Received invalid screen name", {*screenName});
      return false;
    }
  }
  normalized_ = false;
  parameters_[platform::Value("_si")] = *screenID;
  if (screenClass) parameters_[platform::Value("_sc")] = *screenClass;
  if (screenName) parameters_[platform::Value("_sn")] = *screenName;
  return true;
}

// The script runtime's event.

platform::ValueMap APMEventParamObjectFromDictionary(const platform::ValueMap& parameters,
                                                     bool nested) {
  platform::ValueMap objects;
  for (const auto& [name, value] : parameters) {
    if (value.isNumber() || value.isString()) {
      objects.emplace(name, value);
    } else if (const auto* items = value.ifList(); items && !nested) {
      platform::ValueList converted;
      for (const auto& item : *items) {
        if (const auto* map = item.ifMap())
          converted.emplace_back(APMEventParamObjectFromDictionary(*map, true));
      }
      objects.emplace(name, platform::Value(std::move(converted)));
    }
  }
  return objects;
}

APMPEvent APMEvent::editEvent() const {
  const std::string* publicName = APMExternalEventNames().find(name_);
  return APMPEvent::initWithName(publicName ? *publicName : name_, timestamp_,
                                 APMEventParamObjectFromDictionary(parameters_, false));
}

std::shared_ptr<APMEvent> APMEvent::eventFromEditEvent(const APMPEvent& editEvent) {
  const std::string* internalName = APMInternalEventNames().find(editEvent.name);
  const auto origin = editEvent.parameters.find(kOrigin);
  const std::string* originText =
      origin == editEvent.parameters.end() ? nullptr : origin->second.ifString();
  return initWithOrigin(originText ? *originText : "app", false,
                        internalName ? *internalName : editEvent.name, editEvent.timestamp, 0,
                        editEvent.parameters);
}

// The wire.

namespace {

// The records of a list of EventParam messages are built in place: no message object, list value
// or second copy per parameter.
std::unique_ptr<MessageInfo> eventParamRecord(const std::string* name) {
  auto record = MessageInfo::create(apmpb_type::EventParam);
  if (name) record->slot(apmpb_field::EventParam::kName) = *name;
  return record;
}

// Fills an empty list the way NANOSetArray would with the same elements.
void finishList(ArrayInfo* header) {
  if (header->size() == 0) return;
  header->allocated = true;
  header->count = static_cast<uint32_t>(header->size());
}

// Appends one EventParam record per parameter to `header` (nested: inside an item, where arrays
// are not allowed). What cannot be written is reported and left out.
void appendEventParamRecords(ArrayInfo* header, const platform::ValueMap& parameters,
                             const std::string& eventName, bool nested) {
  namespace P = apmpb_field::EventParam;
  header->messages.reserve(header->messages.size() + parameters.size());
  for (const auto& [name, value] : parameters) {
    const std::string* nameText = name.ifString();
    const auto stored = APMValue::fromStored(value);
    if (!stored || !nameText) {
      APMProcessMonitor()->logWithLevel(
          2, 16005, "Invalid event param value. Event name, param name",
          {platform::Value(APMFormattedEventName(eventName)),
           platform::Value(nameText ? APMFormattedParameterName(*nameText) : name.debugString())});
      continue;
    }
    if (stored->isArray() && nested) {
      APMProcessMonitor()->logWithLevel(
          2, 16007, "Nested params cannot have more than 1 level. Event name, param name",
          {platform::Value(APMFormattedEventName(eventName)),
           platform::Value(APMFormattedParameterName(*nameText))});
      continue;
    }
    auto param = eventParamRecord(nameText);
    switch (stored->valueType()) {
    case APMValueTypeDouble:
      nano_set_double(&param->slot(P::kDoubleValue), stored->doubleValue());
      break;
    case APMValueTypeInt64:
      nano_set_uint64(&param->slot(P::kIntValue), static_cast<uint64_t>(stored->int64Value()));
      break;
    case APMValueTypeString:
      param->slot(P::kStringValue) = *stored->stringValue();
      break;
    case APMValueTypeArray: {
      // One unnamed parameter per item, holding the item's parameters in its own tag 6.
      ArrayInfo* items = param->array(P::kParamValue);
      for (const auto& item : *stored->arrayValue()) {
        const auto* map = item.ifMap();
        if (!map) continue;
        auto holder = eventParamRecord(nullptr);
        ArrayInfo* inner = holder->array(P::kParamValue);
        appendEventParamRecords(inner, *map, eventName, true);
        finishList(inner);
        items->messages.push_back(std::move(holder));
      }
      finishList(items);
      break;
    }
    }
    header->messages.push_back(std::move(param));
  }
}

}  // namespace

platform::ValueList APMEventParamProtoFromDictionary(const platform::ValueMap& parameters,
                                                     const std::string& eventName, bool nested) {
  ArrayInfo header;
  appendEventParamRecords(&header, parameters, eventName, nested);
  platform::ValueList params;
  params.reserve(header.messages.size());
  for (const auto& record : header.messages)
    params.emplace_back(platform::ObjectPtr(APMPBEventParam::initWithMessageInfo(record.get())));
  return params;
}

std::shared_ptr<APMPBEvent> APMEvent::protoEvent() const {
  auto proto = APMPBEvent::initWithMessageInfo();
  NANOSetString(proto.get(), apmpb_field::Event::kName, name_);
  if (previousTimestamp_ > kNoPreviousTimestamp) {
    NANOSetInt64(proto.get(), apmpb_field::Event::kPreviousTimestampMillis,
                 APMMillisecondsFromSeconds(previousTimestamp_));
  }
  NANOSetInt64(proto.get(), apmpb_field::Event::kTimestampMillis,
               APMMillisecondsFromSeconds(timestamp_));
  ArrayInfo* params = proto->messageInfo()->array(apmpb_field::Event::kParams);
  appendEventParamRecords(params, parameters_, name_, false);
  finishList(params);
  return proto;
}

std::shared_ptr<APMEvent> APMEvent::initWithEventProto(const APMPBEvent& proto) {
  const std::string name = NANOGetString(&proto, apmpb_field::Event::kName).value_or("");
  const double timestamp =
      static_cast<double>(NANOGetInt64(&proto, apmpb_field::Event::kTimestampMillis)) / 1000.0;
  const double previousTimestamp =
      static_cast<double>(NANOGetInt64(&proto, apmpb_field::Event::kPreviousTimestampMillis)) /
      1000.0;
  const platform::Value eventName(name);
  std::optional<std::string> origin;
  platform::ValueMap parameters;
  const auto params =
      NANOGetArray(&proto, apmpb_field::Event::kParams, APMPBEventParam::classObject());
  for (const auto& element : params.value_or(platform::ValueList{})) {
    const auto param = element.asObjectOf<APMPBEventParam>();
    if (!param) continue;
    const auto paramName = NANOGetString(param.get(), apmpb_field::EventParam::kName);
    if (!paramName) {
      APMProcessMonitor()->logWithLevel(
          2, 15000, "Ignoring parameter. Parameter name is nil. Event name", {eventName});
      continue;
    }
    const bool hasString = NANOHasField(param.get(), apmpb_field::EventParam::kStringValue);
    if (*paramName == "_o") {
      if (!hasString) {
        APMProcessMonitor()->logWithLevel(
            2, 15001,
            "Cannot create an event from event proto. Origin parameter is not a string. Event name",
            {eventName});
        return nullptr;
      }
      origin = NANOGetString(param.get(), apmpb_field::EventParam::kStringValue);
      if (!origin) return nullptr;  // bytes that are not text
      parameters[kOrigin] = platform::Value(*origin);
    } else if (const auto text =
                   hasString ? NANOGetString(param.get(), apmpb_field::EventParam::kStringValue)
                             : std::nullopt) {
      parameters[platform::Value(*paramName)] = platform::Value(*text);
    } else if (NANOHasField(param.get(), apmpb_field::EventParam::kIntValue)) {
      parameters[platform::Value(*paramName)] =
          platform::Value(NANOGetInt64(param.get(), apmpb_field::EventParam::kIntValue));
    } else if (NANOHasField(param.get(), apmpb_field::EventParam::kDoubleValue)) {
      parameters[platform::Value(*paramName)] =
          platform::Value(NANOGetDouble(param.get(), apmpb_field::EventParam::kDoubleValue));
    } else {
      APMProcessMonitor()->logWithLevel(5, 15002,
                                        "Unknown event parameter type from converting an event "
                                        "proto into APMEvent instance. Event param name",
                                        {platform::Value(*paramName)});
    }
  }
  if (!origin) return nullptr;
  return initWithOrigin(*origin, false, name, timestamp, previousTimestamp, std::move(parameters));
}

bool APMHasProtoParameter(const platform::ValueList& params, const std::string& name) {
  for (const auto& element : params) {
    const auto param = element.asObjectOf<APMPBEventParam>();
    if (param && NANOGetString(param.get(), apmpb_field::EventParam::kName) == name) {
      APMProcessMonitor()->logWithLevel(4, 23156, "Event parameter already exists. Parameter name",
                                        {platform::Value(APMFormattedParameterName(name))});
      return true;
    }
  }
  return false;
}

namespace {

// Whether moving the contents of `record` gives what a deep copy gives: a copy leaves out missing
// elements and nested records and refuses records nested deeper than the codec allows.
bool movesLikeACopy(const MessageInfo& record, std::int32_t depth) {
  if (depth > kMaxMessageNestingDepth) return false;
  const MessageType& type = record.type();
  for (std::uint32_t i = 0; i < type.slot_count; ++i) {
    if (type.fields_type[i] & kNanoFieldRepeated) {
      const ArrayInfo* list = record.array(i);
      if (!list) return false;
      for (const auto& element : list->messages) {
        if (!element || !movesLikeACopy(*element, depth + 1)) return false;
      }
    } else if (const auto* nested = std::get_if<std::unique_ptr<MessageInfo>>(&record.slot(i))) {
      if (!*nested || !movesLikeACopy(**nested, depth + 1)) return false;
    }
  }
  return true;
}

// Moves every value of `from` into `to`, an empty record of the same type, slot by slot as a deep
// copy fills it; `from` is left empty.
void moveRecordContents(MessageInfo& from, MessageInfo& to) {
  const MessageType& type = from.type();
  for (std::uint32_t i = 0; i < type.slot_count; ++i) {
    if (type.fields_type[i] & kNanoFieldRepeated) {
      ArrayInfo* in = from.array(i);
      ArrayInfo* out = to.array(i);
      if (!in || !out || in->size() == 0) continue;
      out->scalars = std::move(in->scalars);
      out->strings = std::move(in->strings);
      out->messages = std::move(in->messages);
      finishList(out);
      nano_init_array_info(in);
      continue;
    }
    MessageSlot& slot = from.slot(i);
    if (std::holds_alternative<std::string>(slot) || std::holds_alternative<std::uint64_t>(slot) ||
        std::holds_alternative<std::unique_ptr<MessageInfo>>(slot)) {
      to.slot(i) = std::move(slot);
      slot = std::monostate{};
    }
  }
}

}  // namespace

bool APMMoveEventMessagesIntoBundle(std::vector<std::shared_ptr<APMPBEvent>>& messages,
                                    APMPBMeasurementBundle& bundle) {
  namespace B = apmpb_field::MeasurementBundle;
  MessageInfo* record = bundle.messageInfo();
  ArrayInfo* events = record ? record->array(B::kEvents) : nullptr;
  if (!events || events->element_type != &apmpb_type::Event) return false;
  for (const auto& message : messages) {
    if (!message || message.use_count() != 1 || !message->messageInfo() ||
        !movesLikeACopy(*message->messageInfo(), 1)) {
      return false;
    }
  }
  // Every record is made before anything moves, so running out of memory changes nothing.
  std::vector<std::unique_ptr<MessageInfo>> records;
  try {
    records.reserve(messages.size());
    for (std::size_t i = 0; i < messages.size(); ++i)
      records.push_back(MessageInfo::create(apmpb_type::Event));
  } catch (const std::bad_alloc&) {
    return false;
  }
  for (std::size_t i = 0; i < messages.size(); ++i)
    moveRecordContents(*messages[i]->messageInfo(), *records[i]);
  messages.clear();
  apmpb_free_field(record, B::kEvents);
  events->messages = std::move(records);
  finishList(events);
  return true;
}
