#include "measurement/model/apm_user_attribute.h"

#include "measurement/messages/message_fields.h"
#include "measurement/messages/nano_accessors.h"
#include "measurement/model/apm_data_type_validator.h"
#include "measurement/model/apm_event.h"
#include "measurement/storage/apm_monitor.h"

std::shared_ptr<APMUserAttribute> APMUserAttribute::initWithOrigin(std::string origin,
                                                                   std::string name, APMValue value,
                                                                   double lastSetTimestamp) {
  if (!APMDataTypeValidator::isValidInternalUserAttributeName(platform::Value(name), nullptr) ||
      !APMDataTypeValidator::isValidInternalUserAttributeValue(&value, name, nullptr)) {
    return nullptr;
  }
  return std::make_shared<APMUserAttribute>(std::move(origin), std::move(name), std::move(value),
                                            lastSetTimestamp);
}

bool APMUserAttribute::isPublic() const {
  return !name_.empty() && name_.front() != '_';
}

std::shared_ptr<APMPBUserAttribute> APMUserAttribute::protoUserAttribute() const {
  auto proto = APMPBUserAttribute::initWithMessageInfo();
  NANOSetString(proto.get(), apmpb_field::UserAttribute::kName, name_);
  switch (value_.valueType()) {
  case APMValueTypeDouble:
    NANOSetDouble(proto.get(), apmpb_field::UserAttribute::kDoubleValue, value_.doubleValue());
    break;
  case APMValueTypeInt64:
    NANOSetInt64(proto.get(), apmpb_field::UserAttribute::kIntValue, value_.int64Value());
    break;
  case APMValueTypeString:
    NANOSetString(proto.get(), apmpb_field::UserAttribute::kStringValue, *value_.stringValue());
    break;
  case APMValueTypeArray:
    break;
  }
  NANOSetInt64(proto.get(), apmpb_field::UserAttribute::kSetTimestampMillis,
               APMMillisecondsFromSeconds(lastSetTimestamp_));
  return proto;
}

std::shared_ptr<APMRawEventData>
APMRawEventData::initWithRawEvent(std::shared_ptr<APMPBEvent> rawEvent, std::int64_t rowID,
                                  std::int64_t metadataFingerprint) {
  if (!rawEvent) {
    APMProcessMonitor()->logWithLevel(
        4, 28000, "Failed to create raw event data. Received invalid raw event.");
    return nullptr;
  }
  if (rowID < 0) {
    APMProcessMonitor()->logWithLevel(
        4, 28001, "Failed to create raw event data. Received invalid row ID. Row ID",
        {platform::Value(rowID)});
    return nullptr;
  }
  return std::make_shared<APMRawEventData>(std::move(rawEvent), rowID, metadataFingerprint);
}

std::shared_ptr<APMRawEventData> APMRawEventData::initWithEvent(std::shared_ptr<APMEvent> event,
                                                                std::int64_t rowID,
                                                                std::int64_t metadataFingerprint) {
  auto proto = event ? event->protoEvent() : nullptr;
  auto made = initWithRawEvent(proto, rowID, metadataFingerprint);
  if (!made) return nullptr;
  return std::make_shared<APMRawEventData>(std::move(event), std::move(proto), rowID,
                                           metadataFingerprint);
}
