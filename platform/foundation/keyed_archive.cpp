#include "platform/foundation/keyed_archive.h"

#include "platform/foundation/foundation_errors.h"
#include "platform/foundation/property_list.h"

namespace platform {

namespace {

constexpr const char* kArchiverName = "LumoraKeyedArchiver";
constexpr const char* kClassKey = "$class";
constexpr const char* kFieldsKey = "$fields";
constexpr const char* kMapClass = "$map";
constexpr int kMaxDepth = 64;

ErrorPtr readError(const std::string& why) {
  return foundationError(kCoderReadCorruptError, "The archive could not be read: " + why);
}

ErrorPtr writeError(const std::string& why) {
  return foundationError(kCoderInvalidValueError, "The value could not be archived: " + why);
}

}  // namespace

// Reaches the private encode/decode steps from the static entry points.
class KeyedArchiveAccess {
 public:
  static Value encode(KeyedArchiver& a, const Value& v) { return a.encode(v, 0); }
  static ErrorPtr archiverError(const KeyedArchiver& a) { return a.error_; }
  static Value decode(KeyedUnarchiver& u, const Value& v) { return u.decode(v, 0); }
  static KeyedUnarchiver make(const std::vector<ArchiveClass>* allowed,
                              const std::map<std::string, std::string>* renames) {
    return KeyedUnarchiver(allowed, renames);
  }
};

// ---------------------------------------------------------------------------------------------

Value KeyedArchiver::encode(const Value& v, int depth) {
  if (error_) return Value();
  if (depth > kMaxDepth) {
    error_ = writeError("nesting is too deep");
    return Value();
  }
  switch (v.kind()) {
  case ValueKind::Bool:
  case ValueKind::Int:
  case ValueKind::Double:
  case ValueKind::String:
  case ValueKind::Bytes:
  case ValueKind::Date:
    return v;
  case ValueKind::List: {
    ValueList out;
    for (const Value& item : v.asList()) {
      if (item.isNull()) {
        error_ = writeError("a list holds a null value");
        return Value();
      }
      out.push_back(encode(item, depth + 1));
    }
    return Value(std::move(out));
  }
  case ValueKind::Map: {
    ValueMap fields;
    for (const auto& [key, item] : v.asMap()) {
      if (!key.isString()) {
        error_ = writeError("a map key is not a string");
        return Value();
      }
      if (!item.isNull()) fields[key] = encode(item, depth + 1);
    }
    return Value::map({{kClassKey, kMapClass}, {kFieldsKey, Value(std::move(fields))}});
  }
  case ValueKind::Object: {
    auto object = std::dynamic_pointer_cast<ArchivableObject>(v.asObject());
    if (!object) {
      std::string name = v.asObject() ? v.asObject()->className() : "null";
      error_ = writeError("class " + name + " cannot be archived");
      return Value();
    }
    KeyedArchiver nested;
    object->encodeWithCoder(nested);
    if (nested.error_) {
      error_ = nested.error_;
      return Value();
    }
    ValueMap fields;
    for (const auto& [key, item] : nested.fields_)
      fields[key] = encode(item, depth + 1);
    return Value::map({{kClassKey, object->className()}, {kFieldsKey, Value(std::move(fields))}});
  }
  default:
    error_ = writeError(std::string("a value of kind ") + valueKindName(v.kind()) +
                        " cannot be archived");
    return Value();
  }
}

void KeyedArchiver::encodeObject(const Value& value, std::string_view key) {
  if (!value.isNull()) fields_[Value(key)] = value;
}

std::optional<Bytes> KeyedArchiver::archivedDataWithRootObject(const Value& root, ErrorPtr* error) {
  if (root.isNull()) {
    if (error) *error = writeError("the root is null");
    return std::nullopt;
  }
  KeyedArchiver archiver;
  Value encoded = KeyedArchiveAccess::encode(archiver, root);
  if (auto e = KeyedArchiveAccess::archiverError(archiver)) {
    if (error) *error = e;
    return std::nullopt;
  }
  Value archive = Value::map(
      {{"$archiver", kArchiverName}, {"$version", 1}, {"$top", Value::map({{"root", encoded}})}});
  ErrorPtr plistError;
  auto data = dataFromPropertyList(archive, PropertyListFormat::Binary, &plistError);
  if (!data && error) *error = writeError(plistError->localizedDescription());
  return data;
}

// ---------------------------------------------------------------------------------------------

std::optional<Value>
KeyedUnarchiver::unarchivedValue(const Bytes& data, const std::vector<ArchiveClass>& allowed,
                                 ErrorPtr* error,
                                 const std::map<std::string, std::string>& renames) {
  auto fail = [&](ErrorPtr e) -> std::optional<Value> {
    if (error) *error = std::move(e);
    return std::nullopt;
  };
  ErrorPtr plistError;
  auto archive = propertyListFromData(data, &plistError);
  if (!archive) return fail(readError(plistError->localizedDescription()));
  const Value* archiver = archive->find("$archiver");
  const Value* top = archive->find("$top");
  if (!archiver || *archiver != Value(kArchiverName) || !top || !top->isMap()) {
    return fail(readError("not a keyed archive"));
  }
  const Value* root = top->find("root");
  if (!root)
    return fail(foundationError(kCoderValueNotFoundError, "The archive has no root object"));
  KeyedUnarchiver unarchiver = KeyedArchiveAccess::make(&allowed, &renames);
  Value decoded = KeyedArchiveAccess::decode(unarchiver, *root);
  if (unarchiver.error_) return fail(unarchiver.error_);
  return decoded;
}

Value KeyedUnarchiver::decode(const Value& encoded, int depth) {
  if (error_) return Value();
  if (depth > kMaxDepth) {
    failWithError(readError("nesting is too deep"));
    return Value();
  }
  if (encoded.isList()) {
    ValueList out;
    for (const Value& item : encoded.asList()) {
      out.push_back(decode(item, depth + 1));
      if (error_) return Value();
    }
    return Value(std::move(out));
  }
  if (!encoded.isMap()) return encoded;  // plain property-list value
  const Value* cls = encoded.find(kClassKey);
  const Value* fields = encoded.find(kFieldsKey);
  if (!cls || !cls->isString() || !fields || !fields->isMap()) {
    failWithError(readError("an entry has no class"));
    return Value();
  }
  if (cls->asString() == kMapClass) {
    ValueMap out;
    for (const auto& [key, item] : fields->asMap()) {
      out[key] = decode(item, depth + 1);
      if (error_) return Value();
    }
    return Value(std::move(out));
  }
  std::string name = cls->asString();
  if (auto it = renames_->find(name); it != renames_->end()) name = it->second;
  const ArchiveClass* allowedClass = nullptr;
  for (const auto& c : *allowed_) {
    if (c.name == name) allowedClass = &c;
  }
  if (!allowedClass || !allowedClass->decode) {
    failWithError(readError("class " + cls->asString() + " is not allowed"));
    return Value();
  }
  // Decode the object's own fields with a nested view over them.
  const ValueMap* savedFields = fields_;
  int savedDepth = depth_;
  fields_ = &fields->asMap();
  depth_ = depth;
  ObjectPtr object;
  try {
    object = allowedClass->decode(*this);
  } catch (const std::exception& e) {
    failWithError(readError(std::string("decoding ") + name + " threw: " + e.what()));
  }
  fields_ = savedFields;
  depth_ = savedDepth;
  if (error_) return Value();
  if (!object) {
    failWithError(readError("class " + name + " refused its fields"));
    return Value();
  }
  return Value(object);
}

bool KeyedUnarchiver::containsValueForKey(std::string_view key) const {
  return fields_ && fields_->count(Value(key)) > 0;
}

Value KeyedUnarchiver::decodeObjectForKey(std::string_view key) {
  if (!fields_ || error_) return Value();
  auto it = fields_->find(Value(key));
  if (it == fields_->end()) return Value();
  return decode(it->second, depth_ + 1);
}

void KeyedUnarchiver::failKind(std::string_view key) {
  failWithError(readError("the value for \"" + std::string(key) + "\" is of the wrong kind"));
}

void KeyedUnarchiver::failRoot(ErrorPtr* error) {
  if (error) *error = readError("the root object is not of the expected class");
}

void KeyedUnarchiver::failWithError(ErrorPtr error) {
  if (!error_) error_ = std::move(error);
}

std::optional<std::string> KeyedUnarchiver::decodeStringForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (v.isNull()) return std::nullopt;
  if (!v.isString()) {
    failKind(key);
    return std::nullopt;
  }
  return v.asString();
}

std::optional<Date> KeyedUnarchiver::decodeDateForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (v.isNull()) return std::nullopt;
  if (!v.isDate()) {
    failKind(key);
    return std::nullopt;
  }
  return v.asDate();
}

std::optional<Bytes> KeyedUnarchiver::decodeBytesForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (v.isNull()) return std::nullopt;
  if (!v.isBytes()) {
    failKind(key);
    return std::nullopt;
  }
  return v.asBytes();
}

std::int64_t KeyedUnarchiver::decodeIntegerForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (v.isNull()) return 0;
  if (auto i = v.ifInt()) return *i;
  if (auto b = v.ifBool()) return *b ? 1 : 0;
  failKind(key);
  return 0;
}

double KeyedUnarchiver::decodeDoubleForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (v.isNull()) return 0;
  double d = 0;
  if (v.isNumber() && v.toDouble(&d)) return d;
  failKind(key);
  return 0;
}

bool KeyedUnarchiver::decodeBoolForKey(std::string_view key) {
  Value v = decodeObjectForKey(key);
  if (v.isNull()) return false;
  if (auto b = v.ifBool()) return *b;
  if (auto i = v.ifInt()) return *i != 0;
  failKind(key);
  return false;
}

}  // namespace platform
