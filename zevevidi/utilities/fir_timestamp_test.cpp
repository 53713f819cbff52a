#include "zevevidi/utilities/fir_timestamp.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "platform/core/exception.h"
#include "platform/dispatch/test_environment.h"

namespace {

struct DateCase {
  double date;
  std::int64_t seconds;
  std::int32_t nanoseconds;
};

TEST(FIRTimestampTest, FromDateSplitsIntoSecondsAndNanoseconds) {
  const DateCase cases[] = {
      {0.0, 0, 0},
      {-0.5, -1, 500000000},
      {1.25, 1, 250000000},
      {-1.25, -2, 750000000},
      {-3.0, -3, 0},
      {1700000000.5, 1700000000, 500000000},
      // Fractions that round to a whole second carry into the seconds.
      {-1e-17, 0, 0},
      {-1e-20, 0, 0},
      {-1.0 - 1e-16, -1, 0},
      {-62135596800.0, -62135596800, 0},
      {253402300799.0, 253402300799, 0},
  };
  for (const auto& c : cases) {
    auto t = FIRTimestamp::timestampWithDate(platform::Date{c.date});
    EXPECT_EQ(t->seconds(), c.seconds) << c.date;
    EXPECT_EQ(t->nanoseconds(), c.nanoseconds) << c.date;
  }
}

TEST(FIRTimestampTest, OutOfRangeValuesRaiseInvalidTimestamp) {
  struct Case {
    std::int64_t seconds;
    std::int32_t nanoseconds;
    const char* reason;
  };
  const Case cases[] = {
      {0, 1000000000, "Timestamp nanoseconds out of range: 1000000000"},
      {0, -1, "Timestamp nanoseconds out of range: -1"},
      // The nanosecond check comes first.
      {253402300800, -1, "Timestamp nanoseconds out of range: -1"},
      {253402300800, 0, "Timestamp seconds out of range: 253402300800"},
      {-62135596801, 0, "Timestamp seconds out of range: -62135596801"},
  };
  for (const auto& c : cases) {
    try {
      FIRTimestamp::timestampWithSeconds(c.seconds, c.nanoseconds);
      ADD_FAILURE() << "no exception for " << c.seconds << "/" << c.nanoseconds;
    } catch (const platform::Exception& e) {
      EXPECT_STREQ(e.name().c_str(), "Invalid timestamp");
      EXPECT_EQ(e.reason(), c.reason);
    }
  }
  // The bounds themselves are valid.
  EXPECT_EQ(FIRTimestamp::timestampWithSeconds(-62135596800, 0)->seconds(), -62135596800);
  EXPECT_EQ(FIRTimestamp::initWithSeconds(253402300799, 999999999)->nanoseconds(), 999999999);
}

TEST(FIRTimestampTest, DatesOutsideTheRangeRaiseInsteadOfOverflowing) {
  const double dates[] = {
      253402300800.0,
      // A carry past the last valid second is out of range, not wrapped.
      -62135596800.0 - 0.5,
      1e300,
      -1e300,
      std::numeric_limits<double>::infinity(),
      std::numeric_limits<double>::quiet_NaN(),
  };
  for (double date : dates) {
    try {
      FIRTimestamp::timestampWithDate(platform::Date{date});
      ADD_FAILURE() << "no exception for " << date;
    } catch (const platform::Exception& e) {
      EXPECT_STREQ(e.name().c_str(), "Invalid timestamp");
      EXPECT_EQ(e.reason().rfind("Timestamp seconds out of range: ", 0), 0u) << e.reason();
    }
  }
}

TEST(FIRTimestampTest, PrintsIso8601WithNineFractionalDigits) {
  struct Case {
    std::int64_t seconds;
    std::int32_t nanoseconds;
    const char* text;
  };
  const Case cases[] = {
      {0, 1, "1970-01-01T00:00:00.000000001Z"},
      {-1, 500000000, "1969-12-31T23:59:59.500000000Z"},
      {951782400, 0, "2000-02-29T00:00:00.000000000Z"},
      {1700000000, 123456789, "2023-11-14T22:13:20.123456789Z"},
      {-62135596800, 0, "0001-01-01T00:00:00.000000000Z"},
      {253402300799, 999999999, "9999-12-31T23:59:59.999999999Z"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FIRTimestamp::timestampWithSeconds(c.seconds, c.nanoseconds)->ISO8601String(),
              c.text);
  }
  EXPECT_EQ(FIRTimestamp::timestampWithSeconds(-5, 7)->description(),
            "<FIRTimestamp: seconds=-5 nanoseconds=7>");
}

TEST(FIRTimestampTest, ComparesEqualsAndHashes) {
  auto a = FIRTimestamp::timestampWithSeconds(10, 5);
  auto b = FIRTimestamp::timestampWithSeconds(10, 6);
  auto c = FIRTimestamp::timestampWithSeconds(11, 0);
  auto a2 = FIRTimestamp::timestampWithSeconds(10, 5);
  EXPECT_EQ(a->compare(*b), -1);
  EXPECT_EQ(b->compare(*a), 1);
  EXPECT_EQ(b->compare(*c), -1);
  EXPECT_EQ(a->compare(*a2), 0);
  EXPECT_TRUE(a->isEqual(*a2));
  EXPECT_FALSE(a->isEqual(*b));
  EXPECT_EQ(a->hash(), a2->hash());
  // (seconds >> 32) ^ seconds ^ nanoseconds, with an arithmetic shift for negative seconds.
  auto negative = FIRTimestamp::timestampWithSeconds(-62135596800, 3);
  const std::int64_t s = -62135596800;
  EXPECT_EQ(negative->hash(), static_cast<std::size_t>((s >> 32) ^ s ^ 3));

  struct Other : platform::Object {};
  Other other;
  EXPECT_FALSE(a->isEqual(other));
}

TEST(FIRTimestampTest, DateValueRoundTrips) {
  auto t = FIRTimestamp::timestampWithSeconds(-2, 250000000);
  EXPECT_DOUBLE_EQ(t->dateValue().secondsSince1970, -1.75);
  auto back = FIRTimestamp::timestampWithDate(t->dateValue());
  EXPECT_TRUE(back->isEqualToTimestamp(*t));
}

TEST(FIRTimestampTest, NowComesFromThePlatformClock) {
  platform::TestEnvironment env(1700000000.25);
  auto now = FIRTimestamp::timestamp();
  EXPECT_EQ(now->seconds(), 1700000000);
  EXPECT_EQ(now->nanoseconds(), 250000000);
  env.setWallClock(-0.75);
  now = FIRTimestamp::timestamp();
  EXPECT_EQ(now->seconds(), -1);
  EXPECT_EQ(now->nanoseconds(), 250000000);
}

// Timestamps equal in time are one map key, however many copies were made; the keys iterate in
// time order.
TEST(FIRTimestampTest, EqualTimestampsAreOneMapKeyInTimeOrder) {
  auto key = [](std::int64_t seconds, std::int32_t nanoseconds) {
    return platform::Value(std::const_pointer_cast<FIRTimestamp>(
        FIRTimestamp::timestampWithSeconds(seconds, nanoseconds)));
  };
  platform::ValueMap map;
  for (int round = 0; round < 3; ++round) {
    for (int i = 0; i < 20; ++i) {
      map[key(100 - i % 5, (i % 2) * 500)] = platform::Value(round);
    }
  }
  ASSERT_EQ(map.size(), 10u);
  std::int64_t previous = std::numeric_limits<std::int64_t>::min();
  for (const auto& entry : map) {
    auto timestamp = entry.first.asObjectOf<FIRTimestamp>();
    ASSERT_TRUE(timestamp);
    const std::int64_t at = timestamp->seconds() * 1000000000 + timestamp->nanoseconds();
    EXPECT_GT(at, previous);
    previous = at;
  }
  EXPECT_EQ(map.count(key(97, 500)), 1u);
}

}  // namespace
