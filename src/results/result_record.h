#pragma once

#include <cstdint>
#include <string>

#include "search/categories.h"

namespace findlark {

// One hit. Records are values: once stored they never change.
struct ResultRecord {
  std::string path;       // full path, bytes as the file system gave them
  std::string sizeText;   // empty for folders
  std::string dateText;   // "%B %d, %Y", local time
  std::string matchLine;  // empty for a hit by name
  std::string extension;  // folded, without the dot
  FileCategory category = 0;
  // The values behind sizeText and dateText, for scripts; set together with those texts.
  int64_t size = -1;  // bytes
  int64_t mtime = 0;  // seconds since the epoch
};

}  // namespace findlark
