#include "cli/cli_output.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <ctime>

#include "cli/cli_options.h"
#include "persist/text_escape.h"
#include "results/search_results.h"
#include "search/categories.h"

namespace findlark {

FdWriter::FdWriter(int fd, size_t capacity) : fd_(fd), capacity_(capacity) {
  buffer_.reserve(capacity + capacity / 4);
}

bool FdWriter::Flush() {
  size_t done = 0;
  while (!failed_ && done < buffer_.size()) {
    ssize_t n = ::write(fd_, buffer_.data() + done, buffer_.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;  // Ctrl-C arrived mid-write; the main loop deals with it
    } else {
      failed_ = true;
      error_ = n < 0 ? errno : EIO;
    }
  }
  buffer_.clear();
  return !failed_;
}

namespace {

// Returns the escape letter for the four bytes every format escapes, or 0.
char EscapeLetter(char c) {
  switch (c) {
    case '\\':
      return '\\';
    case '\t':
      return 't';
    case '\n':
      return 'n';
    case '\r':
      return 'r';
    default:
      return 0;
  }
}

std::string_view NameOf(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? path : path.substr(slash + 1);
}

}  // namespace

void AppendTsvField(std::string& out, std::string_view field) {
  size_t start = 0;
  for (size_t i = 0; i < field.size(); ++i) {
    char letter = EscapeLetter(field[i]);
    if (letter == 0) continue;
    out.append(field.substr(start, i - start));
    out.push_back('\\');
    out.push_back(letter);
    start = i + 1;
  }
  out.append(field.substr(start));
}

void AppendTerminalText(std::string& out, std::string_view text) {
  while (!text.empty()) {
    const size_t length = Utf8SequenceLength(text);
    if (length == 0) {  // a raw byte 0x80-0x9F is C1 to a terminal in an 8-bit mode
      AppendHexEscapes(out, text.substr(0, 1));
      text.remove_prefix(1);
      continue;
    }
    const std::string_view sequence = text.substr(0, length);
    text.remove_prefix(length);
    if (const char letter = EscapeLetter(sequence[0])) {
      out.push_back('\\');
      out.push_back(letter);
    } else if (IsControlSequence(sequence)) {
      AppendHexEscapes(out, sequence);
    } else if (const char32_t c = CodePointOf(sequence); IsDisguisingCodePoint(c)) {
      AppendCodePointMark(out, c);
    } else {
      out.append(sequence);
    }
  }
}

namespace {

// The six fields, each through `field`, so a terminal gets the same line with more escaped.
template <typename Field>
void AppendTsvLineWith(std::string& out, const HitView& record, Field field) {
  FileCategory category = record.category;
  field(out, category.Valid() ? g_categoryNames[category] : "");
  out.push_back('\t');
  field(out, record.path);
  out.push_back('\t');
  field(out, TitleOf(NameOf(record.path)));
  out.push_back('\t');
  field(out, record.sizeText);
  out.push_back('\t');
  field(out, record.dateText);
  out.push_back('\t');
  field(out, record.matchLine);
  out.push_back('\n');
}

}  // namespace

void AppendTsvLine(std::string& out, const HitView& record) {
  AppendTsvLineWith(out, record, AppendTsvField);
}

namespace {

void AppendBase64(std::string& out, std::string_view bytes) {
  static constexpr char kDigits[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t v = static_cast<uint8_t>(bytes[i]) << 16 |
                       static_cast<uint8_t>(bytes[i + 1]) << 8 | static_cast<uint8_t>(bytes[i + 2]);
    for (int shift = 18; shift >= 0; shift -= 6) out.push_back(kDigits[(v >> shift) & 63]);
  }
  if (const size_t rest = bytes.size() - i; rest > 0) {
    uint32_t v = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) v |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out.push_back(kDigits[(v >> 18) & 63]);
    out.push_back(kDigits[(v >> 12) & 63]);
    out.push_back(rest == 2 ? kDigits[(v >> 6) & 63] : '=');
    out.push_back('=');
  }
}

// A JSON string: each byte outside well-formed UTF-8 as U+FFFD. Returns false when there was one.
bool AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  bool exact = true;
  out.push_back('"');
  while (!text.empty()) {
    const size_t length = Utf8SequenceLength(text);
    if (length == 0) {
      out.append("\xef\xbf\xbd");
      exact = false;
      text.remove_prefix(1);
      continue;
    }
    const std::string_view sequence = text.substr(0, length);
    text.remove_prefix(length);
    if (sequence == "\"" || sequence == "\\") {
      out.push_back('\\');
      out.append(sequence);
    } else if (IsControlSequence(sequence)) {  // C0, DEL and C1: all as \u00XX
      const unsigned code = length == 1 ? static_cast<uint8_t>(sequence[0])
                                        : 0x80 | (static_cast<uint8_t>(sequence[1]) & 0x3f);
      out.append("\\u00");
      out.push_back(kHex[code >> 4]);
      out.push_back(kHex[code & 15]);
    } else {
      out.append(sequence);
    }
  }
  out.push_back('"');
  return exact;
}

