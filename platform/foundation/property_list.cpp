#include "platform/foundation/property_list.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <set>
#include <string_view>

#include "platform/core/base64.h"
#include "platform/foundation/date_format.h"
#include "platform/foundation/file_manager.h"
#include "platform/foundation/foundation_errors.h"

namespace platform {

namespace {

// ---------------------------------------------------------------------------------------------
// UTF-8 helpers

// Decodes one code point; returns false on malformed, overlong or surrogate sequences.
bool nextCodePoint(std::string_view s, std::size_t* i, char32_t* cp) {
  auto b0 = static_cast<unsigned char>(s[*i]);
  int len = b0 < 0x80 ? 1 : (b0 >> 5) == 6 ? 2 : (b0 >> 4) == 14 ? 3 : (b0 >> 3) == 30 ? 4 : 0;
  if (len == 0 || *i + len > s.size()) return false;
  char32_t c = len == 1 ? b0 : len == 2 ? (b0 & 0x1F) : len == 3 ? (b0 & 0x0F) : (b0 & 0x07);
  for (int k = 1; k < len; ++k) {
    auto b = static_cast<unsigned char>(s[*i + k]);
    if ((b & 0xC0) != 0x80) return false;
    c = (c << 6) | (b & 0x3F);
  }
  static const char32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
  if (c < kMin[len] || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return false;
  *i += len;
  *cp = c;
  return true;
}

bool isValidUtf8(std::string_view s) {
  std::size_t i = 0;
  char32_t cp;
  while (i < s.size()) {
    if (!nextCodePoint(s, &i, &cp)) return false;
  }
  return true;
}

void appendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

void setError(ErrorPtr* out, ErrorPtr e) {
  if (out) *out = std::move(e);
}

ErrorPtr corrupt(const std::string& why) {
  return foundationError(kPropertyListReadCorruptError, "The data is not a property list: " + why);
}

// ---------------------------------------------------------------------------------------------
// Validation

std::string problemAt(const Value& v, int depth) {
  if (depth > kPropertyListMaxDepth) return "nesting is too deep";
  switch (v.kind()) {
  case ValueKind::Bool:
  case ValueKind::Int:
  case ValueKind::Double:
  case ValueKind::Bytes:
  case ValueKind::Date:
    return {};
  case ValueKind::String:
    return isValidUtf8(v.asString()) ? std::string() : "a string is not valid UTF-8";
  case ValueKind::List:
    for (const Value& item : v.asList()) {
      if (auto p = problemAt(item, depth + 1); !p.empty()) return p;
    }
    return {};
  case ValueKind::Map:
    for (const auto& [key, item] : v.asMap()) {
      if (!key.isString()) return "a dictionary key is not a string";
      if (!isValidUtf8(key.asString())) return "a dictionary key is not valid UTF-8";
      if (auto p = problemAt(item, depth + 1); !p.empty()) return p;
    }
    return {};
  default:
    return std::string("a value of kind ") + valueKindName(v.kind()) + " has no property-list form";
  }
}

// ---------------------------------------------------------------------------------------------
// XML writer

void xmlEscape(std::string& out, std::string_view s) {
  for (char ch : s) {
    auto c = static_cast<unsigned char>(ch);
    switch (ch) {
    case '&':
      out += "&amp;";
      break;
    case '<':
      out += "&lt;";
      break;
    case '>':
      out += "&gt;";
      break;
    default:
      if (c < 0x20 && ch != '\t' && ch != '\n' && ch != '\r') {
        // Not allowed raw in XML; a character reference keeps the text intact for our reader.
        out += "&#" + std::to_string(c) + ";";
      } else {
        out += ch;
      }
    }
  }
}

std::string realText(double d) {
  if (std::isnan(d)) return "nan";
  if (std::isinf(d)) return d > 0 ? "+infinity" : "-infinity";
  char buf[64];
  auto res = std::to_chars(buf, buf + sizeof buf, d);
  std::string s(buf, res.ptr);
  return s;
}

void writeXml(std::string& out, const Value& v, int indent) {
  std::string pad(indent, '\t');
  switch (v.kind()) {
  case ValueKind::Bool:
    out += pad + (v.asBool() ? "<true/>\n" : "<false/>\n");
    break;
  case ValueKind::Int:
    out += pad + "<integer>" + std::to_string(v.asInt()) + "</integer>\n";
    break;
  case ValueKind::Double:
    out += pad + "<real>" + realText(v.asDouble()) + "</real>\n";
    break;
  case ValueKind::String:
    out += pad + "<string>";
    xmlEscape(out, v.asString());
    out += "</string>\n";
    break;
  case ValueKind::Bytes:
    out += pad + "<data>" + base64Encode(v.asBytes()) + "</data>\n";
    break;
  case ValueKind::Date:
    out += pad + "<date>" + iso8601String(v.asDate()) + "</date>\n";
    break;
  case ValueKind::List:
    if (v.asList().empty()) {
      out += pad + "<array/>\n";
      break;
    }
    out += pad + "<array>\n";
    for (const Value& item : v.asList())
      writeXml(out, item, indent + 1);
    out += pad + "</array>\n";
    break;
  case ValueKind::Map:
    if (v.asMap().empty()) {
      out += pad + "<dict/>\n";
      break;
    }
    out += pad + "<dict>\n";
    for (const auto& [key, item] : v.asMap()) {
      out += pad + "\t<key>";
      xmlEscape(out, key.asString());
      out += "</key>\n";
      writeXml(out, item, indent + 1);
    }
    out += pad + "</dict>\n";
    break;
  default:
    break;  // refused before writing
  }
}

// ---------------------------------------------------------------------------------------------
// XML reader: the property-list vocabulary only, no external entities, bounded depth.

class XmlReader {
 public:
  explicit XmlReader(std::string_view text) : s_(text) {}

  std::optional<Value> parse(std::string* why) {
    if (s_.substr(0, 3) == "\xEF\xBB\xBF") pos_ = 3;
    skipMisc();
    bool wrapped = false;
    if (peekTagName() == "plist") {
      std::string name;
      bool selfClosing = false;
      if (!readOpenTag(&name, &selfClosing) || selfClosing) return fail(why, "empty plist");
      wrapped = true;
      skipMisc();
    }
    auto v = parseValue(0);
    if (!v) return fail(why, error_);
    skipMisc();
    if (wrapped && !readCloseTag("plist")) return fail(why, "missing </plist>");
    skipMisc();
    if (pos_ != s_.size()) return fail(why, "content after the root element");
    return v;
  }

 private:
  std::optional<Value> fail(std::string* why, const std::string& what) {
    *why = what.empty() ? "malformed XML" : what;
    return std::nullopt;
  }

  bool startsWith(std::string_view p) const { return s_.substr(pos_, p.size()) == p; }

  void skipSpace() {
    while (pos_ < s_.size() &&
           (s_[pos_] == ' ' || s_[pos_] == '\t' || s_[pos_] == '\n' || s_[pos_] == '\r')) {
      ++pos_;
    }
  }

  // Whitespace, comments, the XML declaration and the document type.
  void skipMisc() {
    for (;;) {
      skipSpace();
      std::string_view end;
      if (startsWith("<?"))
        end = "?>";
      else if (startsWith("<!--"))
        end = "-->";
      else if (startsWith("<!DOCTYPE"))
        end = ">";
      else
        return;
      auto e = s_.find(end, pos_);
      if (e == std::string_view::npos) {
        pos_ = s_.size();
        return;
      }
      pos_ = e + end.size();
    }
  }

  std::string_view peekTagName() const {
    if (pos_ >= s_.size() || s_[pos_] != '<') return {};
    std::size_t i = pos_ + 1, start = i;
    while (i < s_.size() && (std::isalnum(static_cast<unsigned char>(s_[i]))))
      ++i;
    return s_.substr(start, i - start);
  }

  bool readOpenTag(std::string* name, bool* selfClosing) {
    if (pos_ >= s_.size() || s_[pos_] != '<') return false;
    std::size_t i = pos_ + 1, start = i;
    while (i < s_.size() && std::isalnum(static_cast<unsigned char>(s_[i])))
      ++i;
    if (i == start) return false;
    *name = std::string(s_.substr(start, i - start));
    // Attributes (plist version="1.0") are skipped; quoted values may hold '>'.
    char quote = 0;
    for (; i < s_.size(); ++i) {
      char c = s_[i];
      if (quote) {
        if (c == quote) quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '>') {
        *selfClosing = s_[i - 1] == '/';
        pos_ = i + 1;
        return true;
      }
    }
    return false;
  }

  bool readCloseTag(std::string_view name) {
    std::string tag = "</" + std::string(name);
    if (!startsWith(tag)) return false;
    pos_ += tag.size();
    skipSpace();
    if (pos_ >= s_.size() || s_[pos_] != '>') return false;
    ++pos_;
    return true;
  }

  // Character data up to the closing tag, with entities and CDATA sections resolved.
  bool readText(std::string_view name, std::string* out) {
    for (;;) {
      if (pos_ >= s_.size()) return false;
      char c = s_[pos_];
      if (c == '<') {
        if (startsWith("<![CDATA[")) {
          auto e = s_.find("]]>", pos_);
          if (e == std::string_view::npos) return false;
          out->append(s_.substr(pos_ + 9, e - pos_ - 9));
          pos_ = e + 3;
          continue;
        }
        if (startsWith("<!--")) {
          auto e = s_.find("-->", pos_);
          if (e == std::string_view::npos) return false;
          pos_ = e + 3;
          continue;
        }
        return readCloseTag(name);
      }
      if (c == '&') {
        auto e = s_.find(';', pos_);
        if (e == std::string_view::npos || e - pos_ > 12) return false;
        std::string_view ent = s_.substr(pos_ + 1, e - pos_ - 1);
        if (ent == "lt")
          *out += '<';
        else if (ent == "gt")
          *out += '>';
        else if (ent == "amp")
          *out += '&';
        else if (ent == "quot")
          *out += '"';
        else if (ent == "apos")
          *out += '\'';
        else if (ent.size() > 1 && ent[0] == '#') {
          std::uint32_t cp = 0;
          bool hex = ent[1] == 'x' || ent[1] == 'X';
          auto digits = ent.substr(hex ? 2 : 1);
          auto res =
              std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
          if (digits.empty() || res.ec != std::errc() || res.ptr != digits.data() + digits.size() ||
              cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            return false;
          }
          appendUtf8(*out, cp);
        } else {
          return false;
        }
        pos_ = e + 1;
        continue;
      }
      out->push_back(c);
      ++pos_;
    }
  }

  static std::string_view trim(std::string_view t) {
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.front())))
      t.remove_prefix(1);
    while (!t.empty() && std::isspace(static_cast<unsigned char>(t.back())))
      t.remove_suffix(1);
    return t;
  }

