#include "tools/measurement-probe/probe_session.h"

#include <cstdio>
#include <iostream>

namespace lumora::probe {

namespace {

std::string hexFromBytes(const platform::Bytes& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string hex;
  for (auto b : bytes) {
    hex.push_back(digits[b >> 4]);
    hex.push_back(digits[b & 15]);
  }
  return hex;
}

platform::Bytes bytesFromHex(const std::string& hex) {
  if (hex.size() % 2) throw ProbeInputError("$data needs an even number of hex digits");
  platform::Bytes bytes;
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    const auto digit = [](char c) -> int {
      if (c >= '0' && c <= '9') return c - '0';
      if (c >= 'a' && c <= 'f') return c - 'a' + 10;
      if (c >= 'A' && c <= 'F') return c - 'A' + 10;
      throw ProbeInputError("$data holds a character that is not a hex digit");
    };
    bytes.push_back(static_cast<std::uint8_t>(digit(hex[i]) * 16 + digit(hex[i + 1])));
  }
  return bytes;
}

}  // namespace

Json jsonFromValue(const platform::Value& value) {
  using platform::ValueKind;
  switch (value.kind()) {
  case ValueKind::Null:
    return nullptr;
  case ValueKind::Bool:
    return value.asBool();
  case ValueKind::Int:
    return value.asInt();
  case ValueKind::Double:
    return value.asDouble();
  case ValueKind::String:
    return value.asString();
  case ValueKind::Bytes:
    return Json{{"$data", hexFromBytes(value.asBytes())}};
  case ValueKind::Date:
    return Json{{"$date", value.asDate().secondsSince1970}};
  case ValueKind::List: {
    Json list = Json::array();
    for (const auto& item : value.asList())
      list.push_back(jsonFromValue(item));
    return list;
  }
  case ValueKind::Map: {
    bool stringKeys = true;
    for (const auto& [key, item] : value.asMap())
      stringKeys = stringKeys && key.isString();
    if (stringKeys) {
      Json object = Json::object();
      for (const auto& [key, item] : value.asMap())
        object[key.asString()] = jsonFromValue(item);
      return object;
    }
    Json pairs = Json::array();
    for (const auto& [key, item] : value.asMap()) {
      pairs.push_back(Json::array({jsonFromValue(key), jsonFromValue(item)}));
    }
    return Json{{"$map", pairs}};
  }
  case ValueKind::Object:
    if (const auto& object = value.asObject()) {
      return Json{{"$object", object->className()}, {"description", object->debugDescription()}};
    }
    return nullptr;
  default:
    return Json{{"$other", value.debugString()}};
  }
}

platform::Value valueFromJson(const Json& json) {
  if (json.is_null()) return {};
  if (json.is_boolean()) return platform::Value(json.get<bool>());
  if (json.is_number_integer()) return platform::Value(json.get<std::int64_t>());
  if (json.is_number()) return platform::Value(json.get<double>());
  if (json.is_string()) return platform::Value(json.get<std::string>());
  if (json.is_array()) {
    platform::ValueList list;
    for (const auto& item : json)
      list.push_back(valueFromJson(item));
    return platform::Value(std::move(list));
  }
  if (json.size() == 1) {
    const auto& [tag, body] = *json.items().begin();
    if (tag == "$date" && body.is_number()) return platform::Value::date(body.get<double>());
    if (tag == "$data" && body.is_string())
      return platform::Value(bytesFromHex(body.get<std::string>()));
    if (tag == "$int32" && body.is_array()) {
      platform::Int32List items;
      for (const auto& item : body)
        items.push_back(item.get<std::int32_t>());
      return platform::Value(std::move(items));
    }
    if (tag == "$map" && body.is_array()) {
      platform::ValueMap map;
      for (const auto& pair : body) {
        if (!pair.is_array() || pair.size() != 2)
          throw ProbeInputError("$map entries are [key, value]");
        map[valueFromJson(pair[0])] = valueFromJson(pair[1]);
      }
      return platform::Value(std::move(map));
    }
  }
  platform::ValueMap map;
  for (const auto& [key, item] : json.items())
    map[platform::Value(key)] = valueFromJson(item);
  return platform::Value(std::move(map));
}

const Json& requiredField(const Json& command, const char* name) {
  const auto found = command.find(name);
  if (found == command.end()) throw ProbeInputError(std::string("missing field \"") + name + "\"");
  return *found;
}

std::string stringField(const Json& command, const char* name) {
  const Json& field = requiredField(command, name);
  if (!field.is_string()) throw ProbeInputError(std::string("\"") + name + "\" must be a string");
  return field.get<std::string>();
}

std::int64_t integerField(const Json& command, const char* name) {
  const Json& field = requiredField(command, name);
  if (!field.is_number_integer()) {
    throw ProbeInputError(std::string("\"") + name + "\" must be an integer");
  }
  return field.get<std::int64_t>();
}

double numberField(const Json& command, const char* name) {
  const Json& field = requiredField(command, name);
  if (!field.is_number()) throw ProbeInputError(std::string("\"") + name + "\" must be a number");
  return field.get<double>();
}

bool boolField(const Json& command, const char* name, bool fallback) {
  const auto found = command.find(name);
  if (found == command.end()) return fallback;
  if (!found->is_boolean())
    throw ProbeInputError(std::string("\"") + name + "\" must be a boolean");
  return found->get<bool>();
}

void ProbeSession::add(const std::string& op, Command command) {
  commands_[op] = std::move(command);
}

void ProbeSession::addFinisher(Finisher finisher) {
  finishers_.push_back(std::move(finisher));
}

void ProbeSession::print(const Json& line) {
  const std::string text = line.dump(-1, ' ', false, Json::error_handler_t::replace);
  std::lock_guard lock(outputMutex_);
  std::fwrite(text.data(), 1, text.size(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
}

Json ProbeSession::handle(const std::string& line) {
  Json command = Json::parse(line, nullptr, false);
  if (command.is_discarded() || !command.is_object()) {
    return Json{{"op", "inputError"}, {"error", "not a JSON object"}};
  }
  Json reply = Json::object();
  if (command.contains("id")) reply["id"] = command["id"];
  const auto op = command.find("op");
  if (op == command.end() || !op->is_string()) {
    reply["op"] = "inputError";
    reply["error"] = "missing \"op\"";
    return reply;
  }
  reply["op"] = *op;
  const auto found = commands_.find(op->get<std::string>());
  if (found == commands_.end()) {
    reply["error"] = "unknown op";
    return reply;
  }
  try {
    reply["result"] = found->second(command);
  } catch (const std::exception& e) {
    reply["error"] = e.what();
  }
  return reply;
}

int ProbeSession::run(std::istream& in) {
  for (std::string line; std::getline(in, line);) {
    if (line.find_first_not_of(" \t\r") == std::string::npos) continue;
    print(handle(line));
  }
  for (const auto& finisher : finishers_)
    finisher();
  return 0;
}

}  // namespace lumora::probe