// "name": the text, and "name_base64" when the text is not valid UTF-8.
void AppendJsonText(std::string& out, std::string_view name, std::string_view text) {
  out.push_back('"');
  out.append(name);
  out.append("\":");
  if (AppendJsonString(out, text)) return;
  out.append(",\"");
  out.append(name);
  out.append("_base64\":\"");
  AppendBase64(out, text);
  out.push_back('"');
}

// "2007-06-04T14:00:00+02:00"; empty when the time cannot be shown.
std::string IsoLocalTime(int64_t seconds) {
  const time_t t = static_cast<time_t>(seconds);
  struct tm local {};
  char text[64];
  if (localtime_r(&t, &local) == nullptr ||
      std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S", &local) == 0)
    return {};
  const long offset = local.tm_gmtoff;
  const long minutes = (offset < 0 ? -offset : offset) / 60;
  char zone[40];
  std::snprintf(zone, sizeof zone, "%c%02ld:%02ld", offset < 0 ? '-' : '+', minutes / 60,
                minutes % 60);
  return std::string(text) + zone;
}

}  // namespace

void AppendJsonLine(std::string& out, const HitView& record) {
  out.push_back('{');
  AppendJsonText(out, "path", record.path);
  out.append(",\"category\":");
  AppendJsonString(out, record.category.Valid() ? g_categoryNames[record.category] : "");
  out.append(",\"size\":");
  out.append(record.sizeText.empty() ? "null" : std::to_string(record.size));
  out.append(",\"modified\":");
  const std::string modified = record.dateText.empty() ? "" : IsoLocalTime(record.mtime);
  if (modified.empty()) {
    out.append("null");
  } else {
    AppendJsonString(out, modified);
  }
  out.push_back(',');
  if (record.matchLine.empty()) {
    out.append("\"line\":null");
  } else {
    AppendJsonText(out, "line", record.matchLine);
  }
  out.append("}\n");
}

void AppendPathLine(std::string& out, const HitView& record, char terminator) {
  out.append(record.path);
  out.push_back(terminator);
}

TreeColors TreeColors::FromLsColors(const char* lsColors) {
  TreeColors colors{"\x1b[1m", "\x1b[01;34m"};
  const std::string_view all = lsColors ? lsColors : "";
  for (size_t start = 0; start < all.size();) {
    size_t end = all.find(':', start);
    if (end == std::string_view::npos) end = all.size();
    const std::string_view entry = all.substr(start, end - start);
    start = end + 1;
    if (!entry.starts_with("di=")) continue;
    const std::string_view code = entry.substr(3);
    // Only SGR parameters: anything else in the variable must not reach the terminal.
    if (!code.empty() && code.size() < 64 &&
        code.find_first_not_of("0123456789;") == std::string_view::npos) {
      colors.folder = "\x1b[" + std::string(code) + "m";
    }
  }
  return colors;
}

void AppendTree(std::string& out, const SearchResults& results, const TreeColors& colors,
                const std::function<void()>& drain) {
  constexpr size_t kDrainBytes = 256 * 1024;
  static constexpr std::string_view kReset = "\x1b[0m";
  const auto colored = [&](const std::string& color, std::string_view text) {
    if (color.empty() || text.empty()) return AppendTerminalText(out, text);
    out.append(color);
    AppendTerminalText(out, text);
    out.append(kReset);
  };
  const ResultsTree& tree = results.tree;
  for (auto node = tree.FirstChild(std::nullopt); node; node = tree.NextSibling(*node)) {
    if (tree.Count(node->category) == 0) continue;
    colored(colors.header, tree.NodeLabel(node->category));
    out.push_back('\n');
    const bool folders = node->category == kFolders;
    for (auto leaf = tree.FirstChild(*node); leaf; leaf = tree.NextSibling(*leaf)) {
      int64_t data = tree.ItemData(*leaf);
      if (!results.RefersToRecord(data)) continue;
      RecordView record = results.store.View(static_cast<size_t>(data));
      out.append("  ");
      if (folders) {
        colored(colors.folder, record.Title());
        out.append("  ");
        colored(colors.folder, record.path);
      } else {
        AppendTerminalText(out, record.Title());
        out.append("  ");
        const size_t slash = record.path.rfind('/');
        const size_t split = slash == std::string_view::npos ? 0 : slash + 1;
        colored(colors.folder, record.path.substr(0, split));
        AppendTerminalText(out, record.path.substr(split));
      }
      out.push_back('\n');
      if (drain && out.size() >= kDrainBytes) drain();
    }
  }
}

bool HitPrinter::Streams() const {
  return format_ != OutputFormat::kTree;
}

void HitPrinter::AppendHit(std::string& out, const HitView& record) const {
  if (format_ == OutputFormat::kJson) return AppendJsonLine(out, record);
  if (format_ == OutputFormat::kTsv) {
    return toTerminal_ ? AppendTsvLineWith(out, record, AppendTerminalText)
                       : AppendTsvLine(out, record);
  }
  if (!toTerminal_) return AppendPathLine(out, record, print0_ ? '\0' : '\n');
  AppendTerminalText(out, record.path);
  out.push_back(print0_ ? '\0' : '\n');
}

void HitPrinter::WriteEnd(FdWriter& out, const SearchResults& results) const {
  if (format_ == OutputFormat::kTree) {
    AppendTree(out.Buffer(), results, colors_, [&] { out.Flush(); });
  }
}

}  // namespace findlark
