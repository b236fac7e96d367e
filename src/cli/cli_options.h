#pragma once

#include <string>
#include <vector>

#include "search/categories.h"

namespace findlark {

enum class OutputFormat { kTree, kPaths, kTsv };
enum class ColorMode { kAuto, kAlways, kNever };

struct CliOptions {
  std::string queryLower;  // trimmed and folded, never empty after a successful parse
  std::string folder;      // as given; empty with allDrives
  bool allDrives = false;
  bool searchContents = false;
  bool searchPdf = false;  // --pdf: PDF documents through their text (a content search)
  FileCategory typeFilter = kTypeFilterAll;
  OutputFormat format = OutputFormat::kPaths;
  bool print0 = false;   // paths end in NUL instead of a line feed
  std::string htmlFile;  // empty: no page
  ColorMode color = ColorMode::kAuto;
};

struct ParseResult {
  enum class Action { kRun, kHelp, kVersion, kUsageError };
  Action action = Action::kRun;
  CliOptions options;
  std::string error;  // one line, for kUsageError
};

// `stdoutIsTerminal` picks the default format: the tree on a terminal, paths otherwise.
// Options may come before or after TEXT and FOLDER; "--" ends them.
ParseResult ParseCommandLine(const std::vector<std::string>& args, bool stdoutIsTerminal);

std::string UsageText();    // the short synopsis printed after a usage error
std::string HelpText();     // --help
std::string VersionText();  // --version

// "Documents, Pictures, ..., Other": what --type accepts.
std::string CategoryList();

}  // namespace findlark
