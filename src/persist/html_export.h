#pragma once

#include <ctime>
#include <functional>
#include <string>
#include <string_view>

namespace findlark {

struct SearchResults;

// The results page: head, one table per category with hits (rows in tree order), tail; lines
// end in CR LF. The page is valid UTF-8 whatever the names hold, and each link is a
// percent-encoded file URL with the name's exact bytes.
//
// The page goes to `sink` in pieces of a few tens of KiB, category by category, so its size
// never has to fit in memory. Returns false as soon as `sink` does. `filters` says what the
// run left out (empty: nothing), under the heading.
bool StreamResultsPage(const SearchResults& results, std::string_view queryLower,
                       std::string_view stamp, const std::function<bool(std::string_view)>& sink,
                       std::string_view filters = {});

// The whole page in memory; for small result sets.
std::string BuildResultsPage(const SearchResults& results, std::string_view queryLower,
                             std::string_view stamp, std::string_view filters = {});

// Streams the page, stamped with `now` in local time, to a temporary file beside `path` and
// renames it over `path` (through a link, the link's target).
bool WriteResultsPage(const std::string& path, const SearchResults& results,
                      std::string_view queryLower, time_t now, std::string* error,
                      std::string_view filters = {});

std::string FileUrl(std::string_view path);  // "file://" + percent-encoded absolute path

}  // namespace findlark
