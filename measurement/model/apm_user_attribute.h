// APMUserAttribute: one user property as stored and uploaded (origin, name, value, time it was
// last set). APMRawEventData: one raw event of the database with its row and the metadata row it
// belongs to: its Event wire message and, when made from one (writes and reads of the database),
// the event itself. Both immutable; any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "measurement/messages/apmpb_wrappers.h"
#include "measurement/model/apm_value.h"

class APMEvent;

class APMUserAttribute {
 public:
  // Null (the validator reports why) when the name or the value fails the internal checks.
  static std::shared_ptr<APMUserAttribute> initWithOrigin(std::string origin, std::string name,
                                                          APMValue value, double lastSetTimestamp);

  // A non-empty name whose first character is not "_".
  bool isPublic() const;
  std::shared_ptr<APMPBUserAttribute> protoUserAttribute() const;

  const std::string& origin() const { return origin_; }
  const std::string& name() const { return name_; }
  const APMValue& value() const { return value_; }
  double lastSetTimestamp() const { return lastSetTimestamp_; }

  APMUserAttribute(std::string origin, std::string name, APMValue value, double lastSetTimestamp)
      : origin_(std::move(origin)), name_(std::move(name)), value_(std::move(value)),
        lastSetTimestamp_(lastSetTimestamp) {}

 private:
  std::string origin_;
  std::string name_;
  APMValue value_;
  double lastSetTimestamp_;
};

class APMRawEventData {
 public:
  // Null with a report for a missing event or a negative row ID.
  static std::shared_ptr<APMRawEventData> initWithRawEvent(std::shared_ptr<APMPBEvent> rawEvent,
                                                           std::int64_t rowID,
                                                           std::int64_t metadataFingerprint);
  // The same for an event: its wire message is made now. Null with the same reports.
  static std::shared_ptr<APMRawEventData> initWithEvent(std::shared_ptr<APMEvent> event,
                                                        std::int64_t rowID,
                                                        std::int64_t metadataFingerprint);

  // The event's Event message (name, timestamps, parameters).
  const std::shared_ptr<APMPBEvent>& rawEvent() const { return rawEvent_; }
  // The event, when the record was made from one.
  const std::shared_ptr<APMEvent>& event() const { return event_; }
  std::int64_t rowID() const { return rowID_; }
  std::int64_t metadataFingerprint() const { return metadataFingerprint_; }

  APMRawEventData(std::shared_ptr<APMPBEvent> rawEvent, std::int64_t rowID,
                  std::int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), rowID_(rowID), metadataFingerprint_(metadataFingerprint) {}
  APMRawEventData(std::shared_ptr<APMEvent> event, std::shared_ptr<APMPBEvent> rawEvent,
                  std::int64_t rowID, std::int64_t metadataFingerprint)
      : rawEvent_(std::move(rawEvent)), event_(std::move(event)), rowID_(rowID),
        metadataFingerprint_(metadataFingerprint) {}

 private:
  std::shared_ptr<APMPBEvent> rawEvent_;
  std::shared_ptr<APMEvent> event_;
  std::int64_t rowID_;
  std::int64_t metadataFingerprint_;
};