  std::optional<Value> parseValue(int depth) {
    if (depth > kPropertyListMaxDepth) return err("nesting is too deep");
    std::string name;
    bool selfClosing = false;
    std::size_t at = pos_;
    if (!readOpenTag(&name, &selfClosing)) return err("expected an element");
    if (name == "true" || name == "false") {
      if (!selfClosing && !readCloseTag(name)) return err("bad <" + name + ">");
      return Value(name == "true");
    }
    if (name == "dict") {
      // Collected, then made a map in one go: a dictionary of many keys out of order must not
      // cost an insertion into the middle of the map per key.
      ValueMap::container_type entries;
      if (selfClosing) return Value(ValueMap());
      for (;;) {
        skipMisc();
        if (readCloseTag("dict")) return Value(ValueMap::fromEntries(std::move(entries)));
        std::string keyTag;
        bool keyEmpty = false;
        std::string key;
        if (!readOpenTag(&keyTag, &keyEmpty) || keyTag != "key") return err("expected <key>");
        if (!keyEmpty && !readText("key", &key)) return err("bad <key>");
        // The writers refuse such a key, so a list holding one could never be written back.
        if (!isValidUtf8(key)) return err("a dictionary key is not valid UTF-8");
        skipMisc();
        if (startsWith("</dict")) return err("a key without a value");
        auto item = parseValue(depth + 1);
        if (!item) return std::nullopt;
        entries.emplace_back(Value(std::move(key)), std::move(*item));
      }
    }
    if (name == "array") {
      ValueList list;
      if (selfClosing) return Value(std::move(list));
      for (;;) {
        skipMisc();
        if (readCloseTag("array")) return Value(std::move(list));
        auto item = parseValue(depth + 1);
        if (!item) return std::nullopt;
        list.push_back(std::move(*item));
      }
    }
    std::string text;
    if (!selfClosing && !readText(name, &text))
      return err("bad <" + name + "> at " + std::to_string(at));
    if (name == "string") {
      if (!isValidUtf8(text)) return err("a string is not valid UTF-8");
      return Value(std::move(text));
    }
    if (name == "integer") {
      auto t = trim(text);
      bool negative = !t.empty() && t[0] == '-';
      if (!t.empty() && (t[0] == '-' || t[0] == '+')) t.remove_prefix(1);
      int base = 10;
      if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.remove_prefix(2);
      }
      std::uint64_t magnitude = 0;
      auto res = std::from_chars(t.data(), t.data() + t.size(), magnitude, base);
      if (t.empty() || res.ec != std::errc() || res.ptr != t.data() + t.size()) {
        return err("bad <integer>");
      }
      if (negative ? magnitude > (std::uint64_t{1} << 63)
                   : magnitude > static_cast<std::uint64_t>(INT64_MAX)) {
        return err("<integer> out of range");
      }
      return Value(negative ? static_cast<std::int64_t>(0 - magnitude)
                            : static_cast<std::int64_t>(magnitude));
    }
    if (name == "real") {
      auto t = trim(text);
      std::string lower;
      for (char c : t)
        lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (lower == "nan") return Value(std::nan(""));
      if (lower == "+infinity" || lower == "infinity" || lower == "inf" || lower == "+inf") {
        return Value(HUGE_VAL);
      }
      if (lower == "-infinity" || lower == "-inf") return Value(-HUGE_VAL);
      if (!t.empty() && t[0] == '+') t.remove_prefix(1);
      double d = 0;
      auto res = std::from_chars(t.data(), t.data() + t.size(), d);
      if (t.empty() || res.ec != std::errc() || res.ptr != t.data() + t.size()) {
        return err("bad <real>");
      }
      return Value(d);
    }
    if (name == "date") {
      auto d = dateFromISO8601String(trim(text));
      if (!d) return err("bad <date>");
      return Value(*d);
    }
    if (name == "data") {
      // Line breaks and indentation inside <data> are layout, not content.
      std::string compact;
      for (char c : text) {
        if (c != ' ' && c != '\t' && c != '\n' && c != '\r') compact += c;
      }
      auto bytes = base64Decode(compact);
      if (!bytes) return err("bad <data>");
      return Value(std::move(*bytes));
    }
    return err("unknown element <" + name + ">");
  }

  std::optional<Value> err(std::string what) {
    if (error_.empty()) error_ = std::move(what);
    return std::nullopt;
  }

  std::string_view s_;
  std::size_t pos_ = 0;
  std::string error_;
};

