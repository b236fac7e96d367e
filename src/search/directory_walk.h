#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>
#include <unordered_set>

#include "results/result_record.h"
#include "search/case_fold.h"
#include "search/categories.h"
#include "search/hit_batch.h"
#include "search/search_filters.h"
#include "search/walk_watch.h"

namespace findlark {

class PdfExtractor;

// Receives each hit, fully filled, in the order the walk finds it.
class HitSink {
 public:
  virtual ~HitSink() = default;
  virtual void OnHit(ResultRecord&& record) = 0;
  // A sink that keeps hits packed may take them in runs instead, in the same order: a run needs
  // no unpacking, and costs one hand-over between threads where each hit would cost one.
  virtual bool TakesRuns() const { return false; }
  virtual void OnHits(const HitRun& /*hits*/) {}
};

struct WalkOptions {
  const QueryMatcher* query = nullptr;  // required
  FileCategory typeFilter = kTypeFilterAll;
  bool searchContents = false;
  // With searchContents: PDF documents are searched through their text by this extractor.
  PdfExtractor* pdf = nullptr;
  const std::atomic<bool>* stop = nullptr;
  // Pseudo file systems (/proc, /sys and the like): their mount points (full paths) below the
  // root are never entered, and no file on one of these devices is ever read, whether found
  // directly, through a link or under a root inside one (which is still walked by name).
  const std::unordered_set<std::string>* pruned = nullptr;
  const std::unordered_set<dev_t>* unreadable = nullptr;
  // Mount points (full paths) below the root that are not even looked at: not entered, not
  // listed as hits (network file systems in a whole-machine search).
  const std::unordered_set<std::string>* skipped = nullptr;
  // Told where each walking thread is, so a place that does not answer can be named.
  WalkWatch* watch = nullptr;
  // Exclusions, size, date (null or none set: everything). Whole words are the matcher's, and
  // staying on one file system is done by pruning every other mount point.
  const SearchFilters* filters = nullptr;
  // Threads that list folders and read files, the walker included: 0 picks one per CPU this
  // process may use, and more while they wait on the disk; 1 does everything on the walker
  // itself. Hits come out the same.
  int threads = 0;
  // Blocks the calling thread has read from a disk so far; null: the kernel's count. A walk
  // that sees it grow takes on more threads for a while.
  long (*blocksRead)() = nullptr;
  // Size and date texts; without them a hit needs no look-up of its own (a list of paths).
  bool details = true;
  // Looks every entry up as if the listing did not say its type, as on file systems that never do.
  bool ignoreListedTypes = false;
  // Hits that helper threads may keep ahead of those handed to the sink, some 300 bytes each:
  // past it they wait, so that a search where everything is a hit does not hold most of them
  // twice.
  size_t maxHitsAhead = 1 << 16;
};

// Walks everything below `root` depth first (a folder's subtree before its own entry) and
// hands every hit to `sink`. Symbolic links are matched like any entry but never descended
// into; `root` itself is followed even when it is a link. Folders that cannot be listed add
// nothing. Depth is limited only by memory, not by file descriptors.
void SearchFolder(std::string root, const WalkOptions& options, HitSink& sink);

// Every walking thread may hold a chain of open folders, and a walk takes no more threads than
// half the descriptors allow: a program calls this at its start to lift its soft limit to the
// hard one (the low default protects select(), which nothing of this program uses). It also
// makes room for the descriptors a walk may hold, best while the process has one thread.
void RaiseDescriptorLimit();

// `folder` + "/" + `name`, without doubling a separator ("/" + "a" gives "/a").
std::string JoinPath(std::string_view folder, std::string_view name);

// Strips trailing "/" but keeps "/" itself.
std::string NormalizeRoot(std::string_view root);

}  // namespace findlark
