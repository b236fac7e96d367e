#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <optional>
#include <string>
#include <string_view>

#include "results/result_record.h"
#include "search/categories.h"
#include "search/content_matcher.h"
#include "search/search_filters.h"
#include "search/walk_watch.h"

namespace findlark {

struct WalkOptions;

enum class EntryKind { kDir, kRegular, kLink, kSpecial };

// What a search of the name's whole listing found in it: nothing, a match (by bytes), or not
// looked.
enum class ListedMatch { kNotLooked, kNone, kFound };

// One entry as the walk lists it.
struct WalkEntry {
  int dirFd = -1;           // the folder that lists it; -1 when that could not be kept open
  std::string_view folder;  // that folder's path, ending in "/"
  std::string_view name;
  const char* nameZ = nullptr;  // the same name ending in NUL, or null
  EntryKind kind = EntryKind::kSpecial;
  const struct stat* known = nullptr;  // its own lstat, when the walk has it
  bool noRead = false;  // never read for its text (pseudo file systems, pruned mount points)
  ListedMatch listed = ListedMatch::kNotLooked;
};

// What the walk did ahead for the decider: a PDF's text read on another thread, plain files of
// the listing opened many at once.
class WalkReader {
 public:
  virtual std::string ReadPdf(const WalkEntry& entry, struct stat* fileStat) = 0;
  // The plain file `entry`, opened with kContentOpenFlags, for the decider to read and close; fd
  // -1 when it was not opened ahead (or could not be).
  virtual OpenedFile TakeOpened(const WalkEntry& entry) = 0;
  // A read that may take long comes next: what was found before must not wait for it.
  virtual void WillWait() = 0;

 protected:
  ~WalkReader() = default;
};

// Decides what an entry is: a hit, and what the hit shows, or nothing; and whether a name is
// left out altogether. The cheap tests come first: the name and the exclusions, then a look-up
// for size and date, and only then a read of the contents. One per walking thread.
class HitDecider {
 public:
  // `rootPrefix` is the length of the searched folder's path with its final "/".
  HitDecider(const WalkOptions& options, size_t rootPrefix, WalkWatch::Slot* slot,
             WalkReader* reader = nullptr);

  bool excluding() const { return !exclude_.empty(); }
  // Left out by an exclusion: a folder so named is not entered, and nothing so named is a hit.
  bool Excluded(std::string_view folder, std::string_view name);

  // Fills `hit` and returns true when the entry is a hit.
  bool Decide(const WalkEntry& entry, ResultRecord& hit);
  // Whether Decide would read the text of the plain file `name` with nothing looked up first
  // (no name hit, a category searched by content, no size or date filter), so that the walk may
  // open it ahead. An exclusion is the walk's to check.
  bool WouldRead(std::string_view name);

 private:
  // The entry's category when the type filter admits it; sets `extension`.
  std::optional<FileCategory> AdmittedCategory(std::string_view name, bool isFolder,
                                               std::string& extension);

  const WalkOptions& options_;
  const SearchFilters* const filters_;  // null: none set
  const ExcludeMatcher exclude_;
  const size_t rootPrefix_;
  WalkWatch::Slot* const slot_;
  WalkReader* const reader_;
  std::string scratch_;
  std::string extension_;
  std::string aheadScratch_;  // WouldRead's
  std::string nameCopy_;
};

}  // namespace findlark
