// The stored pieces of an audience definition and its evaluation: APMEventFilter and
// APMPropertyFilter (one filter of an audience on an event name or a user-property name, with
// its serialised EventFilter or PropertyFilter message) and APMFilterResult (one audience's
// current and previous serialised ResultData). Immutable records; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/core/value.h"

class APMEventFilter {
 public:
  static std::shared_ptr<APMEventFilter>
  initWithAudienceID(std::int32_t audienceID, std::int32_t filterID, std::string eventName,
                     platform::Bytes data, bool sessionScoped, bool dynamic, bool sequence) {
    return std::make_shared<APMEventFilter>(audienceID, filterID, std::move(eventName),
                                            std::move(data), sessionScoped, dynamic, sequence);
  }

  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const std::string& eventName() const { return eventName_; }
  // The serialised EventFilter message.
  const platform::Bytes& data() const { return data_; }
  bool isSessionScoped() const { return sessionScoped_; }
  bool isDynamic() const { return dynamic_; }
  bool isSequence() const { return sequence_; }

  APMEventFilter(std::int32_t audienceID, std::int32_t filterID, std::string eventName,
                 platform::Bytes data, bool sessionScoped, bool dynamic, bool sequence)
      : sessionScoped_(sessionScoped), dynamic_(dynamic), sequence_(sequence),
        audienceID_(audienceID), filterID_(filterID), eventName_(std::move(eventName)),
        data_(std::move(data)) {}

 private:
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string eventName_;
  platform::Bytes data_;
};

class APMPropertyFilter {
 public:
  static std::shared_ptr<APMPropertyFilter>
  initWithAudienceID(std::int32_t audienceID, std::int32_t filterID, std::string propertyName,
                     platform::Bytes data, bool sessionScoped, bool dynamic, bool sequence) {
    return std::make_shared<APMPropertyFilter>(audienceID, filterID, std::move(propertyName),
                                               std::move(data), sessionScoped, dynamic, sequence);
  }

  std::int32_t audienceID() const { return audienceID_; }
  std::int32_t filterID() const { return filterID_; }
  const std::string& propertyName() const { return propertyName_; }
  // The serialised PropertyFilter message.
  const platform::Bytes& data() const { return data_; }
  bool isSessionScoped() const { return sessionScoped_; }
  bool isDynamic() const { return dynamic_; }
  bool isSequence() const { return sequence_; }

  APMPropertyFilter(std::int32_t audienceID, std::int32_t filterID, std::string propertyName,
                    platform::Bytes data, bool sessionScoped, bool dynamic, bool sequence)
      : sessionScoped_(sessionScoped), dynamic_(dynamic), sequence_(sequence),
        audienceID_(audienceID), filterID_(filterID), propertyName_(std::move(propertyName)),
        data_(std::move(data)) {}

 private:
  bool sessionScoped_;
  bool dynamic_;
  bool sequence_;
  std::int32_t audienceID_;
  std::int32_t filterID_;
  std::string propertyName_;
  platform::Bytes data_;
};

class APMFilterResult {
 public:
  static std::shared_ptr<APMFilterResult> initWithAudienceID(std::int32_t audienceID,
                                                             platform::Bytes currentResults,
                                                             platform::Bytes previousResults) {
    return std::make_shared<APMFilterResult>(audienceID, std::move(currentResults),
                                             std::move(previousResults));
  }

  std::int32_t audienceID() const { return audienceID_; }
  // Serialised ResultData messages; empty when absent.
  const platform::Bytes& currentResults() const { return currentResults_; }
  const platform::Bytes& previousResults() const { return previousResults_; }

  APMFilterResult(std::int32_t audienceID, platform::Bytes currentResults,
                  platform::Bytes previousResults)
      : audienceID_(audienceID), currentResults_(std::move(currentResults)),
        previousResults_(std::move(previousResults)) {}

 private:
  std::int32_t audienceID_;
  platform::Bytes currentResults_;
  platform::Bytes previousResults_;
};
