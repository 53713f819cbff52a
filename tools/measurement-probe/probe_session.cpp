#include "tools/measurement-probe/probe_session.h"

#include <cstdio>
#include <iostream>

#include "tools/peer_json.h"

namespace lumora::probe {

Json jsonFromValue(const platform::Value& value) {
  // Containers are walked here so that dates and objects inside them get their forms too;
  // everything else has the peer's form.
  if (const auto* date = value.ifDate()) return Json{{"$date", date->secondsSince1970}};
  if (const auto* object = value.ifObject()) {
    if (!*object) return nullptr;
    return Json{{"$object", (*object)->className()},
                {"description", (*object)->debugDescription()}};
  }
  if (const auto* list = value.ifList()) {
    Json items = Json::array();
    for (const auto& item : *list)
      items.push_back(jsonFromValue(item));
    return items;
  }
  if (const auto* map = value.ifMap()) {
    bool plainKeys = true;
    for (const auto& [key, item] : *map) {
      plainKeys = plainKeys && key.isString() && !key.asString().starts_with("$");
    }
    Json out = plainKeys ? Json::object() : Json::array();
    for (const auto& [key, item] : *map) {
      if (plainKeys) {
        out[key.asString()] = jsonFromValue(item);
      } else {
        out.push_back(Json::array({jsonFromValue(key), jsonFromValue(item)}));
      }
    }
    return plainKeys ? out : Json{{"$map", out}};
  }
  return lumora::peer::toJson(value);
}

platform::Value valueFromJson(const Json& json) {
  try {
    if (json.is_array()) {
      platform::ValueList list;
      for (const auto& item : json)
        list.push_back(valueFromJson(item));
      return platform::Value(std::move(list));
    }
    if (json.is_object()) {
      const auto date = json.find("$date");
      if (json.size() == 1 && date != json.end() && date->is_number()) {
        return platform::Value::date(date->get<double>());
      }
      if (json.size() != 1 || !json.begin().key().starts_with("$")) {
        platform::ValueMap map;
        for (const auto& [key, item] : json.items())
          map[platform::Value(key)] = valueFromJson(item);
        return platform::Value(std::move(map));
      }
    }
    return lumora::peer::fromJson(json);
  } catch (const std::invalid_argument& e) {
    throw ProbeInputError(e.what());
  }
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
