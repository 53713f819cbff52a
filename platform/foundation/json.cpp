#include "platform/foundation/json.h"

#include <charconv>
#include <cmath>
#include <nlohmann/json.hpp>
#include <vector>

#include "platform/core/utf8.h"
#include "platform/foundation/foundation_errors.h"

namespace platform {

namespace {

// Builds a Value from parser events, refusing nesting past the bound before it happens.
class ValueBuilder {
 public:
  using json = nlohmann::json;
  explicit ValueBuilder(int maxDepth) : maxDepth_(maxDepth) {}

  bool null() { return put(Value()); }
  bool boolean(bool b) { return put(Value(b)); }
  bool number_integer(json::number_integer_t v) { return put(Value(static_cast<std::int64_t>(v))); }
  bool number_unsigned(json::number_unsigned_t v) {
    if (v > static_cast<json::number_unsigned_t>(INT64_MAX)) {
      return put(Value(static_cast<double>(v)));
    }
    return put(Value(static_cast<std::int64_t>(v)));
  }
  bool number_float(json::number_float_t v, const json::string_t&) {
    if (!std::isfinite(v)) return fail("number out of range");
    return put(Value(static_cast<double>(v)));
  }
  bool string(json::string_t& s) { return put(Value(std::move(s))); }
  bool binary(json::binary_t&) { return fail("binary value"); }
  bool start_object(std::size_t) { return open(Value::emptyMap()); }
  bool key(json::string_t& k) {
    key_ = std::move(k);
    return true;
  }
  bool end_object() { return close(); }
  bool start_array(std::size_t) { return open(Value::emptyList()); }
  bool end_array() { return close(); }
  bool parse_error(std::size_t position, const std::string&, const nlohmann::detail::exception& e) {
    return fail(std::string(e.what()) + " at byte " + std::to_string(position));
  }

  std::optional<Value> result() {
    if (!done_ || !error_.empty()) return std::nullopt;
    return std::move(root_);
  }
  const std::string& error() const { return error_; }

 private:
  struct Frame {
    Value container;
    std::string pendingKey;  // key under which this container goes into its parent
    // An object's members, made its map when it closes: an object of many keys out of order
    // must not cost an insertion into the middle of the map per key.
    ValueMap::container_type entries;
  };

  bool fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }

  bool put(Value v) {
    if (stack_.empty()) {
      root_ = std::move(v);
      done_ = true;
      return true;
    }
    Frame& top = stack_.back();
    if (top.container.isList())
      top.container.asList().push_back(std::move(v));
    else
      top.entries.emplace_back(Value(std::move(key_)), std::move(v));
    return true;
  }

  bool open(Value container) {
    if (static_cast<int>(stack_.size()) >= maxDepth_) return fail("nesting deeper than the limit");
    stack_.push_back({std::move(container), std::move(key_), {}});
    return true;
  }

  bool close() {
    Frame f = std::move(stack_.back());
    stack_.pop_back();
    // A repeated key keeps its last value.
    if (f.container.isMap()) f.container = Value(ValueMap::fromEntries(std::move(f.entries)));
    key_ = std::move(f.pendingKey);
    return put(std::move(f.container));
  }

  int maxDepth_;
  std::vector<Frame> stack_;
  std::string key_;
  Value root_;
  bool done_ = false;
  std::string error_;
};

class Writer {
 public:
  explicit Writer(const JSONWriteOptions& o) : o_(o) {}

  bool write(const Value& v, int depth) {
    if (depth > 512) return fail("nesting too deep");
    switch (v.kind()) {
    case ValueKind::Null:
      out_ += "null";
      return true;
    case ValueKind::Bool:
      out_ += v.asBool() ? "true" : "false";
      return true;
    case ValueKind::Int:
      out_ += std::to_string(v.asInt());
      return true;
    case ValueKind::Double:
      return number(v.asDouble());
    case ValueKind::String:
      return string(v.asString());
    case ValueKind::List: {
      const auto& list = v.asList();
      out_ += '[';
      bool first = true;
      for (const Value& item : list) {
        if (!first) out_ += ',';
        first = false;
        newline(depth + 1);
        if (!write(item, depth + 1)) return false;
      }
      if (!list.empty()) newline(depth);
      out_ += ']';
      return true;
    }
    case ValueKind::Map: {
      const auto& map = v.asMap();
      out_ += '{';
      bool first = true;
      for (const auto& [key, item] : map) {
        if (!key.isString()) return fail("an object key is not a string");
        if (!first) out_ += ',';
        first = false;
        newline(depth + 1);
        if (!string(key.asString())) return false;
        out_ += o_.prettyPrinted ? " : " : ":";
        if (!write(item, depth + 1)) return false;
      }
      if (!map.empty()) newline(depth);
      out_ += '}';
      return true;
    }
    default:
      return fail(std::string("a value of kind ") + valueKindName(v.kind()) + " has no JSON form");
    }
  }

