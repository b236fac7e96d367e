#include "search/hit_decider.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "results/display_text.h"
#include "search/case_fold.h"
#include "search/content_matcher.h"
#include "search/directory_walk.h"

namespace findlark {
namespace {

// A file larger than this may take long enough to read that hits found before it should not
// wait for the read (WalkReader::WillWait); handing them on for every file would cost more.
constexpr off_t kLongRead = off_t{1} << 20;

const SearchFilters* SetFilters(const WalkOptions& options) {
  return options.filters != nullptr && options.filters->Any() ? options.filters : nullptr;
}

}  // namespace

HitDecider::HitDecider(const WalkOptions& options, size_t rootPrefix, WalkWatch::Slot* slot,
                       WalkReader* reader)
    : options_(options),
      filters_(SetFilters(options)),
      exclude_(filters_ ? filters_->exclude : std::vector<std::string>{}),
      rootPrefix_(rootPrefix),
      slot_(slot),
      reader_(reader) {}

bool HitDecider::Excluded(std::string_view folder, std::string_view name) {
  // The path below the searched folder is made only for patterns that need it.
  nameCopy_.clear();
  if (exclude_.matchesPaths()) {
    nameCopy_.assign(folder.substr(std::min(rootPrefix_, folder.size())));
    nameCopy_.append(name);
  }
  return exclude_.Excluded(name, nameCopy_, scratch_);
}

std::optional<FileCategory> HitDecider::AdmittedCategory(std::string_view name, bool isFolder,
                                                         std::string& extension) {
  const size_t dot = name.rfind('.');
  if (dot == std::string_view::npos) {
    extension.clear();
  } else {
    FoldCaseInto(name.substr(dot + 1), extension);
  }
  const std::optional<FileCategory> category = ClassifyEntry(isFolder, extension);
  if (!category) return std::nullopt;
  if (options_.typeFilter != kTypeFilterAll && options_.typeFilter != *category)
    return std::nullopt;
  return category;
}

bool HitDecider::WouldRead(std::string_view name) {
  // Called in the middle of Decide: its own scratch space.
  if (options_.query->Find(name, aheadScratch_) != std::string_view::npos) return false;
  if (filters_ != nullptr && filters_->NeedsStat()) return false;
  const std::optional<FileCategory> category = AdmittedCategory(name, false, aheadScratch_);
  return category && IsContentSearchable(*category);
}

bool HitDecider::Decide(const WalkEntry& entry, ResultRecord& hit) {
  const QueryMatcher& query = *options_.query;
  const std::string_view name = entry.name;
  // The walk may have searched the whole listing already; a whole word is judged here.
  bool nameHit = entry.listed == ListedMatch::kFound;
  if (entry.listed == ListedMatch::kNotLooked || (nameHit && query.WholeWord()))
    nameHit = query.Find(name, scratch_) != std::string_view::npos;
  if (!nameHit && !options_.searchContents) return false;

  const char* nameZ = entry.nameZ;
  if (nameZ == nullptr) {
    nameCopy_.assign(name);
    nameZ = nameCopy_.c_str();
  }
  const int dirFd = entry.dirFd;
  struct stat st;
  bool haveStat = false;
  if (entry.known != nullptr) {
    st = *entry.known;
    haveStat = true;
  }
  bool isFolder = entry.kind == EntryKind::kDir;
  bool regular = entry.kind == EntryKind::kRegular;
  if (entry.kind == EntryKind::kLink && dirFd >= 0 &&
      fstatat(dirFd, nameZ, &st, AT_NO_AUTOMOUNT) == 0) {
    // A link takes the kind, size and date of what it points to.
    haveStat = true;
    isFolder = S_ISDIR(st.st_mode);
    regular = S_ISREG(st.st_mode);
  }

  const std::optional<FileCategory> category = AdmittedCategory(name, isFolder, extension_);
  if (!category) return false;

  if (filters_ != nullptr && filters_->NeedsStat()) {
    // Size and date before any read: what cannot be looked up cannot be shown to fit.
    if (!haveStat) {
      haveStat =
          dirFd >= 0 && fstatat(dirFd, nameZ, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0;
      if (!haveStat) return false;
    }
    if (!isFolder && !filters_->SizeAdmits(static_cast<int64_t>(st.st_size))) return false;
    if (!filters_->DateAdmits(st.st_mtime)) return false;
  }

  std::string matchLine;
  if (!nameHit) {
    // FIFOs, sockets and devices are never opened, nor is anything on a pseudo file system:
    // some never end, some are used up by reading.
    const bool pdfOnly = *category == kPdfDocuments && options_.pdf != nullptr;
    if ((!IsContentSearchable(*category) && !pdfOnly) || !regular || dirFd < 0 || entry.noRead)
      return false;
    struct stat fileStat;
    if (slot_) {
      scratch_.assign(entry.folder);
      scratch_.append(name);
      slot_->At(scratch_);
    }
    const bool plain = entry.kind == EntryKind::kRegular && reader_ && entry.nameZ;
    OpenedFile opened;
    if (pdfOnly && plain) {
      matchLine = reader_->ReadPdf(entry, &fileStat);
    } else if (plain && (opened = reader_->TakeOpened(entry)).fd >= 0) {
      if (opened.st == nullptr || opened.st->st_size > kLongRead) reader_->WillWait();
      matchLine = MatchOpenedFile(opened, query, options_.stop, &fileStat, options_.unreadable,
                                  {options_.pdf, false});
    } else {
      if (reader_) reader_->WillWait();
      matchLine = MatchContentAt(dirFd, nameZ, query, options_.stop, entry.kind == EntryKind::kLink,
                                 &fileStat, options_.unreadable, {options_.pdf, pdfOnly});
    }
    if (matchLine.empty()) return false;
    // What was read is what a link points to, and a link already has that stat.
    if (!haveStat) {
      st = fileStat;
      haveStat = true;
    }
  }
  if (!haveStat && options_.details) {
    // A name that is gone is no hit; one that only cannot be looked up (a folder that can be
    // listed but not entered) is a hit without size and date.
    haveStat = dirFd >= 0 && fstatat(dirFd, nameZ, &st, AT_SYMLINK_NOFOLLOW | AT_NO_AUTOMOUNT) == 0;
    if (!haveStat && (dirFd < 0 || errno == ENOENT)) return false;
  }

  hit.path.clear();
  hit.path.reserve(entry.folder.size() + name.size());
  hit.path.append(entry.folder);
  hit.path.append(name);
  // A hit's path never ends in "/" except for the root "/" itself, which is never a hit.
  hit.category = *category;
  hit.extension = extension_;
  hit.sizeText.clear();
  hit.dateText.clear();
  hit.size = -1;
  hit.mtime = 0;
  if (options_.details && haveStat) {
    if (*category != kFolders) {
      hit.size = static_cast<int64_t>(st.st_size);
      hit.sizeText = FormatSize(hit.size);
    }
    hit.mtime = static_cast<int64_t>(st.st_mtime);
    hit.dateText = FormatHitDate(st.st_mtime);
  }
  hit.matchLine = std::move(matchLine);
  return true;
}

}  // namespace findlark
