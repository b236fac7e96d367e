#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "results/result_store.h"

namespace findlark {

struct SearchResults;

inline constexpr size_t kInfoTipMax = 1023;  // bytes of tip text, the terminating NUL aside

// The tip for the item with data `data`: nullopt unless it refers to a record.
std::optional<std::string> InfoTipText(const SearchResults& results, int64_t data,
                                       size_t maxBytes = kInfoTipMax);
// The path in it as VisibleName shows it.
std::string InfoTipText(const RecordView& record);

// Cuts to at most maxBytes without splitting a UTF-8 sequence.
std::string_view CutUtf8(std::string_view text, size_t maxBytes);

// How the preview pane shows a hit: text files as text, pictures as pictures, web pages in
// the browser; anything else is not previewed.
enum class PreviewKind { kNone, kText, kPicture, kPage };
PreviewKind PreviewKindOf(const RecordView& record);
inline bool IsPreviewable(const RecordView& record) {
  return PreviewKindOf(record) != PreviewKind::kNone;
}

// The folder that holds `path`: "/a/b.txt" gives "/a", "/plan.txt" gives "/".
std::string FolderOf(std::string_view path);

}  // namespace findlark
