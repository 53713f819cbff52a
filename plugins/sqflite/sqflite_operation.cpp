#include "plugins/sqflite/sqflite_operation.h"

#include <algorithm>
#include <cmath>
#include <utility>

namespace sqflite {

using platform::Value;
using platform::ValueKind;
using platform::ValueList;

SqfliteError invalidArgumentError(const std::string& key, const std::string& method) {
  return SqfliteError{SqfliteErrorInvalidArguments,
                      "Missing or invalid argument '" + key + "' for method '" + method + "'",
                      Value()};
}

namespace {

template <class T> platform::Bytes rawBytes(const std::vector<T>& items) {
  auto p = reinterpret_cast<const std::uint8_t*>(items.data());
  return platform::Bytes(p, p + items.size() * sizeof(T));
}

// The low 8 bits of a list element's integer value, if it has one.
std::optional<std::uint8_t> lowByte(const Value& v) {
  if (auto i = v.ifInt()) return static_cast<std::uint8_t>(static_cast<std::uint64_t>(*i) & 0xFF);
  if (auto b = v.ifBool()) return static_cast<std::uint8_t>(*b ? 1 : 0);
  if (auto d = v.ifDouble()) {
    // Truncate toward zero; out-of-range and NaN values have no integer value.
    if (!std::isfinite(*d) || *d >= 9.2e18 || *d <= -9.2e18) return std::nullopt;
    return static_cast<std::uint8_t>(static_cast<std::uint64_t>(static_cast<std::int64_t>(*d)) &
                                     0xFF);
  }
  return std::nullopt;
}

}  // namespace

std::optional<Value> toSqlValue(const Value& value) {
  switch (value.kind()) {
  case ValueKind::Int32List:
    return Value(rawBytes(*value.ifInt32List()));
  case ValueKind::Int64List:
    return Value(rawBytes(*value.ifInt64List()));
  case ValueKind::Float32List:
    return Value(rawBytes(*value.ifFloat32List()));
  case ValueKind::Float64List:
    return Value(rawBytes(*value.ifFloat64List()));
  case ValueKind::List: {
    platform::Bytes bytes;
    for (const Value& item : value.asList()) {
      auto b = lowByte(item);
      if (!b) return std::nullopt;
      bytes.push_back(*b);
    }
    return Value(std::move(bytes));
  }
  default:
    // Null, booleans, numbers, strings and bytes bind as themselves; a map binds as its text
    // form (the connection binds any other value as text).
    return value;
  }
}

const ValueList& SqlArguments::list() const {
  static const ValueList kEmpty;
  if (converted_) return *converted_;
  return original_ ? *original_ : kEmpty;
}

namespace {

bool needsConversion(const Value& v) {
  return v.isList() || v.isTypedList();
}

}  // namespace

std::optional<SqlArguments> toSqlArguments(const Value* arguments) {
  if (!arguments || arguments->isNull()) return SqlArguments();
  const ValueList* list = arguments->ifList();
  if (!list) return std::nullopt;
  if (std::none_of(list->begin(), list->end(), needsConversion)) return SqlArguments(list);
  ValueList out;
  out.reserve(list->size());
  for (const Value& item : *list) {
    auto v = toSqlValue(item);
    if (!v) return std::nullopt;
    out.push_back(std::move(*v));
  }
  return SqlArguments(std::move(out));
}

const std::string* SqfliteOperation::getSql() const {
  const Value* v = getArgument(SqfliteParamSql);
  return v ? v->ifString() : nullptr;
}

std::optional<SqlArguments> SqfliteOperation::getSqlArguments() const {
  return toSqlArguments(getArgument(SqfliteParamSqlArguments));
}

std::optional<std::int64_t> SqfliteOperation::getTransactionId() const {
  const Value* v = getArgument(SqfliteParamTransactionId);
  if (v && v->isInt()) return v->asInt();
  return std::nullopt;
}

std::optional<bool> SqfliteOperation::getInTransactionChange() const {
  const Value* v = getArgument(SqfliteParamInTransactionChange);
  if (v && v->isBool()) return v->asBool();
  return std::nullopt;
}

bool SqfliteOperation::hasNullTransactionId() const {
  const Value* v = getArgument(SqfliteParamTransactionId);
  return v && v->isNull();
}

bool SqfliteOperation::getBoolArgument(std::string_view key) const {
  const Value* v = getArgument(key);
  return v && v->isBool() && v->asBool();
}

std::shared_ptr<SqfliteMethodCallOperation>
SqfliteMethodCallOperation::newWithCall(std::string method, Value arguments,
                                        SqfliteResultCallback result) {
  auto op = std::make_shared<SqfliteMethodCallOperation>();
  op->arguments_ = std::move(arguments);
  op->method_ = std::move(method);
  op->result_ = std::move(result);
  return op;
}

const Value* SqfliteMethodCallOperation::getArgument(std::string_view key) const {
  return arguments_.findString(key);
}

// A call is answered exactly once: the callback is given up by the first answer.
void SqfliteMethodCallOperation::success(Value value) {
  if (auto result = std::exchange(result_, nullptr)) result(std::move(value));
}

void SqfliteMethodCallOperation::error(SqfliteError error) {
  if (auto result = std::exchange(result_, nullptr)) result(std::move(error));
}

std::string SqfliteBatchOperation::getMethod() const {
  const std::string* name = method();
  return name ? *name : std::string();
}

const std::string* SqfliteBatchOperation::method() const {
  const Value* v = entry_->findString(SqfliteParamMethod);
  return v ? v->ifString() : nullptr;
}

const Value* SqfliteBatchOperation::getArgument(std::string_view key) const {
  return entry_->findString(key);
}

}  // namespace sqflite
