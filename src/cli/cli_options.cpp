#include "cli/cli_options.h"

#include <algorithm>
#include <ctime>
#include <optional>
#include <string_view>

#include "search/case_fold.h"
#include "search/pdf_text.h"

#ifndef FINDLARK_VERSION
#define FINDLARK_VERSION "0"
#endif

namespace findlark {
namespace {

enum class Opt {
  kContents,
  kPdf,
  kType,
  kAllDrives,
  kNetworkMounts,
  kExclude,
  kSize,
  kChangedWithin,
  kChangedBefore,
  kWord,
  kOneFileSystem,
  kFormat,
  kPrint0,
  kHtml,
  kColor,
  kQuiet,
  kThreads,
  kHelp,
  kVersion,
};

struct OptSpec {
  Opt id;
  char shortName;  // 0: long form only
  std::string_view longName;
  bool takesValue;
};

constexpr OptSpec kOptions[] = {
    {Opt::kContents, 'c', "contents", false},
    {Opt::kPdf, 0, "pdf", false},
    {Opt::kType, 't', "type", true},
    {Opt::kAllDrives, 'a', "all-drives", false},
    {Opt::kNetworkMounts, 0, "network-mounts", false},
    {Opt::kExclude, 'E', "exclude", true},
    {Opt::kSize, 'S', "size", true},
    {Opt::kChangedWithin, 0, "changed-within", true},
    {Opt::kChangedBefore, 0, "changed-before", true},
    {Opt::kWord, 'w', "word", false},
    {Opt::kOneFileSystem, 'x', "one-file-system", false},
    {Opt::kFormat, 'f', "format", true},
    {Opt::kPrint0, '0', "print0", false},
    {Opt::kHtml, 0, "html", true},
    {Opt::kColor, 0, "color", true},
    {Opt::kQuiet, 'q', "quiet", false},
    {Opt::kThreads, 0, "threads", true},
    {Opt::kHelp, 'h', "help", false},
    {Opt::kVersion, 'V', "version", false},
};

const OptSpec* FindLong(std::string_view name) {
  for (const OptSpec& opt : kOptions) {
    if (opt.longName == name) return &opt;
  }
  return nullptr;
}

const OptSpec* FindShort(char c) {
  for (const OptSpec& opt : kOptions) {
    if (opt.shortName != 0 && opt.shortName == c) return &opt;
  }
  return nullptr;
}

std::optional<OutputFormat> FormatByName(std::string_view name) {
  if (name == "tree") return OutputFormat::kTree;
  if (name == "paths") return OutputFormat::kPaths;
  if (name == "tsv") return OutputFormat::kTsv;
  if (name == "json") return OutputFormat::kJson;
  return std::nullopt;
}

std::optional<ColorMode> ColorByName(std::string_view name) {
  if (name == "auto") return ColorMode::kAuto;
  if (name == "always") return ColorMode::kAlways;
  if (name == "never") return ColorMode::kNever;
  return std::nullopt;
}

// A point in time given as a date or as a time ago ("2d": two days before now).
std::optional<time_t> TimeOrAgo(const std::string& value, time_t now) {
  if (auto when = ParseDate(value)) return when;
  if (auto ago = ParseDuration(value)) return now - static_cast<time_t>(*ago);
  return std::nullopt;
}

struct Parser {
  ParseResult result;
  const time_t now = std::time(nullptr);
  std::optional<OutputFormat> format;
  bool help = false;
  bool version = false;
  bool failed = false;

  void Fail(std::string message) {
    if (failed) return;  // the first problem is the one worth reporting
    failed = true;
    result.error = std::move(message);
  }

