#include "measurement/model/apm_debug_formatting.h"

#include <algorithm>
#include <vector>

#include "measurement/model/apm_value.h"
#include "measurement/storage/apm_monitor.h"
#include "platform/foundation/class_registry.h"

namespace {

bool debugFormatting() {
  return APMProcessMonitor()->isDebugModeEnabled() &&
         platform::ClassRegistry::shared().contains(APMAnalyticsInterfaceClassName);
}

std::string lowercased(std::string_view text) {
  std::string out(text);
  std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) {
    return static_cast<char>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  });
  return out;
}

std::string formattedWithDebugMode(std::string_view name, const APMNameTable& table, bool debug) {
  if (name.empty() || table.empty() || name.front() != '_' || !debug) return std::string(name);
  const std::pair<std::string, std::string>* taken = nullptr;
  for (const auto& entry : table.entries()) {
    if (entry.second != name) continue;
    taken = &entry;
    if (!entry.first.starts_with("zevevidi_")) break;
  }
  if (!taken) return std::string(name);
  return taken->first + " (" + std::string(name) + ")";
}

std::string describeParameters(const platform::Value& parameters, std::string_view indentation,
                               bool debug);

std::string describeNested(const platform::Value& items, bool debug) {
  const auto* list = items.ifList();
  if (!debug || !list) return APMValueDescription(items);
  std::string text = "[\n";
  bool first = true;
  for (const auto& item : *list) {
    if (!first) text += ",\n";
    first = false;
    text += describeParameters(item, "    ", debug);
  }
  return text + "\n    ]";
}

std::string describeParameters(const platform::Value& parameters, std::string_view indentation,
                               bool debug) {
  const auto* map = parameters.ifMap();
  if (!debug || !map) return APMValueDescription(parameters);
  std::vector<std::string> lines;
  for (const auto& [name, value] : *map) {
    const std::string* nameText = name.ifString();
    std::string valueText;
    if (value.isList()) {
      valueText = describeNested(value, debug);
    } else if (nameText && *nameText == "_err" && value.isInt()) {
      const char* codeName = APMErrorEventCodeName(value.asInt());
      valueText = codeName ? std::string(codeName) + " (" + std::to_string(value.asInt()) + ")"
                           : std::to_string(value.asInt());
    } else {
      valueText = APMValueDescription(value);
    }
    lines.push_back(std::string(indentation) + "    " +
                    (nameText ? APMFormattedParameterName(*nameText) : APMValueDescription(name)) +
                    " = " + valueText + ";\n");
  }
  std::stable_sort(lines.begin(), lines.end(), [](const std::string& a, const std::string& b) {
    return lowercased(a) < lowercased(b);
  });
  std::string text = std::string(indentation) + "{\n";
  for (const auto& line : lines)
    text += line;
  return text + std::string(indentation) + "}";
}

}  // namespace

std::string APMFormattedName(std::string_view name, const APMNameTable& table) {
  // Only internal names are expanded, and only then is the debug switch worth reading.
  if (name.empty() || table.empty() || name.front() != '_') return std::string(name);
  return formattedWithDebugMode(name, table, debugFormatting());
}

std::string APMFormattedEventName(std::string_view name) {
  return APMFormattedName(name, APMInternalEventNames());
}

std::string APMFormattedParameterName(std::string_view name) {
  return APMFormattedName(name, APMInternalParameterNames());
}

std::string APMFormattedUserPropertyName(std::string_view name) {
  if (name.starts_with("_exp_")) return "experiment_id (" + std::string(name) + ")";
  return APMFormattedName(name, APMInternalUserPropertyNames());
}

std::string APMFormattedParametersDescription(const platform::Value& parameters) {
  return APMFormattedParametersDescriptionWithIndentation(parameters, "");
}

std::string APMFormattedParametersDescriptionWithIndentation(const platform::Value& parameters,
                                                             std::string_view indentation) {
  return describeParameters(parameters, indentation, APMProcessMonitor()->isDebugModeEnabled());
}

std::string APMFormattedNestedParametersDescription(const platform::Value& items) {
  return describeNested(items, APMProcessMonitor()->isDebugModeEnabled());
}

std::string APMValueDescription(const platform::Value& value) {
  if (const auto* text = value.ifString()) return *text;
  if (value.isNumber()) return APMNumberDescription(value);
  return value.debugString();
}
