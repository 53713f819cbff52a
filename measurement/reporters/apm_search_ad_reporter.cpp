#include "measurement/reporters/apm_search_ad_reporter.h"

#include <cmath>
#include <exception>
#include <string_view>

#include <nlohmann/json.hpp>

#include "measurement/model/apm_event_model_environment.h"
#include "measurement/storage/apm_alarm.h"
#include "measurement/storage/apm_monitor.h"
#include "measurement/storage/apm_persisted_config.h"
#include "platform/dispatch/clock.h"
#include "platform/foundation/class_registry.h"
#include "platform/foundation/environment.h"
#include "platform/foundation/process_info.h"
#include "platform/net/url_session.h"

namespace {

using platform::Value;

// The value "_cmp" carries under "source".
constexpr const char* kCampaignSource = "search_ads";
// Answers are a few keys; anything deeper or larger is not an answer.
constexpr int kMaximumJSONDepth = 32;
constexpr std::uint64_t kMaximumReplyBytes = 1u << 20;

void report(std::int64_t level, std::int64_t code, std::string_view text,
            const platform::ValueList& contexts = {}) {
  APMProcessMonitor()->logWithLevel(level, code, text, contexts);
}

Value errorContext(const platform::ErrorPtr& error) {
  if (!error) return Value();
  return Value(error->domain + " " + std::to_string(error->code) + " " +
               error->localizedDescription());
}

bool atLeastRequiredOSVersion() {
  return platform::ProcessInfo::processInfo().isOperatingSystemAtLeastVersion({11, 1, 0});
}

// One session for every reporter, as the platform's shared session would be.
platform::URLSessionPtr sharedSession() {
  static const platform::URLSessionPtr session = [] {
    auto configuration = platform::URLSessionConfiguration::defaultSessionConfiguration();
    configuration.maximumResponseBytes = kMaximumReplyBytes;
    return platform::URLSession::sessionWithConfiguration(std::move(configuration), nullptr,
                                                          nullptr);
  }();
  return session;
}

// Integral numbers give their digits and strings stay as they are; other kinds give no text.
std::optional<std::string> textOf(const nlohmann::json& object, const char* key) {
  const auto it = object.find(key);
  if (it == object.end()) return std::nullopt;
  if (it->is_number_integer() || it->is_number_unsigned()) return it->dump();
  if (it->is_string()) return it->get<std::string>();
  return std::nullopt;
}

platform::ErrorPtr parseError(const std::string& reason) {
  return std::make_shared<platform::Error>(
      "com.ziriza.duz.measurement.search-ad", 1,
      platform::ValueMap{{Value("NSLocalizedDescription"), Value(reason)}});
}

}  // namespace

std::shared_ptr<APMSearchAdReporter>
APMSearchAdReporter::initWithWorkerQueue(platform::QueuePtr workerQueue,
                                         std::shared_ptr<APMPersistedConfig> persistedConfig) {
  if (!workerQueue) {
    report(2, 32000, "Cannot init Search Ad reporter. Queue must be provided");
    return nullptr;
  }
  if (!persistedConfig) {
    report(2, 32001, "Cannot init Search Ad reporter. Persisted config must be provided");
    return nullptr;
  }
  if (persistedConfig->searchAdRetryCount() > APMSearchAdMaxRetries) return nullptr;
  if (!persistedConfig->searchAdCampaignValue().isNull()) {
    report(7, 32002,
           "Search Ad campaign attribution was already reported. Do not start Search Ad "
           "Reporter.");
    return nullptr;
  }
  return std::make_shared<APMSearchAdReporter>(std::move(workerQueue), std::move(persistedConfig));
}

APMSearchAdReporter::APMSearchAdReporter(platform::QueuePtr workerQueue,
                                         std::shared_ptr<APMPersistedConfig> persistedConfig)
    : workerQueue_(std::move(workerQueue)),
      alarm_(APMAlarm::initWithDispatchQueue(workerQueue_, "Search Ad campaign report alarm")),
      persistedConfig_(std::move(persistedConfig)) {}

