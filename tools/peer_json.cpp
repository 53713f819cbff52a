#include "tools/peer_json.h"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace lumora::peer {

using nlohmann::json;
using platform::Value;

bool ExtensionValue::isEqual(const platform::Object& other) const {
  auto o = dynamic_cast<const ExtensionValue*>(&other);
  return o && o->typeByte == typeByte && o->value == value;
}

std::strong_ordering ExtensionValue::compareObject(const platform::Object& other) const {
  auto o = dynamic_cast<const ExtensionValue*>(&other);
  if (!o) return platform::Object::compareObject(other);
  if (auto c = typeByte <=> o->typeByte; c != 0) return c;
  return value <=> o->value;
}

std::size_t ExtensionValue::hash() const {
  return value.hash() * 31 + typeByte;
}

std::string ExtensionValue::debugDescription() const {
  return "ext(" + std::to_string(typeByte) + ", " + value.debugString() + ")";
}

namespace {

class PeerWriter : public flutter::StandardWriter {
 public:
  using StandardWriter::StandardWriter;
  void writeValue(const Value& value) override {
    if (auto ext = value.asObjectOf<ExtensionValue>()) {
      writeByte(ext->typeByte);
      writeValue(ext->value);
      return;
    }
    StandardWriter::writeValue(value);
  }
};

class PeerReader : public flutter::StandardReader {
 public:
  using StandardReader::StandardReader;
  Value readValueOfType(std::uint8_t type) override {
    if (type >= 128) return Value(std::make_shared<ExtensionValue>(type, readValue()));
    return StandardReader::readValueOfType(type);
  }
};

class PeerReaderWriter : public flutter::StandardReaderWriter {
 public:
  std::unique_ptr<flutter::StandardWriter> writerWithData(platform::Bytes& data) const override {
    return std::make_unique<PeerWriter>(data);
  }
  std::unique_ptr<flutter::StandardReader>
  readerWithData(const platform::Bytes& data) const override {
    return std::make_unique<PeerReader>(data.data(), data.size());
  }
};

json doubleToJson(double d) {
  if (std::isnan(d)) return json{{"$double", "NaN"}};
  if (std::isinf(d)) return json{{"$double", d > 0 ? "Infinity" : "-Infinity"}};
  return json(d);
}

double doubleFromJson(const json& j, const char* where) {
  if (j.is_number_float()) return j.get<double>();
  if (j.is_number_integer()) return static_cast<double>(j.get<std::int64_t>());
  if (j.is_string()) {
    auto s = j.get<std::string>();
    if (s == "NaN") return std::numeric_limits<double>::quiet_NaN();
    if (s == "Infinity") return std::numeric_limits<double>::infinity();
    if (s == "-Infinity") return -std::numeric_limits<double>::infinity();
  }
  throw std::invalid_argument(std::string(where) + ": not a number: " + j.dump());
}

std::int64_t integerFromJson(const json& j, const char* where) {
  if (j.is_number_integer() &&
      !(j.is_number_unsigned() &&
        j.get<std::uint64_t>() > std::uint64_t(std::numeric_limits<std::int64_t>::max()))) {
    return j.get<std::int64_t>();
  }
  throw std::invalid_argument(std::string(where) + ": not a 64-bit integer: " + j.dump());
}

template <class List, class Convert>
Value listFromJson(const json& j, const char* where, Convert convert) {
  if (!j.is_array()) throw std::invalid_argument(std::string(where) + " needs an array");
  List list;
  for (const auto& e : j)
    list.push_back(convert(e, where));
  return Value(std::move(list));
}

}  // namespace

std::shared_ptr<const flutter::StandardMessageCodec> peerCodec() {
  static const auto codec =
      flutter::StandardMessageCodec::codecWithReaderWriter(std::make_shared<PeerReaderWriter>());
  return codec;
}

std::shared_ptr<const flutter::StandardMethodCodec> peerMethodCodec() {
  static const auto codec =
      flutter::StandardMethodCodec::codecWithReaderWriter(std::make_shared<PeerReaderWriter>());
  return codec;
}

std::string toHex(const platform::Bytes& bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (auto b : bytes) {
    out.push_back(digits[b >> 4]);
    out.push_back(digits[b & 15]);
  }
  return out;
}

std::optional<platform::Bytes> fromHex(const std::string& text) {
  platform::Bytes out;
  int high = -1;
  for (char c : text) {
    if (c == ' ') continue;
    int v;
    if (c >= '0' && c <= '9') {
      v = c - '0';
    } else if (c >= 'a' && c <= 'f') {
      v = c - 'a' + 10;
    } else if (c >= 'A' && c <= 'F') {
      v = c - 'A' + 10;
    } else {
      return std::nullopt;
    }
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high << 4 | v));
      high = -1;
    }
  }
  if (high >= 0) return std::nullopt;
  return out;
}

