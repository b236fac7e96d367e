#include "results/hit_info.h"

#include "persist/text_escape.h"
#include "results/search_results.h"

namespace findlark {

namespace {

// Length of the UTF-8 sequence a lead byte announces, or 0 for a byte that cannot start one.
size_t SequenceLength(unsigned char lead) {
  if (lead < 0x80) return 1;
  if (lead >= 0xC2 && lead <= 0xDF) return 2;
  if (lead >= 0xE0 && lead <= 0xEF) return 3;
  if (lead >= 0xF0 && lead <= 0xF4) return 4;
  return 0;
}

bool IsContinuation(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

}  // namespace

std::string_view CutUtf8(std::string_view text, size_t maxBytes) {
  if (text.size() <= maxBytes) return text;
  // Find the sequence the cut falls into: its lead byte is at most three bytes back. Bytes
  // that are not valid UTF-8 are cut like single bytes.
  size_t start = maxBytes;
  for (size_t back = 0; back < 3 && start > 0; ++back) {
    if (!IsContinuation(static_cast<unsigned char>(text[start]))) break;
    --start;
  }
  const size_t length = SequenceLength(static_cast<unsigned char>(text[start]));
  if (start < maxBytes && length > 1 && start + length > maxBytes) return text.substr(0, start);
  return text.substr(0, maxBytes);
}

std::string InfoTipText(const RecordView& record) {
  // The path is shown for a person to read, so a name cannot pass for another in it.
  std::string text = VisibleName(record.path);
  // A folder shows its path alone, whatever else its record holds.
  if (record.sizeText.empty()) return text;
  text += "\n\nSize: ";
  text += record.sizeText;
  text += "\nLast Modified: ";
  text += record.dateText;
  if (!record.matchLine.empty()) {
    text += "\n\nContents:\n";
    text += record.matchLine;
  }
  return text;
}

std::optional<std::string> InfoTipText(const SearchResults& results, int64_t data,
                                       size_t maxBytes) {
  if (!results.RefersToRecord(data) || static_cast<uint64_t>(data) >= results.store.size()) {
    return std::nullopt;
  }
  const std::string text = InfoTipText(results.store.View(static_cast<size_t>(data)));
  return std::string(CutUtf8(text, maxBytes));
}

PreviewKind PreviewKindOf(const RecordView& record) {
  if (record.extension == "txt") return PreviewKind::kText;
  if (record.category == kPictures) return PreviewKind::kPicture;
  if (record.category == kWebpages) return PreviewKind::kPage;
  return PreviewKind::kNone;
}

std::string FolderOf(std::string_view path) {
  const size_t slash = path.rfind('/');
  // A bare name has no folder to show; "." would name the program's working directory instead.
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return std::string(path.substr(0, slash));
}

}  // namespace findlark
