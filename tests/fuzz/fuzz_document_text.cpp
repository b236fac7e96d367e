// libFuzzer target: any bytes as a file searched by content, most usefully a damaged zip or
// office document. Whatever the input, the search ends, stays in bounds, and an answer is one
// line that holds the query.
#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <string>

#include "search/content_matcher.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace findlark;
  static const int fd = memfd_create("fuzz-document", MFD_CLOEXEC);
  static const std::string path = "/proc/self/fd/" + std::to_string(fd);
  if (fd < 0 || ftruncate(fd, 0) != 0) return 0;
  if (size > 0 && pwrite(fd, data, size, 0) != static_cast<ssize_t>(size)) return 0;
  // Small chunks now and then, so that every edge inside the archive and the XML is met.
  const size_t chunk = size % 3 == 0 ? 7 : kReadChunk;
  for (const char* query : {"larkspur", "a", "été"}) {
    const std::string answer = MatchContent(path, QueryMatcher(query), nullptr, chunk);
    Require(answer.size() <= kMaxMatchLine);
    Require(answer.find('\n') == std::string::npos);
    // A line cut at the cap may have lost the match; any other answer shows it.
    Require(answer.empty() || answer.size() > kMaxMatchLine - 4 ||
            FoldCase(answer).find(query) != std::string::npos);
  }
  return 0;
}
