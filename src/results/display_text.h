#pragma once

#include <cstdint>
#include <ctime>
#include <string>

namespace findlark {

std::string FormatSize(int64_t bytes);       // "%d bytes", then KB/MB/GB rounded half up
std::string FormatHitDate(time_t when);      // "%B %d, %Y" in local time, English names
std::string FormatExportStamp(time_t when);  // "%A, %B %d, %Y %I:%M %p" in local time

}  // namespace findlark
