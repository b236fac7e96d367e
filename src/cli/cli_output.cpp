#include "cli/cli_output.h"

#include <unistd.h>

#include <cerrno>

#include "results/results_tree.h"
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
  static constexpr char kHex[] = "0123456789abcdef";
  for (char c : text) {
    auto byte = static_cast<unsigned char>(c);
    if (char letter = EscapeLetter(c)) {
      out.push_back('\\');
      out.push_back(letter);
    } else if (byte < 0x20 || byte == 0x7f) {
      out.append("\\x");
      out.push_back(kHex[byte >> 4]);
      out.push_back(kHex[byte & 15]);
    } else {
      out.push_back(c);
    }
  }
}

void AppendTsvLine(std::string& out, const ResultRecord& record) {
  FileCategory category = record.category;
  AppendTsvField(out, category.Valid() ? g_categoryNames[category] : "");
  out.push_back('\t');
  AppendTsvField(out, record.path);
  out.push_back('\t');
  AppendTsvField(out, TitleOf(NameOf(record.path)));
  out.push_back('\t');
  AppendTsvField(out, record.sizeText);
  out.push_back('\t');
  AppendTsvField(out, record.dateText);
  out.push_back('\t');
  AppendTsvField(out, record.matchLine);
  out.push_back('\n');
}

void AppendPathLine(std::string& out, const ResultRecord& record, char terminator) {
  out.append(record.path);
  out.push_back(terminator);
}

void AppendTree(std::string& out, const SearchResults& results) {
  const ResultsTree& tree = results.tree;
  for (auto node = tree.FirstChild(std::nullopt); node; node = tree.NextSibling(*node)) {
    if (tree.Count(node->category) == 0) continue;
    out.append(tree.NodeLabel(node->category));
    out.push_back('\n');
    for (auto leaf = tree.FirstChild(*node); leaf; leaf = tree.NextSibling(*leaf)) {
      int64_t data = tree.ItemData(*leaf);
      if (!results.RefersToRecord(data)) continue;
      RecordView record = results.store.View(static_cast<size_t>(data));
      out.append("  ");
      AppendTerminalText(out, record.Title());
      out.append("  ");
      AppendTerminalText(out, record.path);
      out.push_back('\n');
    }
  }
}

}  // namespace findlark
