#include "tools/script_run.h"

#include <cmath>
#include <stdexcept>
#include <unordered_set>
#include <vector>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/script/apmp_array_value.h"
#include "measurement/script/apmp_function_value.h"
#include "measurement/script/apmp_map_value.h"
#include "measurement/script/apmp_runtime.h"
#include "measurement/script/apmp_runtime_entity_converter.h"
#include "measurement/script/apmp_text.h"
#include "tools/peer_json.h"
#include "tools/script_run_editing.h"

namespace lumora::scriptrun {
namespace {

constexpr int kMaxJsonDepth = 1000;

enum EntityType : int32_t { kString = 1, kNumber = 2, kBoolean = 3, kStatement = 4 };
namespace field = apmpb_field::RuntimeEntity;

std::string utf8Text(const Json& node, const char* key) {
  if (!node[key].is_string())
    throw std::invalid_argument(std::string("\"") + key + "\" must be a string");
  return node[key].get<std::string>();
}

double numberOf(const Json& n) {
  if (n.is_number()) return n.get<double>();
  if (n.is_string()) {
    const std::string text = n.get<std::string>();
    if (text == "NaN") return std::nan("");
    if (text == "Infinity") return INFINITY;
    if (text == "-Infinity") return -INFINITY;
    if (text == "-0") return -0.0;
  }
  throw std::invalid_argument("a number must be a number or NaN, Infinity, -Infinity, -0");
}

std::shared_ptr<APMPBRuntimeEntity> entityFromJson(const Json& node, int depth);

void setOperands(APMPBRuntimeEntity& entity, const Json& args, int depth) {
  if (!args.is_array()) throw std::invalid_argument("\"args\" must be an array");
  platform::ValueList operands;
  for (const Json& arg : args) {
    operands.emplace_back(platform::ObjectPtr(entityFromJson(arg, depth + 1)));
  }
  NANOSetArray(&entity, field::kValue, &operands);
}

std::shared_ptr<APMPBRuntimeEntity> entityFromJson(const Json& node, int depth) {
  if (depth > kMaxJsonDepth) throw std::invalid_argument("program nested too deep");
  if (!node.is_object()) throw std::invalid_argument("a node must be an object");
  auto entity = APMPBRuntimeEntity::initWithMessageInfo();
  if (node.contains("s")) {
    NANOSetInt32(entity.get(), field::kType, kString);
    NANOSetString(entity.get(), field::kStringValue, utf8Text(node, "s"));
  } else if (node.contains("n")) {
    NANOSetInt32(entity.get(), field::kType, kNumber);
    NANOSetDouble(entity.get(), field::kNumberValue, numberOf(node["n"]));
  } else if (node.contains("b")) {
    if (!node["b"].is_boolean()) throw std::invalid_argument("\"b\" must be a boolean");
    NANOSetInt32(entity.get(), field::kType, kBoolean);
    NANOSetBool(entity.get(), field::kBooleanValue, node["b"].get<bool>());
  } else if (node.contains("op")) {
    NANOSetInt32(entity.get(), field::kType, kStatement);
    NANOSetString(entity.get(), field::kFunctionName, utf8Text(node, "op"));
    if (node.contains("args")) setOperands(*entity, node["args"], depth);
  } else if (node.contains("entity")) {
    const Json& e = node["entity"];
    if (!e.is_object()) throw std::invalid_argument("\"entity\" must be an object");
    if (e.contains("type")) {
      if (!e["type"].is_number_integer())
        throw std::invalid_argument("\"type\" must be an integer");
      NANOSetInt32(entity.get(), field::kType, e["type"].get<int32_t>());
    }
    if (e.contains("name")) NANOSetString(entity.get(), field::kFunctionName, utf8Text(e, "name"));
    if (e.contains("string"))
      NANOSetString(entity.get(), field::kStringValue, utf8Text(e, "string"));
    if (e.contains("bool")) {
      if (!e["bool"].is_boolean()) throw std::invalid_argument("\"bool\" must be a boolean");
      NANOSetBool(entity.get(), field::kBooleanValue, e["bool"].get<bool>());
    }
    if (e.contains("number"))
      NANOSetDouble(entity.get(), field::kNumberValue, numberOf(e["number"]));
    if (e.contains("args")) setOperands(*entity, e["args"], depth);
  } else {
    throw std::invalid_argument("a node needs one of \"s\", \"n\", \"b\", \"op\" or \"entity\"");
  }
  return entity;
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

platform::ValueList entitiesFromJson(const Json& nodes) {
  if (!nodes.is_array()) throw std::invalid_argument("a node list must be an array of nodes");
  platform::ValueList entities;
  for (const Json& node : nodes) {
    entities.emplace_back(platform::ObjectPtr(entityFromJson(node, 0)));
  }
  return entities;
}

std::shared_ptr<APMPBProgram> programFromJson(const Json& program) {
  if (!program.is_array()) throw std::invalid_argument("\"program\" must be an array of nodes");
  platform::ValueList instructions = entitiesFromJson(program);
  auto message = APMPBProgram::initWithMessageInfo();
  NANOSetArray(message.get(), apmpb_field::Program::kInstructions, &instructions);
  return message;
}

Json valueToJson(const APMPRuntimeValue& value) {
  std::unordered_set<const APMPRuntimeValue*> open;
  return toJson(value, open, 0);
}

namespace {

// Runs `program` in `runtime` (a fresh run: the instruction count starts at 0) and fills the
// answer's error, value, out and instructions.
void runIn(APMPRuntime& runtime, const APMPBProgram& program, Json& answer) {
  runtime.resetInstructionCount();
  APMPContext ctx(&runtime);
  APMPValueRef value = runtime.executeStatements(APMPProgramInstructions(program), ctx);
  if (ctx.failed()) {
    answer["error"] = Json{{"domain", ctx.errorDomain()}, {"code", ctx.errorCode()}};
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
  APMPContext conversion(&runtime);
  const std::optional<platform::Value> out =
      APMPRuntimeEntityConverter::objectFromRuntimeValue(*value, conversion);
  if (conversion.failed()) {
    answer["out"] = Json{{"error", conversion.errorCode()}};
  } else {
    answer["out"] =
        Json{{"value", Json::parse(lumora::peer::toJson(out ? *out : platform::Value()).dump())}};
  }
  answer["instructions"] = runtime.instructionCount();
}

Json run(const std::vector<std::shared_ptr<APMPBProgram>>& programs, int collections) {
  APMPRuntime runtime;
  Json answer;
  for (std::size_t i = 0; i < programs.size(); ++i) {
    if (i > 0) {
      // Between a load and the next run, as the editing engine does it: the values of the
      // earlier run that nothing reaches any more are emptied before the next one starts.
      for (int k = 0; k < collections; ++k)
        runtime.collectGarbage();
    }
    runIn(runtime, *programs[i], answer);
    if (!answer["error"].is_null()) break;
  }
  for (int k = 0; k < collections; ++k)
    runtime.collectGarbage();
  answer["tracked"] = runtime.objectManager().trackedValueCount();
  return answer;
}

}  // namespace

Json runRequest(const Json& request) {
  if (request.is_object() && request.contains("edit")) return runEditingRequest(request);
  std::vector<std::shared_ptr<APMPBProgram>> programs;
  int collections = 1;
  try {
    if (!request.is_object() || !request.contains("program")) {
      throw std::invalid_argument("a request is an object with \"program\"");
    }
    if (request.contains("collections")) {
      const Json& n = request["collections"];
      if (!n.is_number_integer() || n.get<std::int64_t>() < 1 || n.get<std::int64_t>() > 10000) {
        throw std::invalid_argument("\"collections\" must be an integer from 1 to 10000");
      }
      collections = n.get<int>();
    }
    for (const char* key : {"program", "then"}) {
      if (!request.contains(key)) continue;
      // The mirror takes the road of delivered bytes: encoded, then decoded.
      const std::optional<platform::Bytes> bytes = programFromJson(request[key])->protoBuffer();
      if (!bytes) return Json{{"inputError", "the program cannot be encoded"}};
      auto program = APMPBProgram::initWithBuffer(*bytes);
      if (!program) return Json{{"inputError", "the program cannot be decoded"}};
      programs.push_back(std::move(program));
    }
  } catch (const std::exception& e) {
    return Json{{"inputError", e.what()}};
  }
  return run(programs, collections);
}

Json runProgramBytes(const platform::Bytes& bytes) {
  auto program = APMPBProgram::initWithBuffer(bytes);
  if (!program) return Json{{"inputError", "the bytes are not a Program message"}};
  return run({std::move(program)}, 1);
}

}  // namespace lumora::scriptrun
