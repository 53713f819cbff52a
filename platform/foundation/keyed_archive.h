// Stands in for the platform's keyed archiver with secure coding: objects are written as
// {class name, keyed fields} into a binary property list, and read back only into classes the
// caller allows.
//
// An archivable class derives from ArchivableObject: its className() is the name written, and
// encodeWithCoder() writes its fields. Reading takes the list of allowed classes, each with the
// function that builds an instance from its fields; an archive naming any other class, or whose
// root is not of the class asked for, is refused (kCoderReadCorruptError). Archived class names
// can be mapped to allowed ones (a class that was renamed). Plain values (numbers, strings,
// data, dates, lists, string-keyed maps) need no permission. Writing an object that is not
// archivable, or a value with no property-list form, fails with kCoderInvalidValueError.
//
// Archivers and unarchivers are short-lived, single-threaded objects used inside one call.
#pragma once

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/core/error.h"
#include "platform/core/value.h"

namespace platform {

class KeyedArchiver;
class KeyedUnarchiver;

class ArchivableObject : public Object {
 public:
  std::string className() const override = 0;
  virtual void encodeWithCoder(KeyedArchiver& coder) const = 0;
};

// One class an unarchiver may build: its name and how to build it from its fields. The
// function returns null (optionally after failWithError) when the fields do not make an object.
struct ArchiveClass {
  std::string name;
  std::function<ObjectPtr(KeyedUnarchiver&)> decode;
};

class KeyedArchiver {
 public:
  static std::optional<Bytes> archivedDataWithRootObject(const Value& root,
                                                         ErrorPtr* error = nullptr);

  // A null value writes nothing (reads back as absent).
  void encodeObject(const Value& value, std::string_view key);
  void encodeInteger(std::int64_t v, std::string_view key) { fields_[Value(key)] = v; }
  void encodeDouble(double v, std::string_view key) { fields_[Value(key)] = v; }
  void encodeBool(bool v, std::string_view key) { fields_[Value(key)] = v; }

 private:
  friend class KeyedArchiveAccess;
  Value encode(const Value& v, int depth);
  ValueMap fields_;
  ErrorPtr error_;
};

class KeyedUnarchiver {
 public:
  // The root value; objects anywhere in it must be of an allowed class.
  static std::optional<Value>
  unarchivedValue(const Bytes& data, const std::vector<ArchiveClass>& allowed,
                  ErrorPtr* error = nullptr,
                  const std::map<std::string, std::string>& renames = {});
  // The root object, which must be a T (and of an allowed class).
  template <class T>
  static std::shared_ptr<T>
  unarchivedObjectOfClass(const Bytes& data, const std::vector<ArchiveClass>& allowed,
                          ErrorPtr* error = nullptr,
                          const std::map<std::string, std::string>& renames = {}) {
    auto v = unarchivedValue(data, allowed, error, renames);
    if (!v) return nullptr;
    auto object = v->asObjectOf<T>();
    if (!object) failRoot(error);
    return object;
  }

  bool containsValueForKey(std::string_view key) const;
  // The value under `key` (objects decoded, classes checked); null when absent.
  Value decodeObjectForKey(std::string_view key);
  // Typed reads: absent gives nullopt / 0 / false; a value of another kind fails the whole
  // decoding (as secure decoding does) and gives the same.
  std::optional<std::string> decodeStringForKey(std::string_view key);
  std::optional<Date> decodeDateForKey(std::string_view key);
  std::optional<Bytes> decodeBytesForKey(std::string_view key);
  std::int64_t decodeIntegerForKey(std::string_view key);
  double decodeDoubleForKey(std::string_view key);
  bool decodeBoolForKey(std::string_view key);
  template <class T> std::shared_ptr<T> decodeObjectOfClass(std::string_view key) {
    Value v = decodeObjectForKey(key);
    if (v.isNull()) return nullptr;
    auto object = v.asObjectOf<T>();
    if (!object) failKind(key);
    return object;
  }

  void failWithError(ErrorPtr error);
  const ErrorPtr& error() const { return error_; }

 private:
  friend class KeyedArchiveAccess;
  KeyedUnarchiver(const std::vector<ArchiveClass>* allowed,
                  const std::map<std::string, std::string>* renames)
      : allowed_(allowed), renames_(renames) {}
  Value decode(const Value& encoded, int depth);
  void failKind(std::string_view key);
  static void failRoot(ErrorPtr* error);

  const std::vector<ArchiveClass>* allowed_;
  const std::map<std::string, std::string>* renames_;
  const ValueMap* fields_ = nullptr;
  int depth_ = 0;
  ErrorPtr error_;
};

}  // namespace platform
