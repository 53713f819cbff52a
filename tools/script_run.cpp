#include "tools/script_run.h"

#include <cmath>
#include <stdexcept>
#include <unordered_set>

#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_runtime.h"
#include "measurement/script/apmp_text.h"

namespace lumora::scriptrun {
namespace {

constexpr int kMaxJsonDepth = 1000;

std::u16string utf16(const std::string& s) {
  auto text = APMPUtf16FromUtf8(s);
  if (!text) throw std::invalid_argument("text is not UTF-8");
  return *text;
}

APMPValueRef nodeFromJson(const Json& node, int depth) {
  if (depth > kMaxJsonDepth) throw std::invalid_argument("program nested too deep");
  if (!node.is_object()) throw std::invalid_argument("a node must be an object");
  if (node.contains("s")) {
    if (!node["s"].is_string()) throw std::invalid_argument("\"s\" must be a string");
    return APMPStringValue::make(utf16(node["s"].get<std::string>()));
  }
  if (node.contains("n")) {
    const Json& n = node["n"];
    if (n.is_number()) return APMPNumberValue::make(n.get<double>());
    if (n.is_string()) {
      const std::string text = n.get<std::string>();
      if (text == "NaN") return APMPNumberValue::make(std::nan(""));
      if (text == "Infinity") return APMPNumberValue::make(INFINITY);
      if (text == "-Infinity") return APMPNumberValue::make(-INFINITY);
      if (text == "-0") return APMPNumberValue::make(-0.0);
    }
    throw std::invalid_argument("\"n\" must be a number or NaN, Infinity, -Infinity, -0");
  }
  if (node.contains("b")) {
    if (!node["b"].is_boolean()) throw std::invalid_argument("\"b\" must be a boolean");
    return APMPBoolean(node["b"].get<bool>());
  }
  if (node.contains("op")) {
    if (!node["op"].is_string()) throw std::invalid_argument("\"op\" must be a string");
    APMPValueList args;
    if (node.contains("args")) {
      if (!node["args"].is_array()) throw std::invalid_argument("\"args\" must be an array");
      for (const Json& arg : node["args"])
        args.push_back(nodeFromJson(arg, depth + 1));
    }
    return APMPMake<APMPStatementValue>(utf16(node["op"].get<std::string>()), std::move(args));
  }
  throw std::invalid_argument("a node needs one of \"s\", \"n\", \"b\" or \"op\"");
}

Json numberToJson(double d) {
  if (std::isnan(d)) return Json{{"$double", "NaN"}};
  if (std::isinf(d)) return Json{{"$double", d > 0 ? "Infinity" : "-Infinity"}};
  if (d == 0 && std::signbit(d)) return Json{{"$double", "-0"}};
  if (std::trunc(d) == d && std::fabs(d) < 9007199254740992.0) {
    return Json(static_cast<std::int64_t>(d));
  }
  return Json(d);
}

Json toJson(const APMPRuntimeValue& value, std::unordered_set<const APMPRuntimeValue*>& open,
            int depth) {
  using Kind = APMPRuntimeValue::Kind;
  switch (value.kind()) {
  case Kind::Hole:
  case Kind::Undefined:
    return Json{{"$undefined", true}};
  case Kind::Null:
    return nullptr;
  case Kind::Boolean:
    return APMPAs<APMPBooleanValue>(value).value();
  case Kind::Number:
    return numberToJson(APMPAs<APMPNumberValue>(value).value());
  case Kind::String:
    return APMPUtf8FromUtf16(APMPAs<APMPStringValue>(value).value());
  case Kind::Function:
    return Json{{"$function", APMPUtf8FromUtf16(APMPAs<APMPFunctionValue>(value).functionName())}};
  case Kind::Statement:
    return Json{
        {"$statement", APMPUtf8FromUtf16(APMPAs<APMPStatementValue>(value).functionName())}};
  case Kind::Control:
    return Json{{"$control", APMPUtf8FromUtf16(APMPAs<APMPControlValue>(value).type())}};
  case Kind::Array:
  case Kind::Map:
    break;
  }
  if (open.contains(&value)) return Json{{"$cycle", true}};
  if (depth > kMaxJsonDepth) return Json{{"$deep", true}};
  open.insert(&value);
  Json out;
  if (value.isArray()) {
    out = Json::array();
    for (const auto& element : APMPAs<APMPArrayValue>(value).elements()) {
      out.push_back(toJson(*element, open, depth + 1));
    }
  } else {
    out = Json::object();
    APMPAs<APMPMapValue>(value).properties().forEach(
        [&](const std::u16string& name, const APMPValueRef& v) {
          out[APMPUtf8FromUtf16(name)] = toJson(*v, open, depth + 1);
        });
  }
  open.erase(&value);
  return out;
}

}  // namespace

APMPValueList statementsFromJson(const Json& program) {
  if (!program.is_array()) throw std::invalid_argument("\"program\" must be an array of nodes");
  APMPValueList statements;
  for (const Json& node : program)
    statements.push_back(nodeFromJson(node, 0));
  return statements;
}

Json valueToJson(const APMPRuntimeValue& value) {
  std::unordered_set<const APMPRuntimeValue*> open;
  return toJson(value, open, 0);
}

Json runRequest(const Json& request) {
  APMPValueList statements;
  try {
    if (!request.is_object() || !request.contains("program")) {
      throw std::invalid_argument("a request is an object with \"program\"");
    }
    statements = statementsFromJson(request["program"]);
  } catch (const std::exception& e) {
    return Json{{"inputError", e.what()}};
  }

  APMPRuntime runtime;
  Json answer;
  {
    APMPContext ctx(&runtime);
    APMPValueRef value = runtime.executeStatements(statements, ctx);
    if (ctx.failed()) {
      answer["error"] = Json{{"domain", APMPErrorDomain}, {"code", ctx.errorCode()}};
    } else {
      answer["error"] = nullptr;
    }
    // The string form in a context of its own, so a failing conversion shows as null.
    APMPContext formatting;
    const std::u16string text = value->stringValueOrError(formatting);
    answer["value"] = Json{
        {"string", formatting.failed() ? Json(nullptr) : Json(APMPUtf8FromUtf16(text))},
        {"type", APMPUtf8FromUtf16(APMPTypeName(*value))},
        {"json", valueToJson(*value)},
    };
    answer["instructions"] = runtime.instructionCount();
  }
  runtime.collectGarbage();
  answer["tracked"] = runtime.objectManager().trackedValueCount();
  return answer;
}

}  // namespace lumora::scriptrun
