#include "platform/foundation/date_format.h"

#include <gtest/gtest.h>

#include <cmath>

namespace platform {
namespace {

TEST(DateFormat, FixedFormatsInGMT) {
  struct Case {
    double seconds;
    const char* day;
    const char* dateTime;
    const char* iso;
  };
  const Case cases[] = {
      {0, "1970-01-01", "1970-01-01T00:00:00", "1970-01-01T00:00:00Z"},
      {-1, "1969-12-31", "1969-12-31T23:59:59", "1969-12-31T23:59:59Z"},
      {-0.5, "1969-12-31", "1969-12-31T23:59:59", "1969-12-31T23:59:59Z"},
      {951782400, "2000-02-29", "2000-02-29T00:00:00", "2000-02-29T00:00:00Z"},  // leap century
      {951868799, "2000-02-29", "2000-02-29T23:59:59", "2000-02-29T23:59:59Z"},
      {1709251199.999, "2024-02-29", "2024-02-29T23:59:59", "2024-02-29T23:59:59Z"},
      {1709251200, "2024-03-01", "2024-03-01T00:00:00", "2024-03-01T00:00:00Z"},
      {4107542400, "2100-03-01", "2100-03-01T00:00:00", "2100-03-01T00:00:00Z"},  // 2100 no leap
      {2147483647, "2038-01-19", "2038-01-19T03:14:07", "2038-01-19T03:14:07Z"},  // 32-bit edge
      {2147483648, "2038-01-19", "2038-01-19T03:14:08", "2038-01-19T03:14:08Z"},
      {-2147483648, "1901-12-13", "1901-12-13T20:45:52", "1901-12-13T20:45:52Z"},
      {978307200, "2001-01-01", "2001-01-01T00:00:00", "2001-01-01T00:00:00Z"},  // reference
      {253402300799, "9999-12-31", "9999-12-31T23:59:59", "9999-12-31T23:59:59Z"},
      {-62135596800, "0001-01-01", "0001-01-01T00:00:00", "0001-01-01T00:00:00Z"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.seconds);
    Date d{c.seconds};
    EXPECT_EQ(DateFormatter::dayFormatter().stringFromDate(d), c.day);
    EXPECT_EQ(DateFormatter::dateTimeFormatter().stringFromDate(d), c.dateTime);
    EXPECT_EQ(iso8601String(d), c.iso);
    // Whole-second text reads back as the start of that second.
    double whole = std::floor(c.seconds);
    EXPECT_EQ(DateFormatter::dateTimeFormatter().dateFromString(c.dateTime), Date{whole});
    EXPECT_EQ(dateFromISO8601String(c.iso), Date{whole});
    EXPECT_EQ(DateFormatter::dayFormatter().dateFromString(c.day), startOfDayGMT(d));
  }
}

TEST(DateFormat, StrictParsingRefusesImpossibleOrPartialText) {
  for (const char* bad : {"2023-02-29", "2024-02-30", "2024-13-01", "2024-00-10", "2024-1-01",
                          "24-01-01", "2024-01-01 ", "2024/01/01", "", "2024-04-31"}) {
    EXPECT_EQ(DateFormatter::dayFormatter().dateFromString(bad), std::nullopt) << bad;
  }
  for (const char* bad : {"2024-01-01T24:00:00", "2024-01-01T12:60:00", "2024-01-01T12:00:60",
                          "2024-01-01 12:00:00", "2024-01-01T12:00"}) {
    EXPECT_EQ(DateFormatter::dateTimeFormatter().dateFromString(bad), std::nullopt) << bad;
  }
  for (const char* bad :
       {"2024-01-01T00:00:00", "2024-01-01T00:00:00+25:00", "2024-01-01T00:00:00.Z"}) {
    EXPECT_EQ(dateFromISO8601String(bad), std::nullopt) << bad;
  }
}

TEST(DateFormat, ZonesFractionsAndReferenceDate) {
  DateFormatter withZone("yyyy-MM-dd'T'HH:mm:ssZZZZZ");
  EXPECT_EQ(withZone.stringFromDate(Date{1709208000}), "2024-02-29T12:00:00Z");
  EXPECT_EQ(withZone.dateFromString("2024-02-29T13:30:00+01:30"), Date{1709208000});
  EXPECT_EQ(withZone.dateFromString("2024-02-29T10:00:00-02:00"), Date{1709208000});
  DateFormatter plusOne("yyyy-MM-dd HH:mm:ss.SSS ZZZZZ", 3600);
  EXPECT_EQ(plusOne.stringFromDate(Date{1709208000.25}), "2024-02-29 13:00:00.250 +01:00");
  EXPECT_EQ(dateFromISO8601String("2024-02-29T12:00:00.5Z"), Date{1709208000.5});

  EXPECT_DOUBLE_EQ(timeIntervalSinceReferenceDate(Date{978307200 + 12.5}), 12.5);
  EXPECT_EQ(dateWithTimeIntervalSinceReferenceDate(-978307200), Date{0});
  EXPECT_EQ(startOfDayGMT(Date{-0.001}), Date{-86400});
  EXPECT_EQ(startOfDayGMT(Date{1709251199.9}), Date{1709164800});
  // Values no calendar can show give empty text rather than garbage.
  EXPECT_EQ(DateFormatter::dayFormatter().stringFromDate(Date{std::nan("")}), "");
}

}  // namespace
}  // namespace platform