// ---------------------------------------------------------------------------------------------
// Binary writer

class BinaryWriter {
 public:
  Bytes write(const Value& root) {
    std::uint64_t count = countObjects(root);
    refSize_ = sizeFor(count);
    objects_.reserve(count);
    offsets_.reserve(count);
    out_ = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
    // Objects are laid out in the order they are numbered; containers reserve their number
    // before their children so the root is object 0.
    add(root);
    std::uint64_t tableOffset = out_.size();
    int offsetSize = sizeFor(tableOffset);
    for (std::uint64_t off : offsets_)
      putBE(off, offsetSize);
    for (int i = 0; i < 6; ++i)
      out_.push_back(0);
    out_.push_back(static_cast<std::uint8_t>(offsetSize));
    out_.push_back(static_cast<std::uint8_t>(refSize_));
    putBE(offsets_.size(), 8);
    putBE(0, 8);
    putBE(tableOffset, 8);
    return std::move(out_);
  }

 private:
  static std::uint64_t countObjects(const Value& v) {
    std::uint64_t n = 1;
    if (v.isList()) {
      for (const Value& item : v.asList())
        n += countObjects(item);
    } else if (v.isMap()) {
      for (const auto& [key, item] : v.asMap())
        n += 1 + countObjects(item);
    }
    return n;
  }

