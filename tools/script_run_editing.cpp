#include "tools/script_run_editing.h"

#include <stdexcept>
#include <string>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "tools/peer_json.h"
#include "tools/script_run.h"

namespace lumora::scriptrun {

// The script's log lines, as the monitor would receive them.
struct EditingSession::Logs : APMPLoggerDelegate {
  void logWithLevel(std::int64_t level, const std::string& message,
                    const std::vector<std::string>& context, bool silent, bool monitored) override {
    lines.push_back(Json{{"level", APMPixieLogger::monitorLevel(level, silent, monitored)},
                         {"code", APMPixieLogger::kMessageCode},
                         {"message", message},
                         {"context", context}});
  }
  Json take() {
    Json out = std::move(lines);
    lines = Json::array();
    return out;
  }
  Json lines = Json::array();
};

namespace {

Json errorJson(const platform::ErrorPtr& error) {
  if (!error) return nullptr;
  return Json{{"domain", error->domain}, {"code", error->code}};
}

Json peerJson(const platform::Value& value) {
  return Json::parse(peer::toJson(value).dump());
}

Json eventJson(const APMPEvent& event) {
  return Json{{"name", event.name},
              {"timestamp", event.timestamp},
              {"params", peerJson(platform::Value(event.parameters))}};
}

APMPEvent eventFromJson(const Json& json) {
  if (!json.is_object() || !json.contains("name") || !json["name"].is_string()) {
    throw std::invalid_argument("an event is an object with a \"name\" text");
  }
  double timestamp = 0;
  if (json.contains("timestamp")) {
    if (!json["timestamp"].is_number()) throw std::invalid_argument("\"timestamp\" is a number");
    timestamp = json["timestamp"].get<double>();
  }
  platform::ValueMap parameters;
  if (json.contains("params")) {
    const platform::Value params = peer::fromJson(nlohmann::json::parse(json["params"].dump()));
    if (!params.isMap()) throw std::invalid_argument("\"params\" is an object");
    parameters = params.asMap();
  }
  return APMPEvent::initWithName(json["name"].get<std::string>(), timestamp, std::move(parameters));
}

Json priorities(const APMPEditingCallbackHandler::Callbacks& callbacks) {
  Json out = Json::array();
  for (const auto& [priority, callback] : callbacks)
    out.push_back(priority);
  return out;
}

}  // namespace

EditingSession::EditingSession(platform::ValueMap settings)
    : logs_(std::make_shared<Logs>()), editing_(std::make_shared<APMPScriptEventEditing>()) {
  // The three modules the remote configuration registers, over these settings and logs.
  auto shared = std::make_shared<const platform::ValueMap>(std::move(settings));
  editing_->setModuleCreator(
      [shared] {
        return std::make_shared<APMPKeyValueStoreModule>(
            "internal.remoteConfig",
            [shared](const std::string& key) -> std::optional<platform::Value> {
              const auto found = shared->find(platform::Value(key));
              if (found == shared->end() || !(found->second.isString() || found->second.isNumber()))
                return std::nullopt;
              return found->second;
            });
      },
      "internal.remoteConfig");
  editing_->setModuleCreator(
      [] {
        return std::make_shared<APMPObjectProviderModule>("internal.appMetadata", [] {
          return platform::ValueMap{
              {platform::Value("platform"), platform::Value("macos")},
              {platform::Value("duz_version"), platform::Value(std::int64_t{111500})}};
        });
      },
      "internal.appMetadata");
  std::shared_ptr<APMPLoggerDelegate> logger = logs_;
  editing_->setModuleCreator([logger] { return std::make_shared<APMPMessageLoggerModule>(logger); },
                             "internal.logger");
}

EditingSession::~EditingSession() = default;

Json EditingSession::load(const APMPBProgram& program) {
  platform::ErrorPtr error;
  editing_->loadProgram(program, &error);
  return Json{{"error", errorJson(error)}, {"logs", logs_->take()}};
}

Json EditingSession::handle(const Json& json) {
  const APMPEvent event = eventFromJson(json);
  platform::ErrorPtr error;
  const bool handled = editing_->handleEvent(event, &error);
  const APMPEventContext& context = editing_->eventContext();
  Json created = Json::array();
  for (const APMPEvent& logged : context.eventsToLog)
    created.push_back(eventJson(logged));
  return Json{{"error", errorJson(error)},
              {"handled", handled},
              {"hasEdits", editing_->hasEdits()},
              {"input", eventJson(context.inputEvent)},
              {"output", eventJson(context.outputEvent)},
              {"created", std::move(created)},
              {"logs", logs_->take()},
              {"usable", editing_->isUsable()}};
}

Json EditingSession::callbacks() const {
  return Json{{"edit", priorities(editing_->callbackHandler().editCallbacks())},
              {"create", priorities(editing_->callbackHandler().createCallbacks())}};
}

Json runEditingRequest(const Json& request) {
  std::shared_ptr<APMPBProgram> program;
  platform::ValueMap settings;
  try {
    const Json& edit = request["edit"];
    if (!edit.is_object() || !edit.contains("program")) {
      throw std::invalid_argument("\"edit\" is an object with \"program\"");
    }
    auto message = programFromJson(edit["program"]);
    if (edit.contains("activities")) {
      if (!edit["activities"].is_array()) throw std::invalid_argument("\"activities\" is a list");
      platform::ValueList activities;
      for (const Json& a : edit["activities"]) {
        if (!a.is_object() || !a.contains("name") || !a["name"].is_string()) {
          throw std::invalid_argument("an activity is an object with a \"name\" text");
        }
        auto activity = APMPBOgtActivity::initWithMessageInfo();
        NANOSetString(activity.get(), apmpb_field::OgtActivity::kName,
                      a["name"].get<std::string>());
        platform::ValueList data = entitiesFromJson(a.value("data", Json::array()));
        NANOSetArray(activity.get(), apmpb_field::OgtActivity::kData, &data);
        activities.emplace_back(platform::ObjectPtr(activity));
      }
      auto holder = APMPBOgtActivities::initWithMessageInfo();
      NANOSetArray(holder.get(), apmpb_field::OgtActivities::kActivities, &activities);
      NANOSetMessage(message.get(), apmpb_field::Program::kActivities, holder.get());
    }
    // The road of delivered bytes: encoded, then decoded.
    const std::optional<platform::Bytes> bytes = message->protoBuffer();
    if (!bytes) return Json{{"inputError", "the program cannot be encoded"}};
    program = APMPBProgram::initWithBuffer(*bytes);
    if (!program) return Json{{"inputError", "the program cannot be decoded"}};
    if (request.contains("settings")) {
      const platform::Value values =
          peer::fromJson(nlohmann::json::parse(request["settings"].dump()));
      if (!values.isMap()) throw std::invalid_argument("\"settings\" is an object");
      settings = values.asMap();
    }
    if (request.contains("events") && !request["events"].is_array()) {
      throw std::invalid_argument("\"events\" is a list");
    }
  } catch (const std::exception& e) {
    return Json{{"inputError", e.what()}};
  }
  EditingSession session(std::move(settings));
  Json answer{{"load", session.load(*program)}};
  answer["callbacks"] = session.callbacks();
  Json events = Json::array();
  if (request.contains("events")) {
    for (const Json& event : request["events"]) {
      try {
        events.push_back(session.handle(event));
      } catch (const std::exception& e) {
        events.push_back(Json{{"inputError", e.what()}});
      }
    }
  }
  answer["events"] = std::move(events);
  return answer;
}

EditingInput editingInputFromConfigBytes(const platform::Bytes& bytes) {
  EditingInput input;
  const auto config = APMPBMeasurementConfig::initWithBuffer(bytes);
  if (!config) return input;
  namespace F = apmpb_field::MeasurementConfig;
  const auto programs =
      NANOGetArray(config.get(), F::kDynamicEventEditing, APMPBProgram::classObject())
          .value_or(platform::ValueList{});
  input.programCount = programs.size();
  if (!programs.empty()) input.program = programs.front().asObjectOf<APMPBProgram>();
  for (const auto& element : NANOGetArray(config.get(), F::kSettings, APMPBSetting::classObject())
                                 .value_or(platform::ValueList{})) {
    const auto setting = element.asObjectOf<APMPBSetting>();
    if (!setting) continue;
    const auto key = NANOGetString(setting.get(), apmpb_field::Setting::kName);
    const auto value = NANOGetString(setting.get(), apmpb_field::Setting::kValue);
    if (key && value) input.settings[platform::Value(*key)] = platform::Value(*value);
  }
  return input;
}

EditingInput editingInputFromProgramBytes(const platform::Bytes& bytes) {
  EditingInput input;
  input.program = APMPBProgram::initWithBuffer(bytes);
  input.programCount = input.program ? 1 : 0;
  return input;
}

}  // namespace lumora::scriptrun