  void Apply(const OptSpec& opt, std::string_view shown, const std::string& value) {
    CliOptions& o = result.options;
    switch (opt.id) {
      case Opt::kContents:
        o.searchContents = true;
        break;
      case Opt::kPdf:
        o.searchContents = o.searchPdf = true;
        break;
      case Opt::kType:
        if (auto category = CategoryByName(value)) {
          o.typeFilter = *category;
        } else {
          Fail("unknown type '" + value + "'; the types are: " + CategoryList());
        }
        break;
      case Opt::kAllDrives:
        o.allDrives = true;
        break;
      case Opt::kNetworkMounts:
        o.networkMounts = true;
        break;
      case Opt::kExclude:
        if (value.empty()) {
          Fail("option " + std::string(shown) + " needs a pattern");
        } else {
          o.filters.exclude.push_back(value);
        }
        break;
      case Opt::kSize: {
        const auto size = value.empty() ? std::nullopt : ParseSize(value.substr(1));
        if (!size || (value[0] != '+' && value[0] != '-')) {
          Fail("invalid size '" + value + "' for " + std::string(shown) +
               "; use +N (at least) or -N (at most), N with a unit such as 10MB");
        } else {
          (value[0] == '+' ? o.filters.minSize : o.filters.maxSize) = *size;
        }
        break;
      }
      case Opt::kChangedWithin:
      case Opt::kChangedBefore:
        if (auto when = TimeOrAgo(value, now)) {
          (opt.id == Opt::kChangedWithin ? o.filters.changedAfter : o.filters.changedBefore) =
              *when;
        } else {
          Fail("invalid time '" + value + "' for " + std::string(shown) +
               "; use a duration such as 2d, 3h or 30min, or a date such as 2026-12-07");
        }
        break;
      case Opt::kWord:
        o.filters.wholeWord = true;
        break;
      case Opt::kOneFileSystem:
        o.filters.oneFileSystem = true;
        break;
      case Opt::kFormat:
        if (auto f = FormatByName(value)) {
          format = *f;
        } else {
          Fail("unknown format '" + value + "' for " + std::string(shown) +
               "; use tree, paths, tsv or json");
        }
        break;
      case Opt::kPrint0:
        o.print0 = true;
        break;
      case Opt::kHtml:
        if (value.empty()) {
          Fail("option " + std::string(shown) + " needs a file name");
        } else {
          o.htmlFile = value;
        }
        break;
      case Opt::kColor:
        if (auto mode = ColorByName(value)) {
          o.color = *mode;
        } else {
          Fail("unknown value '" + value + "' for " + std::string(shown) +
               "; use auto, always or never");
        }
        break;
      case Opt::kQuiet:
        o.quiet = true;
        break;
      case Opt::kThreads: {
        int n = 0;
        const bool digits =
            !value.empty() && value.size() <= 3 &&
            std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
        if (digits) n = std::stoi(value);
        if (!digits || n < 1 || n > kMaxThreads) {
          Fail("invalid number '" + value + "' for " + std::string(shown) +
               "; use a whole number from 1 to " + std::to_string(kMaxThreads));
        } else {
          o.threads = n;
        }
        break;
      }
      case Opt::kHelp:
        help = true;
        break;
      case Opt::kVersion:
        version = true;
        break;
    }
  }
};

}  // namespace

std::string CategoryList() {
  std::string list;
  for (const char* name : g_categoryNames) {
    if (!list.empty()) list += ", ";
    list += name;
  }
  return list;
}

ParseResult ParseCommandLine(const std::vector<std::string>& args, bool stdoutIsTerminal) {
  Parser p;
  std::vector<std::string> positional;
  bool optionsEnded = false;

  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      positional.push_back(arg);  // "-" alone is an ordinary argument
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
      continue;
    }
    if (arg[1] == '-') {
      std::string_view body = std::string_view(arg).substr(2);
      size_t eq = body.find('=');
      std::string_view name = body.substr(0, eq);
      const OptSpec* opt = FindLong(name);
      std::string shown = "--" + std::string(name);
      if (opt == nullptr) {
        p.Fail("unrecognized option '" + shown + "'");
        continue;
      }
      std::string value;
      if (eq != std::string_view::npos) {
        if (!opt->takesValue) {
          p.Fail("option '" + shown + "' takes no value");
          continue;
        }
        value = std::string(body.substr(eq + 1));
      } else if (opt->takesValue) {
        if (i + 1 >= args.size()) {
          p.Fail("option '" + shown + "' needs a value");
          continue;
        }
        value = args[++i];
      }
      p.Apply(*opt, shown, value);
      continue;
    }
    // One or more short options bundled: "-ca0", "-tpdf", "-t pdf".
    for (size_t k = 1; k < arg.size(); ++k) {
      const OptSpec* opt = FindShort(arg[k]);
      std::string shown = std::string("-") + arg[k];
      if (opt == nullptr) {
        p.Fail("unrecognized option '" + shown + "'");
        break;
      }
      if (!opt->takesValue) {
        p.Apply(*opt, shown, {});
        continue;
      }
      std::string value;
      if (k + 1 < arg.size()) {
        value = arg.substr(k + 1);
      } else if (i + 1 < args.size()) {
        value = args[++i];
      } else {
        p.Fail("option '" + shown + "' needs a value");
        break;
      }
      p.Apply(*opt, shown, value);
      break;
    }
  }

  ParseResult& r = p.result;
  // --help and --version win over everything else, even a bad option elsewhere.
  if (p.help) {
    r.action = ParseResult::Action::kHelp;
    return r;
  }
  if (p.version) {
    r.action = ParseResult::Action::kVersion;
    return r;
  }
  CliOptions& o = r.options;
  if (!p.failed) {
    if (positional.empty()) {
      p.Fail("missing search text");
    } else if (positional.size() >= 2 && o.allDrives) {
      p.Fail("give either a FOLDER or --all-drives, not both");
    } else if (std::find(positional.begin() + 1, positional.end(), "") != positional.end()) {
      p.Fail("the folder name is empty");
    } else if (o.print0 && p.format && *p.format != OutputFormat::kPaths) {
      p.Fail("--print0 goes with --format=paths only");
    }
  }
  if (!p.failed) {
    o.queryLower = NormalizeQuery(positional[0]);
    if (o.queryLower.empty()) p.Fail("the search text is empty");
  }
  if (p.failed) {
    r.action = ParseResult::Action::kUsageError;
    return r;
  }
  o.folders.assign(positional.begin() + 1, positional.end());
  if (p.format) {
    o.format = *p.format;
  } else {
    o.format = (stdoutIsTerminal && !o.print0) ? OutputFormat::kTree : OutputFormat::kPaths;
  }
  r.action = ParseResult::Action::kRun;
  return r;
}

