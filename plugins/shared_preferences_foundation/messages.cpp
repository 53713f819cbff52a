#include "plugins/shared_preferences_foundation/messages.h"

#include <exception>
#include <functional>

#include "platform/engine/channels.h"
#include "plugins/pigeon/pigeon_channel.h"
#include "plugins/pigeon/pigeon_codec.h"
#include "plugins/pigeon/pigeon_error.h"

namespace shared_preferences {

using platform::Value;
using platform::ValueList;

std::shared_ptr<SharedPreferencesPigeonOptions>
SharedPreferencesPigeonOptions::fromList(const ValueList& list) {
  if (list.empty()) return nullptr;
  const Value& suite = list[0];
  if (suite.isNull()) return std::make_shared<SharedPreferencesPigeonOptions>();
  if (!suite.isString()) return nullptr;
  return std::make_shared<SharedPreferencesPigeonOptions>(suite.asString());
}

ValueList SharedPreferencesPigeonOptions::toList() const {
  return {suiteName ? Value(*suiteName) : Value()};
}

std::shared_ptr<const flutter::StandardMessageCodec> MessagesPigeonCodec::shared() {
  static const auto codec =
      pigeon::PigeonCodecBuilder().addRecord<SharedPreferencesPigeonOptions>(129).build();
  return codec;
}

namespace {

using pigeon::Arguments;
using pigeon::Responder;
using Body = std::function<Value(const Arguments&)>;

// A list of strings or null; anything else is a malformed request.
AllowList allowListArgument(const Arguments& a, std::size_t i) {
  auto list = a.optionalList(i);
  if (!list) return std::nullopt;
  std::vector<std::string> keys;
  for (const Value& item : *list) {
    if (!item.isString()) {
      throw pigeon::ArgumentError(a.method() + ": argument " + std::to_string(i) +
                                  " must be a list of strings or null");
    }
    keys.push_back(item.asString());
  }
  return keys;
}

const SharedPreferencesPigeonOptions& optionsArgument(const Arguments& a, std::size_t i) {
  return *a.record<SharedPreferencesPigeonOptions>(i);
}

void install(const std::shared_ptr<flutter::BinaryMessenger>& messenger, const std::string& api,
             const std::string& method, const std::string& suffix, bool attach, Body body) {
  pigeon::MethodHandler handler;
  if (attach) {
    handler = [body = std::move(body)](const Arguments& arguments, Responder responder) {
      responder.success(body(arguments));
    };
  }
  pigeon::setUpMethod(messenger, MessagesPigeonCodec::shared(),
                      pigeon::channelName("shared_preferences_foundation", api, method, suffix),
                      method, std::move(handler));
}

Value stringList(const std::vector<std::string>& items) {
  ValueList out;
  for (const auto& s : items)
    out.emplace_back(s);
  return Value(std::move(out));
}

}  // namespace

void LegacyUserDefaultsApiSetup::setUp(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                                       std::shared_ptr<LegacyUserDefaultsApi> api,
                                       const std::string& suffix) {
  const std::string name = "LegacyUserDefaultsApi";
  const bool on = api != nullptr;
  install(messenger, name, "remove", suffix, on, [api](const Arguments& a) {
    api->remove(a.string(0));
    return Value();
  });
  install(messenger, name, "setBool", suffix, on, [api](const Arguments& a) {
    api->setBool(a.string(0), a.boolean(1));
    return Value();
  });
  install(messenger, name, "setDouble", suffix, on, [api](const Arguments& a) {
    api->setDouble(a.string(0), a.number(1));
    return Value();
  });
  install(messenger, name, "setValue", suffix, on, [api](const Arguments& a) {
    api->setValue(a.string(0), a.value(1));
    return Value();
  });
  install(messenger, name, "getAll", suffix, on, [api](const Arguments& a) {
    return Value(api->getAll(a.string(0), allowListArgument(a, 1)));
  });
  install(messenger, name, "clear", suffix, on, [api](const Arguments& a) {
    return Value(api->clear(a.string(0), allowListArgument(a, 1)));
  });
}

void UserDefaultsApiSetup::setUp(const std::shared_ptr<flutter::BinaryMessenger>& messenger,
                                 std::shared_ptr<UserDefaultsApi> api, const std::string& suffix) {
  const std::string name = "UserDefaultsApi";
  const bool on = api != nullptr;
  install(messenger, name, "set", suffix, on, [api](const Arguments& a) {
    api->set(a.string(0), a.value(1), optionsArgument(a, 2));
    return Value();
  });
  install(messenger, name, "clear", suffix, on, [api](const Arguments& a) {
    api->clear(allowListArgument(a, 0), optionsArgument(a, 1));
    return Value();
  });
  install(messenger, name, "getAll", suffix, on, [api](const Arguments& a) {
    return Value(api->getAll(allowListArgument(a, 0), optionsArgument(a, 1)));
  });
  install(messenger, name, "getValue", suffix, on, [api](const Arguments& a) {
    auto value = api->getValue(a.string(0), optionsArgument(a, 1));
    return value ? *value : Value();
  });
  install(messenger, name, "getKeys", suffix, on, [api](const Arguments& a) {
    return stringList(api->getKeys(allowListArgument(a, 0), optionsArgument(a, 1)));
  });
}

}  // namespace shared_preferences
