#pragma once

#include <atomic>
#include <cstddef>
#include <string>

#include <sys/types.h>

struct stat;

#include "search/case_fold.h"

namespace findlark {

// A matching line longer than this is stored cut (at a UTF-8 boundary); the tip shows less.
inline constexpr size_t kMaxMatchLine = 16 * 1024;

// First line of the file that contains the query (compared folded, returned as read, its
// CR LF dropped); the file ends at its first 0x1A byte. Empty when no line matches, on any
// file error, when the path is not a regular file (FIFOs and devices are never opened), or
// when `stop` becomes set between reads. Memory stays bounded whatever the file holds.
std::string MatchContent(const std::string& path, const QueryMatcher& query,
                         const std::atomic<bool>* stop = nullptr);

// The same for `name` relative to an open directory; the walk uses it to avoid path lookups.
// With `followLink` false the name is opened with O_NOFOLLOW (the walk saw a plain file);
// with it true a link is followed, but only to a regular file. When the file was read,
// `fileStat` (if given) receives its fstat, so a hit needs no second look-up.
std::string MatchContentAt(int dirFd, const char* name, const QueryMatcher& query,
                           const std::atomic<bool>* stop = nullptr, bool followLink = true,
                           struct stat* fileStat = nullptr);

// The same, but a file larger than `maxSize` bytes (when that is not negative) is left unread
// and `declined` set: for work that must not hold its caller up for long.
std::string MatchSmallContentAt(int dirFd, const char* name, const QueryMatcher& query,
                                const std::atomic<bool>* stop, bool followLink,
                                struct stat* fileStat, off_t maxSize, bool& declined);

}  // namespace findlark
