// The schema table against the nanopb descriptors compiled from it, and against the message
// catalogue's own figures (slot counts, wrapper classes, list names, the bundle's field order).
#include <gtest/gtest.h>

#include <pb.h>
#include <pb_common.h>

#include <algorithm>
#include <set>
#include <string>

#include "measurement/messages/message_fields.h"
#include "measurement/messages/message_types.h"

namespace {

const MessageType* typeNamed(const std::string& id) {
  for (const MessageType* type : kMessageTypes) {
    if (id == type->message_id) return type;
  }
  return nullptr;
}

// The descriptor type byte each field-kind code must have.
pb_type_t expectedDescriptorType(int32_t kind) {
  switch (kind) {
  case 0x22:
    return 0x10;
  case 0x42:  // enum fields are declared int32 in the .proto
  case 0x82:
    return 0x11;
  case 0x202:
    return 0x11;
  case 0x802:
    return 0x14;
  case 0x1002:
    return 0x15;
  case 0x2002:
    return 0x57;
  case 0x4002:
    return 0x18;
  case 0x108:
    return 0x62;
  case 0x208:
    return 0x61;
  case 0x408:
    return 0x62;
  case 0x2008:
    return 0x67;
  case 0x4008:
    return 0x68;
  }
  return 0xff;
}

TEST(MessageSchemaTest, EveryDescriptorMatchesTheTableFieldByField) {
  for (const MessageType* type : kMessageTypes) {
    SCOPED_TRACE(type->message_id);
    std::vector<unsigned char> structure(type->struct_size);
    pb_field_iter_t it;
    ASSERT_TRUE(pb_field_iter_begin(&it, type->descriptor, structure.data()));
    std::set<uint32_t> seen;
    uint32_t previous_tag = 0;
    do {
      SCOPED_TRACE("field " + std::to_string(it.tag));
      EXPECT_GT(it.tag, previous_tag) << "descriptor not in ascending field order";
      previous_tag = it.tag;
      const MessageFieldInfo* field = nullptr;
      for (uint32_t s = 0; s < type->slot_count; ++s) {
        if (type->fields[s].number == it.tag) field = &type->fields[s];
      }
      ASSERT_NE(field, nullptr) << "descriptor field missing from the table";
      EXPECT_TRUE(seen.insert(it.tag).second);
      EXPECT_EQ(field->kind, type->fields_type[field - type->fields]);
      EXPECT_EQ(it.type, expectedDescriptorType(field->kind));
      if (field->kind & 0x4000) {
        ASSERT_NE(field->sub_type, nullptr);
        EXPECT_EQ(it.submsg_desc, field->sub_type->descriptor);
      } else {
        EXPECT_EQ(field->sub_type, nullptr);
      }
    } while (pb_field_iter_next(&it));
    EXPECT_EQ(seen.size(), type->slot_count) << "table slots missing from the descriptor";
  }
}

TEST(MessageSchemaTest, SlotCountsAndWrappersAreTheCatalogues) {
  struct Row {
    const char* id;
    uint32_t slots;
    bool wrapper;
  };
  const Row rows[] = {
      {"AdCampaignInfo", 10, true},
      {"AppProperty", 7, true},
      {"Audience", 5, true},
      {"AudienceLeafFilterResult", 4, true},
      {"ClientProperty", 5, true},
      {"ConsentConfig", 5, true},
      {"ConsentDefaultEntry", 3, true},
      {"ConsentDelegationEntry", 2, true},
      {"ConsentInfoExtra", 1, false},
      {"CorePlatformServiceEntry", 2, true},
      {"CustomProperty", 2, true},
      {"DataControl", 3, true},
      {"DeepLinkZadParamsEntry", 2, true},
      {"DynamicFilterResultTimestamp", 2, true},
      {"Event", 5, true},
      {"EventConfig", 4, true},
      {"EventFilter", 8, true},
      {"EventParam", 6, true},
      {"Experiment", 2, true},
      {"ExperimentRequest", 2, true},
      {"ExperimentResponse", 2, true},
      {"Filter", 4, true},
      {"Flag", 5, true},
      {"LimitedDataEntry", 2, false},
      {"MarketReferrerZadParamsEntry", 2, false},
      {"MeasurementBatch", 4, true},
      {"MeasurementBundle", 56, true},
      {"MeasurementConfig", 16, true},
      {"NumberFilter", 5, true},
      {"OgtActivities", 1, true},
      {"OgtActivity", 2, true},
      {"OnDeviceMeasurementInfo", 4, true},
      {"OnDeviceMeasurementValue", 2, true},
      {"Program", 2, true},
      {"PropertyFilter", 6, true},
      {"PsmSetting", 3, true},
      {"Region", 2, false},
      {"ResultData", 4, true},
      {"RuntimeEntity", 6, true},
      {"SdkResponse", 3, true},
      {"SequenceFilterResultTimestamp", 2, true},
      {"Setting", 2, true},
      {"SztmSetting", 5, true},
      {"Snapshot", 2, true},
      {"StringFilter", 4, true},
      {"UserAttribute", 6, true},
  };
  ASSERT_EQ(std::size(rows), kMessageTypeCount);
  for (const Row& row : rows) {
    SCOPED_TRACE(row.id);
    const MessageType* type = typeNamed(row.id);
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(type->slot_count, row.slots);
    EXPECT_EQ(type->has_wrapper, row.wrapper);
    EXPECT_STREQ(type->message_id, row.id);
  }
}

TEST(MessageSchemaTest, ListNamesAreTheCatalogues) {
  const std::set<std::string> expected = {"activities",
                                          "audience_evaluation_results",
                                          "audiences",
                                          "bundles",
                                          "client_properties",
                                          "core_platform_services",
                                          "custom_properties",
                                          "data",
                                          "data_controls",
                                          "deep_link_zad_params",
                                          "defaults",
                                          "delegations",
                                          "dynamic_event_editing",
                                          "dynamic_filter_timestamps",
                                          "enforced_defaults",
                                          "eval_timestamps",
                                          "event_config",
                                          "event_filters",
                                          "events",
                                          "experiment_ids",
                                          "experiments",
                                          "expression_list",
                                          "filters",
                                          "flags",
                                          "instructions",
                                          "limited_data_modes",
                                          "market_referrer_zad_params",
                                          "opt_out_regions",
                                          "param_value",
                                          "params",
                                          "property_filters",
                                          "redacted_fields",
                                          "results",
                                          "sdk_responses",
                                          "sequence_filter_timestamps",
                                          "settings",
                                          "snapshots",
                                          "status",
                                          "user_attributes",
                                          "value"};
  std::set<std::string> names;
  for (const MessageType* type : kMessageTypes) {
    for (uint32_t s = 0; s < type->slot_count; ++s) {
      if (type->fields_type[s] & 0x8) names.insert(type->fields[s].name);
    }
  }
  EXPECT_EQ(names, expected);
}

TEST(MessageSchemaTest, ParamsOrderIsFieldOrderExceptForTheBundle) {
  for (const MessageType* type : kMessageTypes) {
    if (std::string(type->message_id) == "MeasurementBundle") continue;
    for (uint32_t s = 1; s < type->slot_count; ++s) {
      EXPECT_LT(type->fields[s - 1].number, type->fields[s].number) << type->message_id;
    }
  }
  const uint32_t bundle_fields[56] = {1,  2,  3,  4,  5,  6,  26, 7,  8,  9,  10, 11, 12, 13,
                                      14, 15, 16, 17, 18, 19, 27, 20, 21, 22, 23, 24, 25, 28,
                                      29, 30, 31, 32, 33, 34, 35, 39, 41, 45, 47, 50, 52, 53,
                                      55, 63, 64, 65, 67, 71, 72, 73, 75, 77, 79, 84, 86, 87};
  const MessageType& bundle = apmpb_type::MeasurementBundle;
  for (uint32_t s = 0; s < 56; ++s)
    EXPECT_EQ(bundle.fields[s].number, bundle_fields[s]) << s;
}

TEST(MessageSchemaTest, NamedIndexesPointAtTheirFields) {
  struct Row {
    const MessageType& type;
    int32_t index;
    uint32_t field_number;
    const char* name;
  };
  namespace f = apmpb_field;
  const Row rows[] = {
      {apmpb_type::MeasurementBatch, f::MeasurementBatch::kUploadSubdomain, 8, "upload_subdomain"},
      {apmpb_type::MeasurementBatch, f::MeasurementBatch::kUploadSource, 9, "upload_source"},
      {apmpb_type::MeasurementConfig, f::MeasurementConfig::kUploadSubdomain, 11,
       "upload_subdomain"},
      {apmpb_type::MeasurementConfig, f::MeasurementConfig::kConsentConfig, 15, "consent_config"},
      {apmpb_type::MeasurementConfig, f::MeasurementConfig::kRegion, 18, "region"},
      {apmpb_type::MeasurementBundle, f::MeasurementBundle::kPreviousBundleStartTimestampMillis, 26,
       "previous_bundle_start_timestamp_millis"},
      {apmpb_type::MeasurementBundle, f::MeasurementBundle::kVendorDeviceId, 27,
       "vendor_device_id"},
      {apmpb_type::MeasurementBundle, f::MeasurementBundle::kCapabilityFlags, 87,
       "capability_flags"},
      {apmpb_type::Event, f::Event::kTimestampMillis, 3, "timestamp_millis"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(row.type.fields[row.index].number, row.field_number);
    EXPECT_STREQ(row.type.fields[row.index].name, row.name);
  }
  EXPECT_EQ(f::MeasurementConfig::kConsentConfig, 12);
  EXPECT_EQ(f::MeasurementBatch::kUploadSubdomain, 2);
}

}  // namespace
