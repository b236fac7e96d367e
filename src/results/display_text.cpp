#include "results/display_text.h"

#include <cinttypes>
#include <cstdio>

namespace findlark {

namespace {

// Names are ours, not the C library's, so the texts stay English under any user locale.
constexpr const char* kMonths[12] = {"January",   "February", "March",    "April",
                                     "May",       "June",     "July",     "August",
                                     "September", "October",  "November", "December"};
constexpr const char* kWeekdays[7] = {"Sunday",   "Monday", "Tuesday", "Wednesday",
                                      "Thursday", "Friday", "Saturday"};

// bytes / divisor, a half rounded up. Integer arithmetic is exact for every 64-bit size.
int64_t DivideRounded(int64_t bytes, int64_t divisor) {
  const int64_t whole = bytes / divisor;
  const int64_t rest = bytes % divisor;
  return rest * 2 >= divisor ? whole + 1 : whole;
}

std::string Printf(const char* format, auto... args) {
  char buffer[128];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  return n > 0 ? std::string(buffer, static_cast<size_t>(n)) : std::string();
}

bool LocalTime(time_t when, tm& out) {
  return localtime_r(&when, &out) != nullptr;
}

const char* MonthName(const tm& t) {
  return t.tm_mon >= 0 && t.tm_mon < 12 ? kMonths[t.tm_mon] : "?";
}

}  // namespace

std::string FormatSize(int64_t bytes) {
  if (bytes > 1000000000) return Printf("%" PRId64 " GB", DivideRounded(bytes, int64_t{1} << 30));
  if (bytes > 1000000) return Printf("%" PRId64 " MB", DivideRounded(bytes, int64_t{1} << 20));
  if (bytes > 1000) return Printf("%" PRId64 " KB", DivideRounded(bytes, int64_t{1} << 10));
  return Printf("%" PRId64 " bytes", bytes);
}

std::string FormatHitDate(time_t when) {
  tm t{};
  if (!LocalTime(when, t)) return {};
  return Printf("%s %02d, %d", MonthName(t), t.tm_mday, t.tm_year + 1900);
}

std::string FormatExportStamp(time_t when) {
  tm t{};
  if (!LocalTime(when, t)) return {};
  const char* weekday = t.tm_wday >= 0 && t.tm_wday < 7 ? kWeekdays[t.tm_wday] : "?";
  const int hour12 = t.tm_hour % 12 == 0 ? 12 : t.tm_hour % 12;
  return Printf("%s, %s %02d, %d %02d:%02d %s", weekday, MonthName(t), t.tm_mday, t.tm_year + 1900,
                hour12, t.tm_min, t.tm_hour < 12 ? "AM" : "PM");
}

}  // namespace findlark