APMSearchAdReporter::~APMSearchAdReporter() {
  // Destroying the alarm cancels a pending firing.
  alarm_.reset();
}

std::shared_ptr<APMAttributionTokenClass> APMSearchAdReporter::adClientInstance() {
  if (!atLeastRequiredOSVersion()) return nullptr;
  return platform::ClassRegistry::shared().lookup<APMAttributionTokenClass>(
      APMAttributionClassName);
}

std::string APMSearchAdReporter::attributionURL() {
  std::string base = platform::Environment::current()
                         ->nonEmpty(APMSearchAdURLVariable)
                         .value_or(APMSearchAdDefaultURL);
  while (!base.empty() && base.back() == '/')
    base.pop_back();
  return base + "/api/v1/";
}

void APMSearchAdReporter::start() {
  if (!adClientInstance()) {
    report(7, 32014,
           "AdServices framework is not linked. Search Ad Attribution Reporter is disabled.");
    return;
  }
  // There is no simulator on this platform (32019 never applies).
  scheduleSearchAdReport();
}

bool APMSearchAdReporter::hasPendingAttempt() const {
  return alarm_ && alarm_->hasActiveTimer();
}

void APMSearchAdReporter::cancelScheduling() {
  if (alarm_) alarm_->cancel();
  alarm_.reset();
}

void APMSearchAdReporter::scheduleSearchAdReport() {
  if (!alarm_) {
    report(5, 32013, "Search Ad Campaign attribution alarm is already canceled");
    return;
  }
  if (!enabled_) {
    alarm_->cancel();
    return;
  }
  bool reported = false;
  {
    std::lock_guard lock(campaignLock_);
    reported = !persistedConfig_->searchAdCampaignValue().isNull();
  }
  if (reported) {
    report(7, 32004,
           "Search Ad report not scheduled. Search Ad campaign attribution was already "
           "reported.");
    cancelScheduling();
    return;
  }
  if (alarm_->hasActiveTimer()) {
    report(5, 32005, "Search Ad Campaign attribution alarm is already scheduled");
    return;
  }
  if (persistedConfig_->searchAdRetryCount() > APMSearchAdMaxRetries) {
    report(5, 32007,
           "Search Ad Campaign attribution exceeds the max number of retries. Do not schedule "
           "again.");
    cancelScheduling();
    return;
  }
  report(7, 32006, "Scheduling Search Ad Report timer");
  const double now = platform::Clock::current().now();
  const double delay =
      APMSearchAdRetryInterval - std::fabs(now - persistedConfig_->lastSearchAdLookUpTimestamp());
  std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
  alarm_->runAfterDelay(delay, [weak] {
    if (auto self = weak.lock()) self->maybeLogIAdCampaignEvent();
  });
}

void APMSearchAdReporter::maybeLogIAdCampaignEvent() {
  // Runs whether or not the reporter is enabled: the scheduling that follows decides.
  if (!adClientInstance()) return;
  persistedConfig_->setLastSearchAdLookUpTimestamp(platform::Clock::current().now());
  fetchAttributionDetails();
  scheduleSearchAdReport();
}

void APMSearchAdReporter::fetchAttributionDetails() {
  // Counted before anything can fail, so at most ten attempts are ever made.
  persistedConfig_->setSearchAdRetryCount(persistedConfig_->searchAdRetryCount() + 1);
  const auto provider = adClientInstance();
  if (!provider) return;
  platform::ErrorPtr error;
  std::string token;
  try {
    token = provider->attributionTokenWithError(&error);
  } catch (const std::exception& e) {
    error = parseError(e.what());
  }
  if (error) {
    report(1, 32018, "Cannot send request for Search Ad campaign attribution. Error",
           {errorContext(error)});
    return;
  }
  if (token.empty()) return;
  requestAttributionPayloadWithToken(token);
}

