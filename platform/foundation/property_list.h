// Stands in for the platform's property-list serialisation: XML and binary ("bplist00")
// property lists to and from platform::Value.
//
// Property-list kinds map onto Value kinds: dictionary = Map with string keys, array = List,
// string = String, integer = Int, real = Double, boolean = Bool, date = Date, data = Bytes.
// Nothing else (null, typed lists, errors, objects, non-string keys, text that is not UTF-8) can
// be written; such a value is refused with kPropertyListWriteInvalidError. Reading accepts both
// formats, checks every offset, reference, length and nesting level, and reports anything that
// is not a well-formed property list as kPropertyListReadCorruptError, never a crash. XML keeps
// dates to the whole second (as its text form does); binary keeps them exactly.
//
// Stateless functions, safe from any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "platform/core/error.h"
#include "platform/core/value.h"

namespace platform {

enum class PropertyListFormat { Xml, Binary };

// Deepest nesting of arrays and dictionaries read or written.
inline constexpr int kPropertyListMaxDepth = 256;

// A binary list may share one object among many references, and each reference is read as a
// copy. Reading stops with kPropertyListReadCorruptError once the decoded value would take
// roughly more than this many times the input's size (but never less than the minimum), so a
// small file cannot expand into gigabytes.
inline constexpr std::uint64_t kPropertyListExpansionFactor = 64;
inline constexpr std::uint64_t kPropertyListMinimumExpansionBudget = 8u << 20;

// Empty when `value` can be stored in a property list, else the reason it cannot.
std::string propertyListProblem(const Value& value);
inline bool isPropertyListValue(const Value& value) {
  return propertyListProblem(value).empty();
}

std::optional<Value> propertyListFromData(const Bytes& data, ErrorPtr* error = nullptr,
                                          PropertyListFormat* format = nullptr);
std::optional<Bytes> dataFromPropertyList(const Value& value, PropertyListFormat format,
                                          ErrorPtr* error = nullptr);

// File forms; writing replaces the file atomically.
std::optional<Value> readPropertyListFile(const std::string& path, ErrorPtr* error = nullptr,
                                          PropertyListFormat* format = nullptr);
bool writePropertyListFile(const std::string& path, const Value& value, PropertyListFormat format,
                           ErrorPtr* error = nullptr);

}  // namespace platform
