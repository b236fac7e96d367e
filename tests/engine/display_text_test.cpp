#include "results/display_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

namespace findlark {
namespace {

TEST(FormatSize, ThresholdsAreDecimalDivisorsBinaryHalvesRoundUp) {
  const struct {
    int64_t bytes;
    const char* text;
  } cases[] = {
      {0, "0 bytes"},
      {1, "1 bytes"},
      {1000, "1000 bytes"},
      {1001, "1 KB"},
      {1535, "1 KB"},
      {1536, "2 KB"},
      {2560, "3 KB"},
      {1000000, "977 KB"},
      {1000001, "1 MB"},
      {2621440, "3 MB"},
      {1000000000, "954 MB"},
      {1000000001, "1 GB"},
      {1610612736, "2 GB"},
      {5000000000000, "4657 GB"},
      {INT64_MAX, "8589934592 GB"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;
}

// Local time in a fixed zone, under a user locale that would name months in German.
class DateText : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("LC_ALL", "de_DE.UTF-8", 1);
    setenv("LANG", "de_DE.UTF-8", 1);
    std::setlocale(LC_ALL, "");
    Zone("UTC");
  }
  void TearDown() override {
    std::setlocale(LC_ALL, "C");
    Zone("UTC");
  }
  static void Zone(const char* tz) {
    setenv("TZ", tz, 1);
    tzset();
  }
  static time_t At(int y, int mon, int d, int h, int min) {
    tm t{};
    t.tm_year = y - 1900;
    t.tm_mon = mon - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = min;
    return timegm(&t);
  }
};

TEST_F(DateText, EnglishNamesAndFixedWidthFields) {
  EXPECT_EQ(FormatHitDate(At(2007, 6, 4, 10, 0)), "June 04, 2007");
  EXPECT_EQ(FormatHitDate(At(2007, 1, 1, 0, 0)), "January 01, 2007");
  EXPECT_EQ(FormatHitDate(At(2012, 9, 30, 23, 59)), "September 30, 2012");
  EXPECT_EQ(FormatExportStamp(At(2007, 6, 24, 15, 7)), "Sunday, June 24, 2007 03:07 PM");
  EXPECT_EQ(FormatExportStamp(At(2007, 6, 25, 0, 0)), "Monday, June 25, 2007 12:00 AM");
  EXPECT_EQ(FormatExportStamp(At(2007, 6, 27, 12, 0)), "Wednesday, June 27, 2007 12:00 PM");
  EXPECT_EQ(FormatExportStamp(At(2007, 6, 30, 11, 59)), "Saturday, June 30, 2007 11:59 AM");
}

TEST_F(DateText, UsesTheLocalZone) {
  Zone("EST5");  // five hours behind: early on New Year's Day is still the old year
  EXPECT_EQ(FormatHitDate(At(2007, 1, 1, 3, 0)), "December 31, 2006");
  EXPECT_EQ(FormatExportStamp(At(2007, 1, 1, 3, 0)), "Sunday, December 31, 2006 10:00 PM");
}

}  // namespace
}  // namespace findlark