void APMSearchAdReporter::requestAttributionPayloadWithToken(const std::string& token) {
  if (token.empty()) return;
  auto request = platform::URLRequest::withURL(attributionURL(), APMSearchAdRequestTimeout);
  request.httpMethod = "POST";
  request.headers = {{"Content-Type", "text/plain"}, {"cache-control", "no-cache"}};
  request.httpBody = platform::Bytes(token.begin(), token.end());
  std::weak_ptr<APMSearchAdReporter> weak = weak_from_this();
  const platform::QueuePtr workerQueue = workerQueue_;
  // The status code is not examined: the body decides. The reply is handed to the worker
  // queue, where the alarm lives.
  auto task = sharedSession()->dataTaskWithRequest(
      request, [weak, workerQueue](const platform::Bytes& data, const platform::HTTPURLResponsePtr&,
                                   platform::ErrorPtr error) {
        workerQueue->async([weak, data, error] {
          if (auto self = weak.lock()) self->handleReply(data, error);
        });
      });
  if (task) task->resume();
}

void APMSearchAdReporter::handleReply(const platform::Bytes& data,
                                      const platform::ErrorPtr& error) {
  if (error) {
    report(1, 32015, "Cannot send request for Search Ad campaign attribution. Error",
           {errorContext(error)});
    scheduleSearchAdReport();
    return;
  }
  bool tooDeep = false;
  const auto json = nlohmann::json::parse(
      data.begin(), data.end(),
      [&tooDeep](int depth, nlohmann::json::parse_event_t, nlohmann::json&) {
        if (depth > kMaximumJSONDepth) tooDeep = true;
        return !tooDeep;
      },
      false);
  platform::ErrorPtr failure;
  if (tooDeep) {
    failure = parseError("The answer is nested too deeply");
  } else if (json.is_discarded()) {
    failure = parseError("The answer is not JSON");
  } else if (!json.is_object()) {
    failure = parseError("The answer is not a JSON object");
  } else if (!json.empty()) {
    const auto attribution = json.find("attribution");
    if (attribution == json.end() || !attribution->is_boolean()) {
      failure = parseError("The answer has no boolean \"attribution\"");
    }
  }
  if (failure) {
    report(1, 32017, "Search Ad Reporter failed to parse JSON data. Error",
           {errorContext(failure)});
    scheduleSearchAdReport();
    return;
  }
  if (json.empty()) {
    scheduleSearchAdReport();
    return;
  }
  const bool attributed = json["attribution"].get<bool>();
  const auto campaignID = textOf(json, "campaignId");
  const auto adID = textOf(json, "adId");
  const auto keywordID = textOf(json, "keywordId");
  if (campaignID == APMSearchAdTestValue && adID == APMSearchAdTestValue) {
    report(7, 32016, "Search Ad Reporter returned test data. Will retry next time.");
    scheduleSearchAdReport();
    return;
  }
  logCampaignEventWithSearchAdCampaign(attributed, campaignID, keywordID);
  cancelScheduling();
}

void APMSearchAdReporter::logCampaignEventWithSearchAdCampaign(
    bool attributed, const std::optional<std::string>& campaign,
    const std::optional<std::string>& term) {
  {
    std::lock_guard lock(campaignLock_);
    if (!persistedConfig_->searchAdCampaignValue().isNull()) {
      report(5, 32008, "Search Ad Campaign is already tracked");
      return;
    }
    // A non-attributed answer is final too.
    persistedConfig_->setSearchAdCampaignValue(Value(attributed));
  }
  if (!attributed) return;
  platform::ValueMap parameters{{Value("source"), Value(kCampaignSource)},
                                {Value("medium"), Value("search")}};
  if (campaign && !campaign->empty()) parameters[Value("campaign")] = Value(*campaign);
  if (term && !term->empty()) parameters[Value("term")] = Value(*term);
  const std::int64_t firstOpen = persistedConfig_->firstOpenTimestampMilliseconds();
  if (firstOpen >= 2) {
    parameters[Value("click_timestamp")] = Value(firstOpen - 1);
  } else {
    report(5, 32009, "Search Ad Campaign does not have click_timestamp.");
  }
  APMLogInternalEvent("auto", "_cmp", parameters);
}
