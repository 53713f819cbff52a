#include "measurement/model/apm_event_aggregates.h"

#include <array>
#include <limits>

#include "measurement/model/apm_audience_records.h"
#include "measurement/storage/storage_test_support.h"

namespace {

class APMEventAggregatesTest : public apm_testing::StorageTest {
 protected:
  // (level, code) of each report, in order.
  std::vector<std::pair<std::int64_t, std::int64_t>> codes() {
    monitor()->waitForMonitorQueue();
    std::vector<std::pair<std::int64_t, std::int64_t>> out;
    for (const auto& report : reports())
      out.emplace_back(report.level, report.code);
    return out;
  }
};

constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();

TEST_F(APMEventAggregatesTest, ANewRecordHasTheStartValuesAndRefusesNegativeCounts) {
  const auto aggregates = APMEventAggregates::initWithName("_e", 0, 0, 0, 3.5);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->lastSamplingRate(), 1);
  EXPECT_EQ(aggregates->lastBundledDay(), 0);
  EXPECT_EQ(aggregates->lastBundledTimestamp(), 0);
  EXPECT_FALSE(aggregates->lastExemptFromSampling());
  EXPECT_FALSE(aggregates->lastSampledComplexEventID());
  EXPECT_EQ(aggregates->lastFireTimestamp(), 3.5);
  EXPECT_TRUE(codes().empty());

  for (const auto& counts : {std::array{-1, 0, 0}, std::array{0, -1, 0}, std::array{0, 0, -1}}) {
    EXPECT_FALSE(APMEventAggregates::initWithName("_e", counts[0], counts[1], counts[2], 0));
  }
  EXPECT_EQ(codes(), (decltype(codes()){{5, 17000}, {5, 17000}, {5, 17000}}));
  clearReports();
  EXPECT_FALSE(APMEventAggregates::initWithName("", 0, 0, 0, 0));
}

TEST_F(APMEventAggregatesTest, EachCounterWrapsToZeroAtTheInt32MaximumWithItsOwnCode) {
  auto aggregates = APMEventAggregates::initWithName("_e", kMax - 1, kMax, kMax, 0);
  ASSERT_TRUE(aggregates);
  aggregates->incrementLifetimeCount();
  EXPECT_EQ(aggregates->lifetimeCount(), kMax);
  EXPECT_TRUE(codes().empty());
  aggregates->incrementLifetimeCount();
  aggregates->incrementCurrentBundleCount();
  aggregates->incrementCurrentSessionCount();
  EXPECT_EQ(aggregates->lifetimeCount(), 0);
  EXPECT_EQ(aggregates->currentBundleCount(), 0);
  EXPECT_EQ(aggregates->currentSessionCount(), 0);
  EXPECT_EQ(codes(), (decltype(codes()){{5, 17001}, {5, 17002}, {5, 17003}}));
}

TEST_F(APMEventAggregatesTest, FilterRecordsKeepTheirFlagsAndExactBytes) {
  const platform::Bytes data{0x08, 0x01, 0x30, 0x01};
  const auto filter = APMEventFilter::initWithAudienceID(4, 2, "_e", data, false, true, false);
  EXPECT_EQ(filter->data(), data);
  EXPECT_TRUE(filter->isDynamic());
  EXPECT_FALSE(filter->isSequence());
  const auto property = APMPropertyFilter::initWithAudienceID(4, 3, "p", data, true, false, true);
  EXPECT_TRUE(property->isSessionScoped());
  EXPECT_TRUE(property->isSequence());
  EXPECT_EQ(property->propertyName(), "p");
}

}  // namespace