  static int sizeFor(std::uint64_t max) {
    return max < 0x100 ? 1 : max < 0x10000 ? 2 : max < 0x100000000ull ? 4 : 8;
  }

  void putBE(std::uint64_t v, int size) {
    for (int i = size - 1; i >= 0; --i)
      out_.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
  }

  void putMarker(std::uint8_t type, std::uint64_t count) {
    if (count < 15) {
      out_.push_back(static_cast<std::uint8_t>(type | count));
      return;
    }
    out_.push_back(static_cast<std::uint8_t>(type | 0x0F));
    putInt(static_cast<std::int64_t>(count));
  }

  void putInt(std::int64_t v) {
    if (v >= 0 && v < 0x100) {
      out_.push_back(0x10);
      putBE(static_cast<std::uint64_t>(v), 1);
    } else if (v >= 0 && v < 0x10000) {
      out_.push_back(0x11);
      putBE(static_cast<std::uint64_t>(v), 2);
    } else if (v >= 0 && v < 0x100000000ll) {
      out_.push_back(0x12);
      putBE(static_cast<std::uint64_t>(v), 4);
    } else {
      out_.push_back(0x13);
      putBE(static_cast<std::uint64_t>(v), 8);
    }
  }

  void putDouble(std::uint8_t marker, double d) {
    std::uint64_t bits;
    std::memcpy(&bits, &d, 8);
    out_.push_back(marker);
    putBE(bits, 8);
  }

