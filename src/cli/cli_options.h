#pragma once

#include <string>
#include <vector>

#include "search/categories.h"
#include "search/search_filters.h"

namespace findlark {

enum class OutputFormat { kTree, kPaths, kTsv, kJson };
enum class ColorMode { kAuto, kAlways, kNever };

struct CliOptions {
  std::string queryLower;  // trimmed and folded, never empty after a successful parse
  // As given, in order; none: the current folder.
  std::vector<std::string> folders;
  bool allDrives = false;
  bool networkMounts = false;  // a whole-machine search enters network file systems too
  bool searchContents = false;
  bool searchPdf = false;  // --pdf: PDF documents through their text (a content search)
  FileCategory typeFilter = kTypeFilterAll;
  OutputFormat format = OutputFormat::kPaths;
  bool print0 = false;   // paths end in NUL instead of a line feed
  std::string htmlFile;  // empty: no page
  ColorMode color = ColorMode::kAuto;
  SearchFilters filters;
  bool quiet = false;  // no progress and no final status line
  int threads = 0;     // threads that walk and read; 0: as many as the machine has
};

// What --threads accepts.
inline constexpr int kMaxThreads = 256;

struct ParseResult {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  CliOptions options;
  std::string error;  // one line, for kUsageError
};

// `stdoutIsTerminal` picks the default format: the tree on a terminal, paths otherwise.
// Options may come before or after TEXT and the FOLDERs; "--" ends them.
ParseResult ParseCommandLine(const std::vector<std::string>& args, bool stdoutIsTerminal);

std::string UsageText();    // the short synopsis printed after a usage error
std::string HelpText();     // --help
std::string VersionText();  // --version

// "Documents, Pictures, ..., Other": what --type accepts.
std::string CategoryList();

}  // namespace findlark
