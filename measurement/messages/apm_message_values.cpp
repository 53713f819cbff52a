#include "measurement/messages/apm_message_values.h"

#include <algorithm>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"

namespace field = apmpb_field;
using platform::Value;

std::string APMConsentTypeName(int32_t value) {
  switch (value) {
  case 1:
    return "ad_storage";
  case 2:
    return "analytics_storage";
  case 3:
    return "ad_user_data";
  case 4:
    return "ad_personalization";
  }
  return "";
}

std::string APMConsentStatusName(int32_t value) {
  switch (value) {
  case 1:
    return "granted";
  case 2:
    return "denied";
  }
  return "";
}

namespace {

// Sets the one value field of a scalar value; false for values of other kinds.
bool setScalarParam(APMPBEventParam* param, const Value& value) {
  namespace P = field::EventParam;
  if (const double* d = value.ifDouble()) {
    NANOSetDouble(param, P::kDoubleValue, *d);
  } else if (const int64_t* i = value.ifInt()) {
    NANOSetInt64(param, P::kIntValue, *i);
  } else if (const std::string* s = value.ifString()) {
    NANOSetString(param, P::kStringValue, *s);
  } else {
    return false;
  }
  return true;
}

}  // namespace

std::shared_ptr<APMPBEventParam> APMEventParamFromValue(std::string_view name, const Value& value) {
  namespace P = field::EventParam;
  auto param = APMPBEventParam::initWithMessageInfo();
  NANOSetString(param.get(), P::kName, name);
  if (setScalarParam(param.get(), value)) return param;
  const platform::ValueList* items = value.ifList();
  if (!items) return nullptr;
  platform::ValueList elements;
  for (const Value& item : *items) {
    const platform::ValueMap* entries = item.ifMap();
    if (!entries) return nullptr;
    auto element = APMPBEventParam::initWithMessageInfo();
    platform::ValueList inner;
    for (const auto& [key, entry] : *entries) {
      const std::string* key_name = key.ifString();
      if (!key_name) continue;
      auto inner_param = APMPBEventParam::initWithMessageInfo();
      NANOSetString(inner_param.get(), P::kName, *key_name);
      if (!setScalarParam(inner_param.get(), entry)) continue;  // nesting stops here
      inner.emplace_back(platform::ObjectPtr(inner_param));
    }
    NANOSetArray(element.get(), P::kParamValue, &inner);
    elements.emplace_back(platform::ObjectPtr(element));
  }
  NANOSetArray(param.get(), P::kParamValue, &elements);
  return param;
}

namespace {

std::optional<Value> scalarParamValue(const APMPBEventParam* param) {
  namespace P = field::EventParam;
  if (NANOHasField(param, P::kStringValue)) {
    if (auto text = NANOGetString(param, P::kStringValue)) return Value(*text);
    return std::nullopt;
  }
  if (NANOHasField(param, P::kIntValue)) return Value(NANOGetInt64(param, P::kIntValue));
  if (NANOHasField(param, P::kDoubleValue)) return Value(NANOGetDouble(param, P::kDoubleValue));
  return std::nullopt;
}

}  // namespace

std::optional<Value> APMEventParamValue(const APMPBEventParam* param) {
  namespace P = field::EventParam;
  if (!param) return std::nullopt;
  if (auto scalar = scalarParamValue(param)) return scalar;
  if (NANOHasField(param, P::kStringValue)) return std::nullopt;  // present but not UTF-8
  auto elements = NANOGetArray(param, P::kParamValue, APMPBEventParam::classObject());
  if (!elements || elements->empty()) return std::nullopt;
  platform::ValueList items;
  for (const Value& element : *elements) {
    auto item = element.asObjectOf<APMPBEventParam>();
    platform::ValueMap entries;
    auto inner = NANOGetArray(item.get(), P::kParamValue, APMPBEventParam::classObject());
    for (const Value& entry : inner ? *inner : platform::ValueList{}) {
      auto inner_param = entry.asObjectOf<APMPBEventParam>();
      auto name = NANOGetString(inner_param.get(), P::kName);
      auto value = scalarParamValue(inner_param.get());
      if (name && value) entries[Value(*name)] = std::move(*value);
    }
    items.emplace_back(std::move(entries));
  }
  return Value(std::move(items));
}