  void putString(const std::string& s) {
    bool ascii = true;
    for (char c : s)
      ascii = ascii && static_cast<unsigned char>(c) < 0x80;
    if (ascii) {
      putMarker(0x50, s.size());
      out_.insert(out_.end(), s.begin(), s.end());
      return;
    }
    std::vector<std::uint16_t> units;
    std::size_t i = 0;
    char32_t cp = 0;
    while (i < s.size() && nextCodePoint(s, &i, &cp)) {
      if (cp >= 0x10000) {
        cp -= 0x10000;
        units.push_back(static_cast<std::uint16_t>(0xD800 + (cp >> 10)));
        units.push_back(static_cast<std::uint16_t>(0xDC00 + (cp & 0x3FF)));
      } else {
        units.push_back(static_cast<std::uint16_t>(cp));
      }
    }
    putMarker(0x60, units.size());
    for (auto u : units)
      putBE(u, 2);
  }

  std::uint64_t add(const Value& v) {
    std::uint64_t index = offsets_.size();
    offsets_.push_back(0);
    if (v.isList()) {
      std::vector<std::uint64_t> refs;
      for (const Value& item : v.asList())
        refs.push_back(add(item));
      offsets_[index] = out_.size();
      putMarker(0xA0, refs.size());
      for (auto r : refs)
        putBE(r, refSize_);
      return index;
    }
    if (v.isMap()) {
      std::vector<std::uint64_t> keys, values;
      for (const auto& [key, item] : v.asMap()) {
        keys.push_back(add(key));
        values.push_back(add(item));
      }
      offsets_[index] = out_.size();
      putMarker(0xD0, keys.size());
      for (auto r : keys)
        putBE(r, refSize_);
      for (auto r : values)
        putBE(r, refSize_);
      return index;
    }
    offsets_[index] = out_.size();
    switch (v.kind()) {
    case ValueKind::Bool:
      out_.push_back(v.asBool() ? 0x09 : 0x08);
      break;
    case ValueKind::Int:
      putInt(v.asInt());
      break;
    case ValueKind::Double:
      putDouble(0x23, v.asDouble());
      break;
    case ValueKind::Date:
      putDouble(0x33, timeIntervalSinceReferenceDate(v.asDate()));
      break;
    case ValueKind::Bytes:
      putMarker(0x40, v.asBytes().size());
      out_.insert(out_.end(), v.asBytes().begin(), v.asBytes().end());
      break;
    case ValueKind::String:
      putString(v.asString());
      break;
    default:
      break;  // refused before writing
    }
    return index;
  }

