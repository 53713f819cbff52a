#include "plugins/pigeon/pigeon_error.h"

#include <cxxabi.h>
#include <execinfo.h>

#include <cstdlib>
#include <memory>
#include <typeinfo>

namespace pigeon {

namespace {

platform::Value optionalString(const std::optional<std::string>& s) {
  return s ? platform::Value(*s) : platform::Value();
}

// "std::runtime_error" -> "runtime_error"; template arguments are kept whole.
std::string typeNameWithoutNamespace(const std::type_info& type) {
  int status = 0;
  std::unique_ptr<char, void (*)(void*)> demangled(
      abi::__cxa_demangle(type.name(), nullptr, nullptr, &status), std::free);
  std::string name = status == 0 && demangled ? demangled.get() : type.name();
  std::size_t depth = 0, cut = 0;
  for (std::size_t i = 0; i < name.size(); ++i) {
    if (name[i] == '<') ++depth;
    if (name[i] == '>' && depth > 0) --depth;
    if (depth == 0 && name.compare(i, 2, "::") == 0) cut = i + 2;
  }
  return name.substr(cut);
}

std::string quoted(const std::string& text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') out.push_back('\\');
    out.push_back(c);
  }
  out.push_back('"');
  return out;
}

}  // namespace

std::string callStackDescription() {
  void* frames[64];
  int count = ::backtrace(frames, 64);
  std::unique_ptr<char*, void (*)(void*)> symbols(::backtrace_symbols(frames, count), std::free);
  std::string out = "(\n";
  for (int i = 0; i < count; ++i) {
    out += "    " + quoted(symbols ? symbols.get()[i] : "?");
    out += i + 1 < count ? ",\n" : "\n";
  }
  out += ")";
  return out;
}

platform::Value wrapError(const PigeonError& error) {
  return platform::Value::list({error.code, optionalString(error.message), error.details});
}

platform::Value wrapError(const flutter::Error& error) {
  return platform::Value::list({error.code, optionalString(error.message), error.details});
}

platform::Value wrapError(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const PigeonError& e) {
    return wrapError(e);
  } catch (const flutter::Error& e) {
    return wrapError(e);
  } catch (const std::exception& e) {
    return platform::Value::list({std::string(e.what()), typeNameWithoutNamespace(typeid(e)),
                                  "Stacktrace: " + callStackDescription()});
  } catch (...) {
    return platform::Value::list(
        {"unknown error", "unknown", "Stacktrace: " + callStackDescription()});
  }
}

platform::Value wrapResult(const platform::Value& result,
                           const std::optional<flutter::Error>& error) {
  if (error) return wrapError(*error);
  return platform::Value::list({result});
}

}  // namespace pigeon
