#include "search/line_buffer.h"

#include <string.h>

#include <algorithm>
#include <cstring>

#include "search/prefault.h"

namespace findlark {
namespace {

// One byte past the cap is kept so that a CR just before the cut can still be told apart.
constexpr size_t kLineKeep = kMaxMatchLine + 1;

// Enough bytes of an unfinished line to catch a match that crosses a chunk edge, even when
// folding changes byte lengths.
size_t KeptTail(const QueryMatcher& matcher) {
  return 4 * matcher.query().size() + 4;
}

bool IsCont(unsigned char c) {
  return (c & 0xC0) == 0x80;
}

// End of the complete UTF-8 sequences in buf[0, n): an unfinished sequence at the very end is
// held back so that folding sees it whole in the next round.
size_t CompleteEnd(const char* buf, size_t n) {
  for (size_t k = 1; k <= 3 && k <= n; ++k) {
    const auto c = static_cast<unsigned char>(buf[n - k]);
    if (IsCont(c)) continue;
    if (c >= 0xC0) {
      const size_t need = c >= 0xF0 ? 4 : c >= 0xE0 ? 3 : 2;
      if (k < need) return n - k;
    }
    break;
  }
  return n;
}

// Appends to `text` up to kLineKeep bytes in all; true once something had to be left out.
bool AppendCapped(std::string& text, const char* p, size_t len) {
  const size_t room = kLineKeep - std::min(text.size(), kLineKeep);
  text.append(p, std::min(len, room));
  return len > room;
}

// Cuts the answer to the cap without splitting a UTF-8 sequence and drops the CR of CR LF.
std::string FinishAnswer(std::string text, bool endedAtLf, bool dropped) {
  if (endedAtLf && !dropped && !text.empty() && text.back() == '\r') text.pop_back();
  if (text.size() > kMaxMatchLine) {
    size_t cut = kMaxMatchLine;
    while (cut > kMaxMatchLine - 3 && IsCont(static_cast<unsigned char>(text[cut]))) --cut;
    text.resize(cut);
  }
  return text;
}

size_t Offset(const void* p, const char* base) {
  return static_cast<size_t>(static_cast<const char*>(p) - base);
}

}  // namespace

bool LineBuffer::ReadChunk(ByteSource& source, char* at, size_t chunk,
                           const std::atomic<bool>* stop, size_t& got, bool* lastUnchecked) {
  if (stop != nullptr && stop->load(std::memory_order_relaxed)) return false;
  const ssize_t r = source.Read(at, chunk);
  if (r < 0) return false;
  got = static_cast<size_t>(r);
  if (got == 0) {
    eof_ = true;
  } else if (lastUnchecked != nullptr && source.AtEnd()) {
    eof_ = true;
    *lastUnchecked = true;
  } else if (const void* sub = memchr(at, 0x1A, got)) {
    got = Offset(sub, at);  // text mode ends here
    eof_ = true;
  }
  return true;
}

// Start in data_ of the line holding the first match in data_[0, limit), or npos.
size_t LineBuffer::FindLineStart(const QueryMatcher& matcher, size_t limit) {
  const char* buf = data_.data();
  const size_t at = matcher.Find(std::string_view(buf, limit), folded_, !lineAtStart_, !eof_);
  if (at == std::string_view::npos) return at;
  const void* nl = memrchr(buf, '\n', at);
  return nl ? Offset(nl, buf) + 1 : 0;
}

// The matching line from data_[lineStart] (or from head_ when it starts there), read on past
// this chunk to its end or to the cap.
std::string LineBuffer::ReadRestOfLine(ByteSource& source, size_t lineStart, size_t n, size_t chunk,
                                       const std::atomic<bool>* stop) {
  char* buf = data_.data();
  std::string answer;
  bool dropped = false;
  if (lineStart == 0) {
    answer = head_;
    dropped = headFull_;
  }
  const char* from = buf + lineStart;
  size_t len = n - lineStart;
  for (;;) {
    if (const void* nl = memchr(from, '\n', len)) {
      dropped = AppendCapped(answer, from, Offset(nl, from)) || dropped;
      return FinishAnswer(std::move(answer), true, dropped);
    }
    if (!dropped) dropped = AppendCapped(answer, from, len);
    if (eof_ || dropped) return FinishAnswer(std::move(answer), false, dropped);
    if (!ReadChunk(source, buf, chunk, stop, len)) return {};
    from = buf;
  }
}

// No match yet: keeps the tail of the unfinished line for the next round, enough of it to
// catch a match that crosses the chunk edge.
void LineBuffer::CarryTail(size_t n, size_t keep) {
  char* buf = data_.data();
  const void* lastNl = memrchr(buf, '\n', n);
  const size_t openLine = lastNl ? Offset(lastNl, buf) + 1 : 0;
  const size_t cut = std::max(openLine, n > keep ? n - keep : size_t{0});
  // Start the tail on a character boundary, so that it folds as it does in the whole line. After
  // three continuation bytes in a row none can belong to the same character as `cut`.
  size_t carryStart = cut;
  for (int k = 0;
       k < 3 && carryStart > openLine && IsCont(static_cast<unsigned char>(buf[carryStart])); ++k) {
    --carryStart;
  }
  if (carryStart > openLine && IsCont(static_cast<unsigned char>(buf[carryStart])))
    carryStart = cut;
  if (lastNl != nullptr) {
    head_.clear();
    headFull_ = false;
  }
  if (!headFull_) headFull_ = AppendCapped(head_, buf + openLine, carryStart - openLine);
  carry_ = n - carryStart;
  // A match at the start of a tail from inside a line was judged, with what came before it, in
  // the round that carried it.
  lineAtStart_ = carryStart == openLine;
  std::memmove(buf, buf + carryStart, carry_);
}

void LineBuffer::Prepare(const QueryMatcher& matcher, size_t chunk) {
  const size_t need = std::max<size_t>(chunk, 1) + KeptTail(matcher) + 8;
  if (data_.size() >= need) return;
  data_.resize(need);
  // The room of a first read; what only long files reach faults in as they do.
  PrefaultForWriting(data_.data(), std::min(need, kFirstReadChunk + KeptTail(matcher) + 8));
}

std::string LineBuffer::FirstMatch(ByteSource& source, const QueryMatcher& matcher,
                                   const std::atomic<bool>* stop, size_t chunk) {
  const std::string& query = matcher.query();
  if (query.find('\n') != std::string::npos) return {};  // lines never hold a line feed
  chunk = std::max<size_t>(chunk, 1);
  const size_t keep = KeptTail(matcher);
  Prepare(matcher, chunk);
  head_.clear();
  headFull_ = false;
  carry_ = 0;
  eof_ = false;
  lineAtStart_ = true;

  size_t want = std::min(chunk, kFirstReadChunk);
  while (!eof_) {
    size_t got = 0;
    bool unchecked = false;
    if (!ReadChunk(source, data_.data() + carry_, want, stop, got, &unchecked)) return {};
    want = chunk;
    size_t n = carry_ + got;
    const size_t limit = eof_ ? n : CompleteEnd(data_.data(), n);
    size_t lineStart = FindLineStart(matcher, limit);
    if (lineStart != std::string::npos && unchecked) {
      // Whatever the text holds before its 0x1A, it holds with what follows too: only now that
      // there is a match does the end of the text need finding, and the search is made again.
      if (const void* sub = memchr(data_.data() + carry_, 0x1A, got)) {
        n = Offset(sub, data_.data());
        lineStart = FindLineStart(matcher, n);
      }
    }
    if (lineStart != std::string::npos) return ReadRestOfLine(source, lineStart, n, chunk, stop);
    CarryTail(n, keep);
  }
  return {};
}

}  // namespace findlark
