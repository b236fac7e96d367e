#pragma once

#include <cstdint>
#include <string>
#include <string_view>

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

// A hit seen where it is kept (a record, or a packed batch of them), valid as long as that is.
struct HitView {
  HitView() = default;
  HitView(const ResultRecord& r)  // NOLINT: a record reads as a view wherever one is wanted
      : path(r.path),
        sizeText(r.sizeText),
        dateText(r.dateText),
        matchLine(r.matchLine),
        extension(r.extension),
        category(r.category),
        size(r.size),
        mtime(r.mtime) {}
  ResultRecord ToRecord() const {
    return {std::string(path),
            std::string(sizeText),
            std::string(dateText),
            std::string(matchLine),
            std::string(extension),
            category,
            size,
            mtime};
  }

  std::string_view path;
  std::string_view sizeText;
  std::string_view dateText;
  std::string_view matchLine;
  std::string_view extension;
  FileCategory category = 0;
  int64_t size = -1;
  int64_t mtime = 0;
};

}  // namespace findlark