bool APMUserAttributeSetValue(APMPBUserAttribute* attribute, const Value& value) {
  namespace U = field::UserAttribute;
  if (const double* d = value.ifDouble()) {
    NANOSetDouble(attribute, U::kDoubleValue, *d);
  } else if (const int64_t* i = value.ifInt()) {
    NANOSetInt64(attribute, U::kIntValue, *i);
  } else if (const bool* b = value.ifBool()) {
    NANOSetInt64(attribute, U::kIntValue, *b ? 1 : 0);
  } else if (const std::string* s = value.ifString()) {
    NANOSetString(attribute, U::kStringValue, *s);
  } else {
    return false;
  }
  return true;
}

std::optional<Value> APMUserAttributeValue(const APMPBUserAttribute* attribute) {
  namespace U = field::UserAttribute;
  if (!attribute) return std::nullopt;
  if (NANOHasField(attribute, U::kStringValue)) {
    if (auto text = NANOGetString(attribute, U::kStringValue)) return Value(*text);
  }
  if (NANOHasField(attribute, U::kDoubleValue)) {
    return Value(NANOGetDouble(attribute, U::kDoubleValue));
  }
  if (NANOHasField(attribute, U::kIntValue)) return Value(NANOGetInt64(attribute, U::kIntValue));
  return std::nullopt;
}

std::shared_ptr<APMPBFlag> APMFlagFromValue(std::string_view name, const Value& value) {
  namespace F = field::Flag;
  auto flag = APMPBFlag::initWithMessageInfo();
  NANOSetString(flag.get(), F::kName, name);
  if (const std::string* s = value.ifString()) {
    NANOSetString(flag.get(), F::kStringValue, *s);
  } else if (const double* d = value.ifDouble()) {
    NANOSetDouble(flag.get(), F::kDoubleValue, *d);
  } else if (const int64_t* i = value.ifInt()) {
    NANOSetInt64(flag.get(), F::kIntValue, *i);
  } else if (const bool* b = value.ifBool()) {
    NANOSetInt64(flag.get(), F::kIntValue, *b ? 1 : 0);
  } else {
    return nullptr;
  }
  return flag;
}

std::optional<Value> APMFlagValue(const APMPBFlag* flag) {
  namespace F = field::Flag;
  if (!flag) return std::nullopt;
  if (NANOHasField(flag, F::kIntValue)) return Value(NANOGetInt64(flag, F::kIntValue));
  if (NANOHasField(flag, F::kDoubleValue)) return Value(NANOGetDouble(flag, F::kDoubleValue));
  if (NANOHasField(flag, F::kStringValue)) {
    if (auto text = NANOGetString(flag, F::kStringValue)) return Value(*text);
  }
  if (NANOHasField(flag, F::kBoolValue)) return Value(NANOGetBool(flag, F::kBoolValue));
  return std::nullopt;
}

namespace {

std::vector<uint64_t>* bitWords(const APMPBResultData* data, int32_t index) {
  MessageInfo* record = data ? data->messageInfo() : nullptr;
  ArrayInfo* header = record ? record->array(static_cast<uint32_t>(index)) : nullptr;
  return header ? &header->scalars : nullptr;
}

}  // namespace

bool APMResultDataRecordFilter(APMPBResultData* data, int32_t filterID, bool value) {
  namespace R = field::ResultData;
  std::vector<uint64_t>* status = bitWords(data, R::kStatus);
  std::vector<uint64_t>* results = bitWords(data, R::kResults);
  if (!status || !results || filterID < 0) return false;
  const std::size_t word = static_cast<std::size_t>(filterID) / 64;
  const uint64_t bit = uint64_t{1} << (filterID % 64);
  const std::size_t length = std::max({status->size(), results->size(), word + 1});
  status->resize(length, 0);
  results->resize(length, 0);
  (*status)[word] |= bit;
  if (value) {
    (*results)[word] |= bit;
  } else {
    (*results)[word] &= ~bit;
  }
  return true;
}

bool APMResultDataFilterIsTrue(const APMPBResultData* data, int32_t filterID) {
  namespace R = field::ResultData;
  const std::vector<uint64_t>* status = bitWords(data, R::kStatus);
  const std::vector<uint64_t>* results = bitWords(data, R::kResults);
  if (!status || !results || filterID < 0) return false;
  const std::size_t word = static_cast<std::size_t>(filterID) / 64;
  const uint64_t bit = uint64_t{1} << (filterID % 64);
  return word < status->size() && word < results->size() && ((*status)[word] & bit) &&
         ((*results)[word] & bit);
}

bool APMResultDataHasFilter(const APMPBResultData* data, int32_t filterID) {
  const std::vector<uint64_t>* status = bitWords(data, field::ResultData::kStatus);
  if (!status || filterID < 0) return false;
  const std::size_t word = static_cast<std::size_t>(filterID) / 64;
  return word < status->size() && ((*status)[word] >> (filterID % 64)) & 1;
}
