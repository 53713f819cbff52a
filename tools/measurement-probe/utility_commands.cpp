#include "tools/measurement-probe/utility_commands.h"

#include "measurement/model/apm_utilities.h"
#include "tools/peer_json.h"

namespace lumora::probe {

namespace {

platform::Bytes hexField(const Json& command, const char* name) {
  auto bytes = lumora::peer::fromHex(stringField(command, name));
  if (!bytes) throw ProbeInputError(std::string("\"") + name + "\" must be hex digits");
  return *bytes;
}

Json optionalText(const std::optional<std::string>& text) {
  return text ? Json(*text) : Json(nullptr);
}

}  // namespace

void registerUtilityCommands(ProbeSession& session) {
  session.add("lsb64", [](const Json& command) {
    return Json(apm_64LeastSignificantBits(hexField(command, "hex")));
  });
  session.add("lsbMD5",
              [](const Json& command) { return Json(apm_64LSBMD5(hexField(command, "hex"))); });
  session.add("md5String", [](const Json& command) {
    return optionalText(apm_MD5String(stringField(command, "text")));
  });
  session.add("unescape", [](const Json& command) {
    return optionalText(apm_stringByUnescapingFromURLArgument(stringField(command, "text")));
  });
  session.add("parseQuery", [](const Json& command) {
    return jsonFromValue(
        platform::Value(apm_dictionaryWithHttpArgumentsString(stringField(command, "query"))));
  });
  session.add("queryString", [](const Json& command) {
    const platform::Value map = valueFromJson(requiredField(command, "dictionary"));
    if (!map.isMap()) throw ProbeInputError("\"dictionary\" must be an object");
    return Json(apm_queryString(map.asMap()));
  });
}

}  // namespace lumora::probe
