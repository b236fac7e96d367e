#pragma once

#include <sys/types.h>

#include <atomic>
#include <string>

#include "search/case_fold.h"
#include "search/line_buffer.h"

namespace findlark {

// For an open file that starts as a zip archive. When it holds an office document (Office Open
// XML, OpenDocument or EPUB, told by its members, never by its name), searches the document's
// text with `lines`, one paragraph, heading, cell or list item a line, puts the first matching
// one (or nothing) into `answer`, and returns true. A damaged, encrypted or hostile document
// gives an empty answer. Returns false for any other zip, which is then searched as bytes.
// Inflating stops after a fixed budget, XML loads nothing external and declares no entities,
// and `stop` is looked at between inflated chunks; `chunk` also caps the inflated chunk.
bool MatchDocument(int fd, off_t size, const QueryMatcher& matcher, const std::atomic<bool>* stop,
                   LineBuffer& lines, std::string& answer, size_t chunk = kReadChunk);

}  // namespace findlark
