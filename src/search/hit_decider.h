#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "results/result_record.h"
#include "search/categories.h"
#include "search/search_filters.h"
#include "search/walk_watch.h"

namespace findlark {

struct WalkOptions;

enum class EntryKind { kDir, kRegular, kLink, kSpecial };

// One entry as the walk lists it.
struct WalkEntry {
  int dirFd = -1;           // the folder that lists it; -1 when that could not be kept open
  std::string_view folder;  // that folder's path, ending in "/"
  std::string_view name;
  const char* nameZ = nullptr;  // the same name ending in NUL, or null
  EntryKind kind = EntryKind::kSpecial;
  const struct stat* known = nullptr;  // its own lstat, when the walk has it
  bool noRead = false;  // never read for its text (pseudo file systems, pruned mount points)
};

// Reads a PDF's text for the decider: the walk may have started it on another thread.
class PdfReader {
 public:
  virtual std::string ReadPdf(const WalkEntry& entry, struct stat* fileStat) = 0;

 protected:
  ~PdfReader() = default;
};

// Decides what an entry is: a hit, and what the hit shows, or nothing; and whether a name is
// left out altogether. The cheap tests come first: the name and the exclusions, then a look-up
// for size and date, and only then a read of the contents. One per walking thread.
class HitDecider {
 public:
  // `rootPrefix` is the length of the searched folder's path with its final "/".
  HitDecider(const WalkOptions& options, size_t rootPrefix, WalkWatch::Slot* slot,
             PdfReader* pdfReader = nullptr);

  bool excluding() const { return !exclude_.empty(); }
  // Left out by an exclusion: a folder so named is not entered, and nothing so named is a hit.
  bool Excluded(std::string_view folder, std::string_view name);

  // Fills `hit` and returns true when the entry is a hit.
  bool Decide(const WalkEntry& entry, ResultRecord& hit);

 private:
  // The entry's category when the type filter admits it; sets extension_.
  std::optional<FileCategory> AdmittedCategory(std::string_view name, bool isFolder);

  const WalkOptions& options_;
  const SearchFilters* const filters_;  // null: none set
  const ExcludeMatcher exclude_;
  const size_t rootPrefix_;
  WalkWatch::Slot* const slot_;
  PdfReader* const pdfReader_;
  std::string scratch_;
  std::string extension_;
  std::string nameCopy_;
};

}  // namespace findlark
