// libFuzzer target: the line matcher at a chunk size the input picks must give the same line as
// a plain split-fold-find of the whole text.
#include <cstdint>
#include <cstring>
#include <string>

#include "search/line_buffer.h"

namespace {

void Require(bool ok) {
  if (!ok) __builtin_trap();
}

class MemorySource : public findlark::ByteSource {
 public:
  explicit MemorySource(std::string_view text) : text_(text) {}
  ssize_t Read(char* out, size_t cap) override {
    const size_t n = std::min(cap, text_.size());
    std::memcpy(out, text_.data(), n);
    text_.remove_prefix(n);
    return static_cast<ssize_t>(n);
  }

 private:
  std::string_view text_;
};

// Lines end at LF (a CR before it dropped) and the text at its first 0x1A byte.
std::string Expected(std::string_view text, const std::string& query) {
  text = text.substr(0, text.find('\x1A'));
  while (!text.empty()) {
    const size_t nl = text.find('\n');
    std::string line(text.substr(0, nl));
    if (findlark::FoldCase(line).find(query) != std::string::npos) {
      if (nl != std::string_view::npos && !line.empty() && line.back() == '\r') line.pop_back();
      return line;
    }
    if (nl == std::string_view::npos) break;
    text.remove_prefix(nl + 1);
  }
  return {};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t chunk = data[0] % 64 + 1;
  const size_t queryLength = std::min<size_t>(data[1] % 8 + 1, size - 2);
  std::string_view rest(reinterpret_cast<const char*>(data) + 2, size - 2);
  const std::string query = findlark::FoldCase(rest.substr(0, queryLength));
  const std::string_view text = rest.substr(queryLength);
  // Long lines are cut, and a query that holds a line feed never matches: both kept out here.
  if (query.empty() || query.find('\n') != std::string::npos) return 0;
  if (text.size() >= findlark::kMaxMatchLine) return 0;

  static findlark::LineBuffer lines;
  MemorySource source(text);
  Require(lines.FirstMatch(source, findlark::QueryMatcher(query), nullptr, chunk) ==
          Expected(text, query));
  return 0;
}