  Bytes out_;
  std::vector<std::uint64_t> offsets_;
  std::vector<int> objects_;
  int refSize_ = 1;
};

// ---------------------------------------------------------------------------------------------
// Binary reader: every offset, count and reference is checked against the buffer; shared
// references are allowed, cycles are not. A shared object is copied at every place that refers
// to it, so a few kilobytes of nested references to one long string can describe gigabytes:
// the reader charges every decoded object its approximate memory (a fixed cost per node plus
// its text or data) against a budget that grows with the input, and refuses the list once the
// budget is spent.

// What one decoded object costs beyond its text or data: the value itself and its place in a
// list or map, roughly.
constexpr std::uint64_t kNodeCost = 64;
constexpr const char* kExpansionError = "the objects it refers to expand past the size limit";

class BinaryReader {
 public:
  explicit BinaryReader(const Bytes& data) : d_(data) {}

  std::optional<Value> parse(std::string* why) {
    if (d_.size() < 8 + 32 || std::memcmp(d_.data(), "bplist0", 7) != 0) {
      *why = "bad binary header";
      return std::nullopt;
    }
    const std::size_t t = d_.size() - 32;
    offsetSize_ = d_[t + 6];
    refSize_ = d_[t + 7];
    std::uint64_t numObjects = be(t + 8, 8);
    std::uint64_t top = be(t + 16, 8);
    tableOffset_ = be(t + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8 || numObjects == 0 ||
        top >= numObjects || tableOffset_ < 8 || tableOffset_ > t ||
        numObjects > (t - tableOffset_) / offsetSize_) {
      *why = "bad binary trailer";
      return std::nullopt;
    }
    numObjects_ = numObjects;
    budget_ = std::max<std::uint64_t>(d_.size() * kPropertyListExpansionFactor,
                                      kPropertyListMinimumExpansionBudget);
    auto v = object(top, 0);
    if (!v) *why = error_.empty() ? "malformed binary data" : error_;
    return v;
  }

 private:
  std::uint64_t be(std::size_t at, int size) const {
    std::uint64_t v = 0;
    for (int i = 0; i < size; ++i)
      v = (v << 8) | d_[at + i];
    return v;
  }

  std::optional<Value> err(const char* what) {
    if (error_.empty()) error_ = what;
    return std::nullopt;
  }

  // The object's length field; `pos` moves past it. Bounds are checked by the callers.
  bool count(std::uint8_t marker, std::size_t* pos, std::uint64_t* n) {
    std::uint8_t low = marker & 0x0F;
    if (low != 0x0F) {
      *n = low;
      return true;
    }
    if (*pos >= tableOffset_) return false;
    std::uint8_t intMarker = d_[*pos];
    if ((intMarker & 0xF0) != 0x10 || (intMarker & 0x0F) > 3) return false;
    int size = 1 << (intMarker & 0x0F);
    if (*pos + 1 + size > tableOffset_) return false;
    *n = be(*pos + 1, size);
    *pos += 1 + size;
    return true;
  }

  bool fits(std::size_t pos, std::uint64_t n, std::uint64_t unit) const {
    return unit == 0 || (n <= (tableOffset_ - pos) / unit);
  }