json toJson(const Value& value) {
  using platform::ValueKind;
  switch (value.kind()) {
  case ValueKind::Null:
    return nullptr;
  case ValueKind::Bool:
    return value.asBool();
  case ValueKind::Int:
    return value.asInt();
  case ValueKind::Double:
    return doubleToJson(value.asDouble());
  case ValueKind::String:
    return value.asString();
  case ValueKind::Bytes:
    return json{{"$uint8", toHex(value.asBytes())}};
  case ValueKind::Int32List:
    return json{{"$int32", *value.ifInt32List()}};
  case ValueKind::Int64List:
    return json{{"$int64", *value.ifInt64List()}};
  case ValueKind::Float32List: {
    json a = json::array();
    for (float f : *value.ifFloat32List()) {
      json e = doubleToJson(f);
      a.push_back(e.is_object() ? e["$double"] : e);
    }
    return json{{"$float32", a}};
  }
  case ValueKind::Float64List: {
    json a = json::array();
    for (double d : *value.ifFloat64List()) {
      json e = doubleToJson(d);
      a.push_back(e.is_object() ? e["$double"] : e);
    }
    return json{{"$float64", a}};
  }
  case ValueKind::List: {
    json a = json::array();
    for (const auto& e : value.asList())
      a.push_back(toJson(e));
    return a;
  }
  case ValueKind::Map: {
    bool plain = true;
    for (const auto& [k, v] : value.asMap()) {
      if (!k.isString() || (!k.asString().empty() && k.asString()[0] == '$')) plain = false;
    }
    if (plain) {
      json o = json::object();
      for (const auto& [k, v] : value.asMap())
        o[k.asString()] = toJson(v);
      return o;
    }
    json pairs = json::array();
    for (const auto& [k, v] : value.asMap())
      pairs.push_back(json::array({toJson(k), toJson(v)}));
    return json{{"$map", pairs}};
  }
  case ValueKind::Object:
    if (auto ext = value.asObjectOf<ExtensionValue>()) {
      return json{{"$ext", ext->typeByte}, {"value", toJson(ext->value)}};
    }
    break;
  case ValueKind::Date:
  case ValueKind::Error:
    break;
  }
  return json{{"$unsupported", value.debugString()}};
}

Value fromJson(const json& j) {
  switch (j.type()) {
  case json::value_t::null:
    return Value();
  case json::value_t::boolean:
    return Value(j.get<bool>());
  case json::value_t::number_integer:
  case json::value_t::number_unsigned:
    return Value(integerFromJson(j, "integer"));
  case json::value_t::number_float:
    return Value(j.get<double>());
  case json::value_t::string:
    return Value(j.get<std::string>());
  case json::value_t::array: {
    platform::ValueList list;
    for (const auto& e : j)
      list.push_back(fromJson(e));
    return Value(std::move(list));
  }
  case json::value_t::object:
    break;
  default:
    throw std::invalid_argument("unsupported JSON value: " + j.dump());
  }
  // Tagged forms have exactly their tag (and "value" for $ext); other objects are string maps.
  if (j.size() == 1 && j.begin().key().rfind("$", 0) == 0) {
    const std::string& tag = j.begin().key();
    const json& body = j.begin().value();
    if (tag == "$double") return Value(doubleFromJson(body, "$double"));
    if (tag == "$uint8") {
      auto bytes = body.is_string() ? fromHex(body.get<std::string>()) : std::nullopt;
      if (!bytes) throw std::invalid_argument("$uint8 needs a hex string");
      return Value(std::move(*bytes));
    }
    if (tag == "$int32") {
      return listFromJson<platform::Int32List>(body, "$int32", [](const json& e, const char* w) {
        std::int64_t v = integerFromJson(e, w);
        if (v < std::numeric_limits<std::int32_t>::min() ||
            v > std::numeric_limits<std::int32_t>::max()) {
          throw std::invalid_argument("$int32: out of range: " + e.dump());
        }
        return static_cast<std::int32_t>(v);
      });
    }
    if (tag == "$int64") return listFromJson<platform::Int64List>(body, "$int64", integerFromJson);
    if (tag == "$float32") {
      return listFromJson<platform::Float32List>(
          body, "$float32",
          [](const json& e, const char* w) { return static_cast<float>(doubleFromJson(e, w)); });
    }
    if (tag == "$float64")
      return listFromJson<platform::Float64List>(body, "$float64", doubleFromJson);
    if (tag == "$map") {
      if (!body.is_array()) throw std::invalid_argument("$map needs an array of pairs");
      platform::ValueMap map;
      for (const auto& pair : body) {
        if (!pair.is_array() || pair.size() != 2) {
          throw std::invalid_argument("$map: each entry must be [key, value]");
        }
        map.insert_or_assign(fromJson(pair[0]), fromJson(pair[1]));
      }
      return Value(std::move(map));
    }
    throw std::invalid_argument("unknown tagged form " + tag);
  }
  if (j.size() == 2 && j.contains("$ext") && j.contains("value")) {
    std::int64_t type = integerFromJson(j["$ext"], "$ext");
    if (type < 128 || type > 255) throw std::invalid_argument("$ext: type byte must be 128..255");
    return Value(
        std::make_shared<ExtensionValue>(static_cast<std::uint8_t>(type), fromJson(j["value"])));
  }
  platform::ValueMap map;
  for (auto it = j.begin(); it != j.end(); ++it) {
    if (it.key().rfind("$", 0) == 0) {
      throw std::invalid_argument("keys starting with $ need the $map form: " + it.key());
    }
    map[Value(it.key())] = fromJson(it.value());
  }
  return Value(std::move(map));
}

}  // namespace lumora::peer