std::string UsageText() {
  return "Usage: findlark-cli [OPTIONS] TEXT [FOLDER...]\n"
         "Try 'findlark-cli --help' for more information.\n";
}

namespace {

// `items` joined by ", ", broken into lines of at most 80 columns, each line after the first
// starting with `indent` spaces; an item is never split.
std::string Wrapped(const std::vector<std::string>& items, size_t firstColumn, size_t indent) {
  constexpr size_t kWidth = 80;
  std::string text;
  size_t column = firstColumn;
  for (size_t i = 0; i < items.size(); ++i) {
    const std::string item = items[i] + (i + 1 < items.size() ? "," : "");
    if (i > 0) {
      if (column + 1 + item.size() > kWidth) {
        text += "\n" + std::string(indent, ' ');
        column = indent;
      } else {
        text += ' ';
        ++column;
      }
    }
    text += item;
    column += item.size();
  }
  return text;
}

}  // namespace

std::string HelpText() {
  const std::vector<std::string> types(std::begin(g_categoryNames), std::end(g_categoryNames));
  return "Usage: findlark-cli [OPTIONS] TEXT [FOLDER...]\n"
         "Find files below each FOLDER (default: the current folder) whose name contains\n"
         "TEXT, ignoring case; with --contents, also files whose text contains it.\n"
         "\n"
         "  -c, --contents         search within files\n"
         "      --pdf              search within files, PDF documents too (through\n"
         "                         pdftotext, run in a sandbox; see --version)\n"
         "  -t, --type NAME        find files of one type only, NAME being one of:\n"
         "                         " +
         Wrapped(types, 25, 25) +
         "\n"
         "                         (case ignored, such as --type \"pdf documents\")\n"
         "  -a, --all-drives       search the whole machine instead of FOLDER; like a\n"
         "                         search of /, it leaves out kernel file systems (/proc,\n"
         "                         /sys, ...) and network ones (NFS, SMB, sshfs, ...)\n"
         "      --network-mounts   search network file systems too in such a search\n"
         "  -E, --exclude PATTERN  leave out files and folders whose name matches PATTERN\n"
         "                         (*, ? and [...], case ignored); a folder left out is\n"
         "                         not entered; a PATTERN with a / matches the path\n"
         "                         below FOLDER; may be given more than once\n"
         "  -S, --size +N|-N       only files of at least (+) or at most (-) N bytes; N\n"
         "                         may end in KB, MB or GB (1024 based), such as +10MB\n"
         "      --changed-within TIME\n"
         "                         only what was changed after TIME: a duration before\n"
         "                         now (30min, 2h, 3d, 1w) or a date (2026-12-07 14:30)\n"
         "      --changed-before TIME\n"
         "                         only what was changed before TIME\n"
         "  -w, --word             TEXT must stand as a whole word in the name or line\n"
         "  -x, --one-file-system  do not enter other file systems mounted below FOLDER\n"
         "  -f, --format FORMAT    how hits are shown: tree (by category, as the window\n"
         "                         shows them; the default on a terminal), paths (one\n"
         "                         path a line; the default otherwise), tsv (category,\n"
         "                         path, label, size, date and matching line,\n"
         "                         tab-separated, with \\\\ \\t \\n \\r escaped) or json\n"
         "                         (one JSON object a line; see below)\n"
         "  -0, --print0           paths, each followed by a NUL byte\n"
         "      --html FILE        also save the results page to FILE\n"
         "      --color WHEN       colour the tree's categories and folders: auto (on a\n"
         "                         terminal unless NO_COLOR is set), always or never;\n"
         "                         folders take their colour from LS_COLORS\n"
         "  -q, --quiet            show neither progress nor the final status line\n"
         "      --threads N        walk and read on N threads (1 to 256; default: one per\n"
         "                         CPU, and more while the disk keeps them waiting); the\n"
         "                         hits and their order are the same for any N\n"
         "  -h, --help             show this help and exit\n"
         "  -V, --version          show the version and exit\n"
         "\n"
         "The FOLDERs are searched one after the other, in the order given. paths, -0,\n"
         "tsv and json print each hit as it is found: within a folder, in the order the\n"
         "walk meets them (each subfolder's hits before the subfolder itself, names in the\n"
         "order the file system lists them, not sorted). The tree comes once the search\n"
         "is over, for all FOLDERs at once: by category, in the window's order, then by\n"
         "label (the name without its extension), ignoring case. The results page holds\n"
         "the same tree.\n"
         "\n"
         "A json line has \"path\", \"category\", \"size\" (bytes; null for folders),\n"
         "\"modified\" (ISO 8601 with the time zone) and \"line\" (the matching line; null\n"
         "for a hit by name). A path or line that is not valid UTF-8 is given with each\n"
         "bad byte as U+FFFD, and exactly in \"path_base64\" or \"line_base64\".\n"
         "\n"
         "Ctrl-C (or SIGTERM, SIGHUP) stops the search and prints what was found so far,\n"
         "within a second even when a folder does not answer (a dead network mount); a\n"
         "second Ctrl-C ends at once. A folder or file that keeps the search waiting for 2\n"
         "seconds is named on stderr. The final status line goes to standard error only.\n";
}

std::string VersionText() {
  return "findlark-cli " FINDLARK_VERSION "\n" + PdfSupportText(PdfExtractor()) + "\n";
}

}  // namespace findlark
