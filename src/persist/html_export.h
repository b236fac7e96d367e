#pragma once

#include <ctime>
#include <string>
#include <string_view>

namespace findlark {

struct SearchResults;

// The results page: head, one table per category with hits (rows in tree order), tail; lines
// end in CR LF. Texts are HTML-escaped and each link is a percent-encoded file URL.
std::string BuildResultsPage(const SearchResults& results, std::string_view queryLower,
                             std::string_view stamp);

// Builds the page with the current local time and writes it atomically to `path`.
bool WriteResultsPage(const std::string& path, const SearchResults& results,
                      std::string_view queryLower, time_t now, std::string* error);

std::string HtmlEscape(std::string_view text);
std::string FileUrl(std::string_view path);  // "file://" + percent-encoded absolute path

}  // namespace findlark
