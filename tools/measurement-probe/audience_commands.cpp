#include "tools/measurement-probe/audience_commands.h"

#include <cerrno>
#include <cstdlib>

#include "measurement/audiences/apm_audience_filters.h"
#include "platform/core/base64.h"
#include "tools/measurement-probe/storage_commands.h"

namespace lumora::probe {

namespace {

platform::Bytes filterBytes(const Json& command) {
  const auto bytes = platform::base64Decode(stringField(command, "filter"));
  if (!bytes) throw ProbeInputError("\"filter\" must be base64");
  return *bytes;
}

template <class Message> std::shared_ptr<Message> decoded(const Json& command) {
  auto message = Message::initWithBuffer(filterBytes(command));
  if (!message) throw ProbeInputError("\"filter\" does not decode as the filter message");
  return message;
}

// A value as JSON gives it (integer, number, text), or typed: {"double": "inf" | "0.1" | 2.5},
// {"int64": "9223372036854775807" | 5}, {"string": "5"}.
APMValue typedValue(const Json& json) {
  if (json.is_object() && json.size() == 1) {
    const auto entry = json.begin();
    const std::string kind = entry.key();
    const Json& value = entry.value();
    if (kind == "double") {
      if (value.is_number()) return APMValue(value.get<double>());
      if (value.is_string()) {
        const std::string text = value.get<std::string>();
        char* end = nullptr;
        const double number = std::strtod(text.c_str(), &end);
        if (end && *end == '\0' && !text.empty()) return APMValue(number);
      }
      throw ProbeInputError("a \"double\" must be a number or its text");
    }
    if (kind == "int64") {
      if (value.is_number_integer()) return APMValue(value.get<std::int64_t>());
      if (value.is_string()) {
        const std::string text = value.get<std::string>();
        char* end = nullptr;
        errno = 0;
        const long long number = std::strtoll(text.c_str(), &end, 10);
        if (end && *end == '\0' && !text.empty() && errno == 0) {
          return APMValue(static_cast<std::int64_t>(number));
        }
      }
      throw ProbeInputError("an \"int64\" must be an integer or its text");
    }
    if (kind == "string" && value.is_string()) return *APMValue::initWithString(value);
    throw ProbeInputError("a typed value is {\"double\"|\"int64\"|\"string\": value}");
  }
  if (json.is_number_integer()) return APMValue(json.get<std::int64_t>());
  if (json.is_number()) return APMValue(json.get<double>());
  if (json.is_string()) {
    if (auto text = APMValue::initWithString(json.get<std::string>())) return *text;
  }
  throw ProbeInputError("a value must be a number, a string or a typed value");
}

std::int32_t countOf(const Json& event, const char* name) {
  if (!event.contains(name)) return 1;
  const Json& count = event.at(name);
  if (!count.is_number_integer())
    throw ProbeInputError(std::string("\"") + name + "\" must be an integer");
  const auto value = count.get<std::int64_t>();
  if (value < INT32_MIN || value > INT32_MAX) {
    throw ProbeInputError(std::string("\"") + name + "\" must fit 32 bits");
  }
  return static_cast<std::int32_t>(value);
}

Json outcomeJson(const APMAudienceOutcome& outcome) {
  return outcome ? Json(*outcome) : Json(nullptr);
}

}  // namespace

void registerAudienceCommands(ProbeSession& session) {
  // {"op":"audience-filter","filter":"<base64 EventFilter>","event":{"name","parameters",
  //  "aggregatesName","lifetimeCount","currentBundleCount","currentSessionCount"}}
  // | {"filter":"<base64 PropertyFilter>","property":{"name","value","timestamp"}}
  // | {"filter":"<base64 Filter>","value":...}
  session.add("audience-filter", [](const Json& command) {
    APMAudienceOutcome outcome;
    if (command.contains("event")) {
      const Json& event = command.at("event");
      const auto filter = decoded<APMPBEventFilter>(command);
      const std::string name = stringField(event, "name");
      platform::ValueMap parameters;
      if (event.contains("parameters")) {
        if (!event.at("parameters").is_object()) {
          throw ProbeInputError("\"parameters\" must be an object");
        }
        for (const auto& [key, value] : event.at("parameters").items())
          parameters[platform::Value(key)] = typedValue(value).value();
      }
      const std::string aggregatesName =
          event.contains("aggregatesName") ? stringField(event, "aggregatesName") : name;
      const auto aggregates = APMEventAggregates::initWithName(
          aggregatesName, countOf(event, "lifetimeCount"), countOf(event, "currentBundleCount"),
          countOf(event, "currentSessionCount"), 0);
      beginReportCapture();
      outcome = APMAudienceEvaluateEventFilter(filter, name, parameters, aggregates.get());
    } else if (command.contains("property")) {
      const Json& property = command.at("property");
      const auto filter = decoded<APMPBPropertyFilter>(command);
      const APMUserAttribute attribute(
          "app", stringField(property, "name"), typedValue(requiredField(property, "value")),
          property.contains("timestamp") ? numberField(property, "timestamp") : 0.0);
      beginReportCapture();
      outcome = APMAudienceEvaluatePropertyFilter(filter, &attribute);
    } else {
      const auto filter = decoded<APMPBFilter>(command);
      const APMValue value = typedValue(requiredField(command, "value"));
      beginReportCapture();
      outcome = APMAudienceEvaluateFilterWithValue(filter, value);
    }
    return Json{{"outcome", outcomeJson(outcome)}, {"reports", endReportCapture()}};
  });
  // {"op":"audience-valid","kind":"string"|"number","filter":"<base64>"}
  session.add("audience-valid", [](const Json& command) {
    const std::string kind = stringField(command, "kind");
    bool valid = false;
    if (kind == "string") {
      const auto filter = decoded<APMPBStringFilter>(command);
      beginReportCapture();
      valid = APMAudienceIsValidStringFilter(filter);
    } else if (kind == "number") {
      const auto filter = decoded<APMPBNumberFilter>(command);
      beginReportCapture();
      valid = APMAudienceIsValidNumberFilter(filter);
    } else {
      throw ProbeInputError("\"kind\" must be string or number");
    }
    return Json{{"valid", valid}, {"reports", endReportCapture()}};
  });
}

}  // namespace lumora::probe