  std::optional<Value> object(std::uint64_t index, int depth) {
    if (depth > kPropertyListMaxDepth) return err("nesting is too deep");
    if (!charge(kNodeCost)) return err(kExpansionError);
    if (onPath_.count(index)) return err("a container holds itself");
    std::uint64_t off = be(tableOffset_ + index * offsetSize_, offsetSize_);
    if (off < 8 || off >= tableOffset_) return err("object offset out of range");
    std::size_t pos = static_cast<std::size_t>(off);
    std::uint8_t marker = d_[pos++];
    std::uint8_t type = marker & 0xF0;
    switch (type) {
    case 0x00:
      if (marker == 0x08) return Value(false);
      if (marker == 0x09) return Value(true);
      return err("unsupported simple object");
    case 0x10: {
      int size = 1 << (marker & 0x0F);
      if (size > 16 || !fits(pos, size, 1)) return err("bad integer");
      if (size == 16) {
        // Sixteen-byte integers only carry values above the signed range when the high half
        // is zero; anything outside int64 is refused rather than truncated.
        if (be(pos, 8) != 0 || be(pos + 8, 8) > static_cast<std::uint64_t>(INT64_MAX)) {
          return err("integer out of range");
        }
        return Value(static_cast<std::int64_t>(be(pos + 8, 8)));
      }
      std::uint64_t v = be(pos, size);
      return Value(static_cast<std::int64_t>(v));  // 8-byte integers are two's complement
    }
    case 0x20:
    case 0x30: {
      int size = 1 << (marker & 0x0F);
      if ((size != 4 && size != 8) || !fits(pos, size, 1)) return err("bad real");
      if (type == 0x30 && marker != 0x33) return err("bad date");
      double d;
      if (size == 4) {
        std::uint32_t bits = static_cast<std::uint32_t>(be(pos, 4));
        float f;
        std::memcpy(&f, &bits, 4);
        d = f;
      } else {
        std::uint64_t bits = be(pos, 8);
        std::memcpy(&d, &bits, 8);
      }
      if (type == 0x30) return Value(dateWithTimeIntervalSinceReferenceDate(d));
      return Value(d);
    }
    case 0x40:
    case 0x50:
    case 0x60: {
      std::uint64_t n = 0;
      std::uint64_t unit = type == 0x60 ? 2 : 1;
      if (!count(marker, &pos, &n) || !fits(pos, n, unit)) return err("bad length");
      // UTF-16 text grows to at most three UTF-8 bytes per unit.
      if (!charge(type == 0x60 ? n * 3 : n)) return err(kExpansionError);
      if (type == 0x40) return Value(Bytes(d_.begin() + pos, d_.begin() + pos + n));
      if (type == 0x50) {
        std::string s(d_.begin() + pos, d_.begin() + pos + n);
        for (char c : s) {
          if (static_cast<unsigned char>(c) >= 0x80) return err("bad ASCII string");
        }
        return Value(std::move(s));
      }
      std::string s;
      for (std::uint64_t i = 0; i < n; ++i) {
        char32_t u = static_cast<char32_t>(be(pos + 2 * i, 2));
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
          char32_t lo = static_cast<char32_t>(be(pos + 2 * (i + 1), 2));
          if (lo >= 0xDC00 && lo <= 0xDFFF) {
            appendUtf8(s, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
            ++i;
            continue;
          }
        }
        if (u >= 0xD800 && u <= 0xDFFF) return err("unpaired surrogate in string");
        appendUtf8(s, u);
      }
      return Value(std::move(s));
    }
    case 0xA0:
    case 0xD0: {
      std::uint64_t n = 0;
      std::uint64_t refsPer = type == 0xD0 ? 2 : 1;
      // Many references may name the same object, so the length is bounded by the bytes its
      // references take, not by the number of objects.
      if (!count(marker, &pos, &n) || !fits(pos, n, refsPer * refSize_)) {
        return err("bad container length");
      }
      onPath_.insert(index);
      std::optional<Value> result;
      if (type == 0xA0) {
        ValueList list;
        list.reserve(n);
        bool ok = true;
        for (std::uint64_t i = 0; i < n && ok; ++i) {
          auto item = ref(pos + i * refSize_, depth);
          if (!item)
            ok = false;
          else
            list.push_back(std::move(*item));
        }
        if (ok) result = Value(std::move(list));
      } else {
        ValueMap::container_type entries;
        bool ok = true;
        for (std::uint64_t i = 0; i < n && ok; ++i) {
          auto key = ref(pos + i * refSize_, depth);
          if (!key) {
            ok = false;
          } else if (!key->isString()) {
            ok = false;
            err("dictionary key is not a string");
          } else {
            auto item = ref(pos + (n + i) * refSize_, depth);
            if (!item)
              ok = false;
            else
              entries.emplace_back(std::move(*key), std::move(*item));
          }
        }
        if (ok) result = Value(ValueMap::fromEntries(std::move(entries)));
      }
      onPath_.erase(index);
      return result;
    }
    default:
      return err("unsupported object type");
    }
  }

