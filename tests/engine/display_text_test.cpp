#include "results/display_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <cstdlib>

namespace findlark {
namespace {

TEST(FormatSize, ThresholdsAreDecimalDivisorsBinaryHalvesRoundUp) {
  const std::pair<int64_t, const char*> cases[] = {{0, "0 bytes"},
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
                                                   {INT64_MAX, "8589934592 GB"}};
  for (const auto& [bytes, text] : cases) EXPECT_EQ(FormatSize(bytes), text) << bytes;
}

time_t Utc(int y, int mon, int d, int h, int min) {
  tm t{};
  t.tm_year = y - 1900, t.tm_mon = mon - 1, t.tm_mday = d, t.tm_hour = h, t.tm_min = min;
  return timegm(&t);
}

// English names and local time, even for a user whose locale names months in German.
TEST(DateText, EnglishNamesFixedFieldsLocalZone) {
  setenv("LC_ALL", "de_DE.UTF-8", 1);
  std::setlocale(LC_ALL, "");
  setenv("TZ", "UTC", 1);
  tzset();
  EXPECT_EQ(FormatHitDate(Utc(2007, 6, 4, 10, 0)), "June 04, 2007");
  EXPECT_EQ(FormatHitDate(Utc(2012, 9, 30, 23, 59)), "September 30, 2012");
  EXPECT_EQ(FormatExportStamp(Utc(2007, 6, 24, 15, 7)), "Sunday, June 24, 2007 03:07 PM");
  EXPECT_EQ(FormatExportStamp(Utc(2007, 6, 25, 0, 0)), "Monday, June 25, 2007 12:00 AM");
  EXPECT_EQ(FormatExportStamp(Utc(2007, 6, 27, 12, 0)), "Wednesday, June 27, 2007 12:00 PM");
  setenv("TZ", "EST5", 1);  // five hours behind: early on New Year's Day is still the old year
  tzset();
  EXPECT_EQ(FormatExportStamp(Utc(2007, 1, 1, 3, 0)), "Sunday, December 31, 2006 10:00 PM");
  std::setlocale(LC_ALL, "C");
  setenv("TZ", "UTC", 1);
  tzset();
}

}  // namespace
}  // namespace findlark
