#include "cli/cli_options.h"

#include <optional>
#include <string_view>

#include "search/case_fold.h"
#include "search/pdf_text.h"

#ifndef FINDLARK_VERSION
#define FINDLARK_VERSION "0"
#endif

namespace findlark {
namespace {

enum class Opt { kContents, kPdf, kType, kAllDrives, kFormat, kPrint0, kHtml, kColor, kHelp, kVersion };

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
    {Opt::kFormat, 'f', "format", true},
    {Opt::kPrint0, '0', "print0", false},
    {Opt::kHtml, 0, "html", true},
    {Opt::kColor, 0, "color", true},
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
  return std::nullopt;
}

std::optional<ColorMode> ColorByName(std::string_view name) {
  if (name == "auto") return ColorMode::kAuto;
  if (name == "always") return ColorMode::kAlways;
  if (name == "never") return ColorMode::kNever;
  return std::nullopt;
}

struct Parser {
  ParseResult result;
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
      case Opt::kFormat:
        if (auto f = FormatByName(value)) {
          format = *f;
        } else {
          Fail("unknown format '" + value + "' for " + std::string(shown) +
               "; use tree, paths or tsv");
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
    } else if (positional.size() > 2) {
      p.Fail("unexpected argument '" + positional[2] + "'");
    } else if (positional.size() == 2 && o.allDrives) {
      p.Fail("give either a FOLDER or --all-drives, not both");
    } else if (positional.size() == 2 && positional[1].empty()) {
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
  if (positional.size() == 2) o.folder = positional[1];
  if (p.format) {
    o.format = *p.format;
  } else {
    o.format = (stdoutIsTerminal && !o.print0) ? OutputFormat::kTree : OutputFormat::kPaths;
  }
  r.action = ParseResult::Action::kRun;
  return r;
}

std::string UsageText() {
  return "Usage: findlark-cli [OPTIONS] TEXT [FOLDER]\n"
         "Try 'findlark-cli --help' for more information.\n";
}

std::string HelpText() {
  return "Usage: findlark-cli [OPTIONS] TEXT [FOLDER]\n"
         "Find files below FOLDER (default: the current folder) whose name contains TEXT,\n"
         "ignoring case; with --contents, also files whose text contains it.\n"
         "\n"
         "  -c, --contents         search within files\n"
         "      --pdf              search within files, PDF documents too (through\n"
         "                         pdftotext, run in a sandbox; see --version)\n"
         "  -t, --type NAME        find files of one type only, NAME being one of:\n"
         "                         " +
         CategoryList() +
         "\n"
         "                         (case ignored, such as --type \"pdf documents\")\n"
         "  -a, --all-drives       search the whole machine instead of FOLDER\n"
         "  -f, --format FORMAT    how hits are shown: tree (by category, as the window\n"
         "                         shows them; the default on a terminal), paths (one\n"
         "                         path a line; the default otherwise) or tsv (category,\n"
         "                         path, label, size, date and matching line,\n"
         "                         tab-separated, with \\\\ \\t \\n \\r escaped)\n"
         "  -0, --print0           paths, each followed by a NUL byte\n"
         "      --html FILE        also save the results page to FILE\n"
         "      --color WHEN       colour the tree's categories and folders: auto (on a\n"
         "                         terminal unless NO_COLOR is set), always or never;\n"
         "                         folders take their colour from LS_COLORS\n"
         "  -h, --help             show this help and exit\n"
         "  -V, --version          show the version and exit\n"
         "\n"
         "Hits are listed in the order they are found. Ctrl-C stops the search and prints\n"
         "what was found so far; a second Ctrl-C ends at once.\n"
         "\n"
         "Exit status: 0 if something was found, 1 if nothing was, 2 on a usage or\n"
         "write error, 130 when stopped by Ctrl-C.\n";
}

std::string VersionText() {
  return "findlark-cli " FINDLARK_VERSION "\n" + PdfSupportText(PdfExtractor()) + "\n";
}

}  // namespace findlark