  std::string take() { return std::move(out_); }
  const std::string& error() const { return error_; }

 private:
  bool fail(std::string why) {
    if (error_.empty()) error_ = std::move(why);
    return false;
  }

  void newline(int depth) {
    if (!o_.prettyPrinted) return;
    out_ += '\n';
    out_.append(static_cast<std::size_t>(depth) * 2, ' ');
  }

  bool number(double d) {
    if (!std::isfinite(d)) return fail("NaN or infinite number");
    if (d == std::trunc(d) && std::fabs(d) < 9007199254740992.0) {
      if (d == 0 && std::signbit(d)) {
        out_ += "-0";
      } else {
        out_ += std::to_string(static_cast<std::int64_t>(d));
      }
      return true;
    }
    char buf[64];
    auto res = std::to_chars(buf, buf + sizeof buf, d);
    out_.append(buf, res.ptr);
    return true;
  }

  bool string(const std::string& s) {
    if (!isValidUtf8(s)) return fail("a string is not valid UTF-8");
    out_ += '"';
    for (char ch : s) {
      auto c = static_cast<unsigned char>(ch);
      switch (ch) {
      case '"':
        out_ += "\\\"";
        break;
      case '\\':
        out_ += "\\\\";
        break;
      case '\n':
        out_ += "\\n";
        break;
      case '\r':
        out_ += "\\r";
        break;
      case '\t':
        out_ += "\\t";
        break;
      case '\b':
        out_ += "\\b";
        break;
      case '\f':
        out_ += "\\f";
        break;
      case '/':
        out_ += o_.escapeSlashes ? "\\/" : "/";
        break;
      default:
        if (c < 0x20) {
          char buf[8];
          std::snprintf(buf, sizeof buf, "\\u%04x", c);
          out_ += buf;
        } else {
          out_ += ch;
        }
      }
    }
    out_ += '"';
    return true;
  }

  const JSONWriteOptions& o_;
  std::string out_;
  std::string error_;
};

}  // namespace

std::optional<Value> JSONObjectWithData(std::string_view text, ErrorPtr* error,
                                        const JSONReadOptions& options) {
  auto refuse = [&](const std::string& why) -> std::optional<Value> {
    if (error)
      *error = foundationError(kPropertyListReadCorruptError, "The data is not valid JSON: " + why);
    return std::nullopt;
  };
  if (text.size() > options.maxBytes) return refuse("input larger than the limit");
  ValueBuilder builder(options.maxDepth);
  bool ok = false;
  try {
    ok = nlohmann::json::sax_parse(text.begin(), text.end(), &builder);
  } catch (const std::exception& e) {
    return refuse(e.what());
  }
  auto v = ok ? builder.result() : std::nullopt;
  if (!v) return refuse(builder.error().empty() ? "malformed input" : builder.error());
  if (!options.allowFragments && !v->isMap() && !v->isList()) {
    return refuse("the top level is not an object or an array");
  }
  return v;
}

std::optional<std::string> dataWithJSONObject(const Value& value, ErrorPtr* error,
                                              const JSONWriteOptions& options) {
  auto refuse = [&](const std::string& why) -> std::optional<std::string> {
    if (error) {
      *error = foundationError(kPropertyListWriteInvalidError,
                               "The value cannot be written as JSON: " + why);
    }
    return std::nullopt;
  };
  if (!options.allowFragments && !value.isMap() && !value.isList()) {
    return refuse("the top level is not an object or an array");
  }
  Writer writer(options);
  if (!writer.write(value, 0)) return refuse(writer.error());
  return writer.take();
}

bool isValidJSONObject(const Value& value) {
  return dataWithJSONObject(value).has_value();
}

}  // namespace platform