  bool charge(std::uint64_t cost) {
    if (cost > budget_) {
      budget_ = 0;
      return false;
    }
    budget_ -= cost;
    return true;
  }

  std::optional<Value> ref(std::size_t at, int depth) {
    std::uint64_t r = be(at, refSize_);
    if (r >= numObjects_) return err("object reference out of range");
    return object(r, depth + 1);
  }

  const Bytes& d_;
  int offsetSize_ = 0;
  int refSize_ = 0;
  std::uint64_t numObjects_ = 0;
  std::uint64_t tableOffset_ = 0;
  std::uint64_t budget_ = 0;
  std::set<std::uint64_t> onPath_;
  std::string error_;
};

}  // namespace

std::string propertyListProblem(const Value& value) {
  return problemAt(value, 0);
}

std::optional<Value> propertyListFromData(const Bytes& data, ErrorPtr* error,
                                          PropertyListFormat* format) {
  std::string why;
  std::optional<Value> v;
  if (data.size() >= 6 && std::memcmp(data.data(), "bplist", 6) == 0) {
    v = BinaryReader(data).parse(&why);
    if (v && format) *format = PropertyListFormat::Binary;
  } else {
    std::string_view text(reinterpret_cast<const char*>(data.data()), data.size());
    if (text.find('\0') != std::string_view::npos) {
      why = "binary content without a property-list header";
    } else {
      v = XmlReader(text).parse(&why);
      if (v && format) *format = PropertyListFormat::Xml;
    }
  }
  if (!v) setError(error, corrupt(why));
  return v;
}

std::optional<Bytes> dataFromPropertyList(const Value& value, PropertyListFormat format,
                                          ErrorPtr* error) {
  if (auto problem = propertyListProblem(value); !problem.empty()) {
    setError(error, foundationError(kPropertyListWriteInvalidError,
                                    "The value cannot be written as a property list: " + problem));
    return std::nullopt;
  }
  if (format == PropertyListFormat::Binary) return BinaryWriter().write(value);
  std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                    "<plist version=\"1.0\">\n";
  writeXml(out, value, 0);
  out += "</plist>\n";
  return Bytes(out.begin(), out.end());
}

std::optional<Value> readPropertyListFile(const std::string& path, ErrorPtr* error,
                                          PropertyListFormat* format) {
  auto data = FileManager::defaultManager().contentsAtPath(path, error);
  if (!data) return std::nullopt;
  ErrorPtr parseError;
  auto v = propertyListFromData(*data, &parseError, format);
  if (!v) {
    ValueMap info = parseError->userInfo;
    info[kFilePathErrorKey] = path;
    setError(error, Error::make(parseError->domain, parseError->code, std::move(info)));
  }
  return v;
}

bool writePropertyListFile(const std::string& path, const Value& value, PropertyListFormat format,
                           ErrorPtr* error) {
  auto data = dataFromPropertyList(value, format, error);
  return data && FileManager::defaultManager().writeAtomically(path, *data, error);
}

}  // namespace platform
